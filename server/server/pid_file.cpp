#include "server/pid_file.hpp"

#include <charconv>
#include <cstdlib>

namespace stratdesk::server {
namespace {

namespace fs = std::filesystem;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// True when `path` is `directory` or lies below it (both absolute).
bool is_within(const fs::path& path, const fs::path& directory) {
  const fs::path relative = fs::weakly_canonical(path).lexically_relative(directory);
  return !relative.empty() && *relative.begin() != "..";
}

// The foreign engine checker empties the pid directory at start-up and deletes every entry
// that is not a pid file once a second, so it must hold nothing else of value.
void check_holds_nothing_kept(const fs::path& given, const std::vector<KeptPath>& kept) {
  const fs::path pid_dir = fs::weakly_canonical(given);
  std::string reason;
  const char* home = std::getenv("HOME");
  if (pid_dir == pid_dir.root_path()) {
    reason = "it is the root directory";
  } else if (home != nullptr && *home != '\0' && is_within(home, pid_dir)) {
    reason = std::string("it is or holds the home directory ") + home;
  }
  for (const auto& [what, path] : kept) {
    if (reason.empty() && is_within(path, pid_dir)) {
      reason = std::string("it holds ") + what + " " + path;
    }
  }
  if (!reason.empty()) {
    throw UnsafePidDir("refusing pid directory " + given.string() + ": " + reason +
                       "; its content is deleted at start-up");
  }
}

// The start-up sweep deletes the pid directory whole: a directory that holds anything besides
// engine pid files is someone else's (a typo, a shared folder) and is left untouched.
void check_holds_only_pid_files(const fs::path& pid_dir) {
  std::optional<std::string> foreign;
  try {
    foreign = first_foreign_entry(pid_dir);
  } catch (const fs::filesystem_error& error) {
    throw UnsafePidDir("cannot use pid directory " + pid_dir.string() + ": " +
                       error.code().message());
  }
  if (foreign) {
    throw UnsafePidDir("refusing pid directory " + pid_dir.string() + ": it holds '" + *foreign +
                       "', which is not an engine pid file, and its content is deleted at "
                       "start-up; empty it or choose another --pid-dir");
  }
}

}  // namespace

void check_pid_dir(const fs::path& pid_dir, const std::vector<KeptPath>& kept) {
  check_holds_nothing_kept(pid_dir, kept);
  check_holds_only_pid_files(pid_dir);
}

std::optional<std::int64_t> read_integer(std::string_view text) {
  while (!text.empty() && is_space(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && is_space(text.back())) {
    text.remove_suffix(1);
  }
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars would accept a second sign; only digits may follow the one read above.
  if (text.empty() || text.front() < '0' || text.front() > '9') {
    return std::nullopt;
  }
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (ec != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  constexpr auto max = static_cast<std::uint64_t>(INT64_MAX);
  if (negative) {
    if (magnitude > max + 1) {
      return std::nullopt;
    }
    return magnitude == max + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > max) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(magnitude);
}

std::vector<std::string> split_at(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  for (;;) {
    const auto at = text.find(separator, begin);
    if (at == std::string_view::npos) {
      parts.emplace_back(text.substr(begin));
      return parts;
    }
    parts.emplace_back(text.substr(begin, at - begin));
    begin = at + 1;
  }
}

bool is_pid_file_name(std::string_view name) {
  const auto parts = split_at(name, '.');
  return parts.size() == 2 && parts[1] == "identity";
}

std::optional<PidFileContent> parse_pid_file_content(std::string_view text) {
  auto fields = split_at(text, ' ');
  if (fields.size() != 2) {
    return std::nullopt;
  }
  const auto backtest_id = read_integer(fields[1]);
  if (!backtest_id) {
    return std::nullopt;
  }
  return PidFileContent{std::move(fields[0]), *backtest_id};
}

std::optional<std::string> first_foreign_entry(const std::filesystem::path& pid_dir) {
  namespace fs = std::filesystem;
  if (!fs::exists(pid_dir)) {
    return std::nullopt;
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(pid_dir)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || entry.is_symlink() || !name.ends_with(".identity")) {
      return name;
    }
  }
  return std::nullopt;
}

}  // namespace stratdesk::server
