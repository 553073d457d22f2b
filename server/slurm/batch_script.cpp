#include "slurm/batch_script.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace stratdesk::slurm {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool holds_line_break_or_nul(std::string_view text) {
  return text.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos;
}

void require_no_nul(std::string_view text, std::string_view what) {
  if (text.find('\0') != std::string_view::npos) {
    throw std::invalid_argument(std::string(what) + " holds a NUL byte");
  }
}

// sbatch reads an "#SBATCH" line up to its line break and splits it into words itself: a
// backslash escapes the next character, quotes group, an unquoted '#' starts a comment. A value
// in double quotes with '\' and '"' escaped reaches sbatch as it was; a line break cannot.
std::string sbatch_word(std::string_view value, std::string_view what) {
  if (holds_line_break_or_nul(value)) {
    throw std::invalid_argument(std::string(what) + " must not hold a line break or NUL byte");
  }
  std::string word = "\"";
  for (const char c : value) {
    if (c == '\\' || c == '"') {
      word += '\\';
    }
    word += c;
  }
  word += '"';
  return word;
}

void require_absolute(std::string_view path, std::string_view what) {
  if (path.empty() || path.front() != '/') {
    throw std::invalid_argument(std::string(what) + " must be an absolute path, not \"" +
                                std::string(path) + "\"");
  }
}

// Slurm expands "%j", "%x" and the like in an output path and reads "%%" as '%'. A backslash
// anywhere turns the expansion off and is dropped from the path, so such a path cannot be
// given at all.
std::string output_pattern(std::string_view path) {
  require_absolute(path, "the output path");
  if (path.find('\\') != std::string_view::npos) {
    throw std::invalid_argument("the output path \"" + std::string(path) +
                                "\" holds a backslash, which Slurm drops from it");
  }
  std::string pattern;
  for (const char c : path) {
    pattern += c;
    if (c == '%') {
      pattern += '%';
    }
  }
  return pattern;
}

bool is_shell_name(std::string_view name) {
  const auto name_char = [](char c) {
    return c == '_' || is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  };
  return !name.empty() && !is_digit(name.front()) &&
         std::all_of(name.begin(), name.end(), name_char);
}

std::string sbatch_line(std::string_view option, std::string_view value, std::string_view what) {
  return "#SBATCH " + std::string(option) + "=" + sbatch_word(value, what) + "\n";
}

bool is_blank(std::string_view text) {
  return text.find_first_not_of(" \t") == std::string_view::npos;
}

// Digits only, at most nine of them: every number of a time limit.
bool is_number(std::string_view text) {
  return !text.empty() && text.size() <= 9 && std::all_of(text.begin(), text.end(), is_digit);
}

// 1 to `most` numbers joined by ':'.
bool is_clock(std::string_view text, int most) {
  int parts = 0;
  while (true) {
    const std::size_t colon = text.find(':');
    if (!is_number(text.substr(0, colon)) || ++parts > most) {
      return false;
    }
    if (colon == std::string_view::npos) {
      return true;
    }
    text.remove_prefix(colon + 1);
  }
}

bool equals_ignoring_case(std::string_view text, std::string_view upper) {
  return text.size() == upper.size() &&
         std::equal(text.begin(), text.end(), upper.begin(), [](char a, char b) {
           return (a >= 'a' && a <= 'z' ? static_cast<char>(a - 'a' + 'A') : a) == b;
         });
}

}  // namespace

std::string job_name(std::int64_t backtest_id) {
  return "stratdesk-" + std::to_string(backtest_id);
}

std::string shell_quote(std::string_view text) {
  std::string word = "'";
  for (const char c : text) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word += c;
    }
  }
  word += '\'';
  return word;
}

std::string batch_script(const BatchJob& job) {
  if (job.command.empty()) {
    throw std::invalid_argument("the engine command is empty");
  }
  std::string script = "#!/bin/sh\n";
  // sbatch reads job options only from the "#SBATCH" lines before the first command.
  script += sbatch_line("--job-name", job_name(job.backtest_id), "the job name");
  script += sbatch_line("--output", output_pattern(job.output_path), "the output path");
  if (!job.working_dir.empty()) {
    require_absolute(job.working_dir, "the working folder");
    script += sbatch_line("--chdir", job.working_dir, "the working folder");
  }
  script += "#SBATCH --no-requeue\n";
  if (!job.options.partition.empty()) {
    script += sbatch_line("--partition", job.options.partition, "the partition");
  }
  if (!job.options.time_limit.empty()) {
    script += sbatch_line("--time", job.options.time_limit, "the time limit");
  }
  if (!is_blank(job.options.extra)) {
    if (holds_line_break_or_nul(job.options.extra)) {
      throw std::invalid_argument(
          "the extra sbatch options must not hold a line break or NUL byte");
    }
    script += "#SBATCH " + job.options.extra + "\n";
  }
  for (const EnvironmentVariable& variable : job.environment) {
    if (!is_shell_name(variable.name)) {
      throw std::invalid_argument("\"" + variable.name + "\" is not an environment variable name");
    }
    require_no_nul(variable.value, "the value of " + variable.name);
    script += "export " + variable.name + "=" + shell_quote(variable.value) + "\n";
  }
  script += "exec";
  for (const std::string& argument : job.command) {
    require_no_nul(argument, "an argument of the engine command");
    script += ' ';
    script += shell_quote(argument);
  }
  script += '\n';
  return script;
}

std::vector<std::string> submit_command(const std::string& script_path) {
  return {"sbatch", "--parsable", script_path};
}

bool is_valid_time_limit(std::string_view text) {
  if (text == "-1" || equals_ignoring_case(text, "UNLIMITED") ||
      equals_ignoring_case(text, "INFINITE")) {
    return true;
  }
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) {
    return is_clock(text, 3);
  }
  return is_number(text.substr(0, dash)) && is_clock(text.substr(dash + 1), 3);
}

std::optional<std::string> options_problem(const JobOptions& options) {
  const std::array<std::pair<std::string_view, std::string_view>, 3> texts{{
      {"the partition", options.partition},
      {"the time limit", options.time_limit},
      {"the extra sbatch options", options.extra},
  }};
  for (const auto& [what, text] : texts) {
    if (holds_line_break_or_nul(text)) {
      return std::string(what) + " must not hold a line break or NUL byte";
    }
  }
  if (!options.time_limit.empty() && !is_valid_time_limit(options.time_limit)) {
    return "the time limit \"" + options.time_limit +
           "\" is not one sbatch takes (minutes, minutes:seconds, hours:minutes:seconds, "
           "days-hours[:minutes[:seconds]] or UNLIMITED)";
  }
  return std::nullopt;
}

}  // namespace stratdesk::slurm
