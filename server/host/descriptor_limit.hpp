#pragma once

#include <cstddef>
#include <cstdint>

namespace stratdesk::host {

// Raises the soft limit on open descriptors to the hard limit, as far as the system lets us.
// Returns the soft limit in force afterwards; UINT64_MAX when it is unlimited or cannot be read.
std::uint64_t raise_descriptor_limit();

// How many connections to serve at most when `limit` descriptors may be open: `wanted`, or less
// when `limit` leaves no room for the database, the log and child pipes beside them (never fewer
// than 16). UINT64_MAX stands for no limit.
std::size_t connection_cap(std::uint64_t limit, std::size_t wanted);

}  // namespace stratdesk::host
