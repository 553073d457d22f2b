#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The pid files that engines keep in the pid directory: "<pid>.identity" holding
// "<identity> <backtest id>".
namespace stratdesk::server {

// Reads an integer the way the engine's language reads one from text: decimal digits with an
// optional sign, white space around them ignored. nullopt for anything else, and for values
// that do not fit in 64 bits.
std::optional<std::int64_t> read_integer(std::string_view text);

// `text` split at every occurrence of `separator`; n separators give n + 1 parts, empty ones
// included.
std::vector<std::string> split_at(std::string_view text, char separator);

// True when `name` split at full stops gives exactly two parts, the second "identity".
bool is_pid_file_name(std::string_view name);

struct PidFileContent {
  std::string identity;
  std::int64_t backtest_id = 0;
};

// The identity and backtest id of a pid file's text: exactly two fields at single spaces, the
// second an integer (so a final line break is accepted). nullopt when malformed.
std::optional<PidFileContent> parse_pid_file_content(std::string_view text);

// The largest pid file the start-up sweep reads: an identity and a backtest id take a few dozen
// bytes, so anything much larger is not an engine's.
inline constexpr std::size_t max_pid_file_size = 4096;

// The name of the first entry of `pid_dir`, in listing order, that is not a regular file whose
// name ends in ".identity" (an engine's pid file, valid or not); nullopt when the directory does
// not exist or holds nothing else. Symbolic links count as foreign. Throws
// std::filesystem::filesystem_error when the directory cannot be listed.
std::optional<std::string> first_foreign_entry(const std::filesystem::path& pid_dir);

// A pid directory this server must not take: its content is deleted at start-up.
class UnsafePidDir : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the start-up sweep would destroy: a file or folder of the user's that lies in the pid
// directory, by what the user calls it ("the database") and its path.
struct KeptPath {
  const char* what;
  std::string path;
};

// Refuses (UnsafePidDir, one line naming the directory and why) a pid directory that is the
// root, is or holds the home folder or one of `kept`, or already holds anything but engine pid
// files: the start-up sweep deletes it whole. A directory that does not exist yet is fine.
void check_pid_dir(const std::filesystem::path& pid_dir, const std::vector<KeptPath>& kept);

}  // namespace stratdesk::server
