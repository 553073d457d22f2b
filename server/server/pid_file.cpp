#include "server/pid_file.hpp"

#include <charconv>

namespace stratdesk::server {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

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
