#include "data_lock.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace stratdesk::host {
namespace {

std::string system_message(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// The holder's pid as it wrote it; empty when it has not written it yet or wrote garbage.
std::optional<long> holder_pid(int fd) {
  char text[32] = {};
  const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
  if (got <= 0) {
    return std::nullopt;
  }
  long pid = 0;
  const auto [end, ec] = std::from_chars(text, text + got, pid);
  if (ec != std::errc{} || pid <= 0 || (end != text + got && *end != '\n')) {
    return std::nullopt;
  }
  return pid;
}

void write_own_pid(int fd) {
  const std::string text = std::to_string(::getpid()) + "\n";
  // Only a message for the next refused start: a short write leaves it without a pid.
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, text.data(), text.size(), 0);
  }
}

}  // namespace

DataFolderLock::DataFolderLock(const std::filesystem::path& folder) {
  const std::filesystem::path path = folder / file_name;
  // Close-on-exec: an engine that outlives the server must not keep the folder held.
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) {
    throw std::runtime_error(system_message("cannot open the lock file " + path.string(), errno));
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    const std::optional<long> pid = error == EWOULDBLOCK ? holder_pid(fd_) : std::nullopt;
    ::close(fd_);
    if (error != EWOULDBLOCK) {
      throw std::runtime_error(system_message("cannot lock " + path.string(), error));
    }
    throw FolderInUse("another stratdesk-server" +
                      (pid ? " (pid " + std::to_string(*pid) + ")" : std::string()) + " is using " +
                      folder.string());
  }
  write_own_pid(fd_);
}

DataFolderLock::~DataFolderLock() {
  ::close(fd_);
}

}  // namespace stratdesk::host
