#include "descriptor_limit.hpp"

#include <limits>

#include <sys/resource.h>

namespace stratdesk::host {
namespace {

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();
// Descriptors kept free of connections: the database, the log and child pipes.
constexpr std::uint64_t reserved = 64;

}  // namespace

std::uint64_t raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return unlimited;
  }
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur == RLIM_INFINITY ? unlimited : static_cast<std::uint64_t>(limit.rlim_cur);
}

std::size_t connection_cap(std::uint64_t limit, std::size_t wanted) {
  if (limit == unlimited || limit > wanted + reserved) {
    return wanted;
  }
  return limit > reserved * 2 ? static_cast<std::size_t>(limit - reserved) : 16;
}

}  // namespace stratdesk::host
