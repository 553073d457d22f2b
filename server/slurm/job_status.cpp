#include "slurm/job_status.hpp"

#include <algorithm>
#include <array>
#include <charconv>

namespace stratdesk::slurm {
namespace {

constexpr std::string_view whitespace = " \t\r\n";

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(whitespace);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(whitespace) - first + 1);
}

// A whole non-negative decimal number; nullopt for anything else (signs, spaces, overflow).
template <class Integer>
std::optional<Integer> parse_number(std::string_view text) {
  Integer value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || text.front() == '-' || error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

bool is_state_name(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; });
}

// "[days-][hours:]minutes:seconds", as squeue's TimeUsed and scontrol's RunTime print it.
std::optional<std::int64_t> parse_duration(std::string_view text) {
  std::int64_t days = 0;
  if (const std::size_t dash = text.find('-'); dash != std::string_view::npos) {
    const auto parsed = parse_number<std::int64_t>(text.substr(0, dash));
    if (!parsed) {
      return std::nullopt;
    }
    days = *parsed;
    text.remove_prefix(dash + 1);
  }
  std::int64_t seconds = 0;
  int parts = 0;
  while (true) {
    const std::size_t colon = text.find(':');
    const auto part = parse_number<std::int64_t>(text.substr(0, colon));
    if (!part || ++parts > 3) {
      return std::nullopt;
    }
    seconds = seconds * 60 + *part;
    if (colon == std::string_view::npos) {
      break;
    }
    text.remove_prefix(colon + 1);
  }
  if (parts < 2) {
    return std::nullopt;
  }
  return days * 86400 + seconds;
}

// squeue prints a job's exit as the raw wait status of its batch script (exit code 3 is 768),
// except when Slurm could not start the script at all: then it is Slurm's own error number
// (4021 when the output file could not be opened), which fits no wait status.
void set_wait_status(JobStatus& job, std::uint32_t status) {
  const std::uint32_t signal = status & 0x7F;  // 0x80 is the core-dump flag
  const std::uint32_t code = status >> 8;
  if (status > 0xFFFF || (signal != 0 && code != 0)) {
    job.slurm_error = static_cast<int>(status);
  } else if (signal != 0) {
    job.signal = static_cast<int>(signal);
  } else {
    job.exit_code = static_cast<int>(code);
  }
}

// One line of the listing: "id|state|wait status|time used|name", the name last because it may
// hold the separator itself.
enum class LineKind { job, not_a_plain_job, malformed };

LineKind parse_listing_line(std::string_view line, JobStatus& job) {
  std::array<std::string_view, 4> fields;
  for (std::string_view& field : fields) {
    const std::size_t bar = line.find('|');
    if (bar == std::string_view::npos) {
      return LineKind::malformed;
    }
    field = trim(line.substr(0, bar));
    line.remove_prefix(bar + 1);
  }
  const auto& [id_text, state, status_text, time_text] = fields;
  const auto status = parse_number<std::uint32_t>(status_text);
  if (!is_state_name(state) || !status) {
    return LineKind::malformed;
  }
  const auto id = parse_number<JobId>(id_text);
  if (!id) {
    // A heterogeneous job's components ("4242+0") belong to no run of this server.
    return id_text.find('+') != std::string_view::npos ? LineKind::not_a_plain_job
                                                       : LineKind::malformed;
  }
  job.id = *id;
  job.state = std::string(state);
  set_wait_status(job, *status);
  job.run_seconds = parse_duration(time_text);
  job.name = std::string(trim(line));
  return LineKind::job;
}

// The value of `key` in "Key=Value" words: from after "Key=" to the next space or line break,
// for the first "Key=" that starts a word. The state, exit code and run time are printed before
// any value that may hold spaces (comment, command, paths), except the name on the first line.
std::optional<std::string_view> record_value(std::string_view record, std::string_view key) {
  const std::string pattern = std::string(key) + "=";
  for (std::size_t at = record.find(pattern); at != std::string_view::npos;
       at = record.find(pattern, at + 1)) {
    if (at == 0 || whitespace.find(record[at - 1]) != std::string_view::npos) {
      const std::size_t start = at + pattern.size();
      const std::size_t stop = record.find_first_of(whitespace, start);
      return record.substr(start, stop == std::string_view::npos ? stop : stop - start);
    }
  }
  return std::nullopt;
}

// The record of job `id` among those scontrol printed: each starts with "JobId=N" at the start
// of a line and runs to the next one.
std::optional<std::string_view> job_record(std::string_view output, JobId id) {
  const std::string start = "JobId=" + std::to_string(id);
  for (std::size_t at = output.find(start); at != std::string_view::npos;
       at = output.find(start, at + 1)) {
    const std::size_t after = at + start.size();
    const bool line_start = at == 0 || output[at - 1] == '\n';
    const bool id_ends =
        after == output.size() || whitespace.find(output[after]) != std::string_view::npos;
    if (line_start && id_ends) {
      const std::size_t next = output.find("\nJobId=", after);
      return output.substr(at, next == std::string_view::npos ? next : next - at);
    }
  }
  return std::nullopt;
}

constexpr std::array<std::string_view, 9> ended_states{
    "COMPLETED",     "FAILED",    "CANCELLED", "TIMEOUT",  "NODE_FAIL",
    "OUT_OF_MEMORY", "PREEMPTED", "BOOT_FAIL", "DEADLINE",
};

}  // namespace

std::optional<JobId> parse_submit_output(std::string_view output) {
  std::string_view text = trim(output);
  if (const std::size_t semicolon = text.find(';'); semicolon != std::string_view::npos) {
    if (semicolon + 1 == text.size() ||
        text.find_first_of(whitespace, semicolon) != std::string_view::npos) {
      return std::nullopt;
    }
    text = text.substr(0, semicolon);
  }
  const auto id = parse_number<JobId>(text);
  if (!id || *id == 0) {
    return std::nullopt;
  }
  return id;
}

std::vector<std::string> queue_command() {
  return {"squeue", "--noheader", "--me", "--states=all",
          "--Format=JobID:|,State:|,exit_code:|,TimeUsed:|,Name:0"};
}

std::optional<std::unordered_map<JobId, JobStatus>> parse_queue_listing(std::string_view output) {
  std::unordered_map<JobId, JobStatus> jobs;
  while (!output.empty()) {
    const std::size_t end = output.find('\n');
    const std::string_view line = output.substr(0, end);
    output.remove_prefix(end == std::string_view::npos ? output.size() : end + 1);
    if (trim(line).empty()) {
      continue;
    }
    JobStatus job;
    switch (parse_listing_line(line, job)) {
      case LineKind::job:
        jobs.insert_or_assign(job.id, std::move(job));
        break;
      case LineKind::not_a_plain_job:
        break;
      case LineKind::malformed:
        return std::nullopt;
    }
  }
  return jobs;
}

std::vector<std::string> job_details_command(JobId id) {
  return {"scontrol", "show", "job", std::to_string(id)};
}

std::optional<JobStatus> parse_job_details(std::string_view output, JobId id) {
  const auto record = job_record(output, id);
  if (!record) {
    return std::nullopt;
  }
  const std::size_t first_line_end = std::min(record->find('\n'), record->size());
  const std::string_view first_line = record->substr(0, first_line_end);
  const std::string_view body = record->substr(first_line_end);
  const auto state = record_value(body, "JobState");
  const auto exit = record_value(body, "ExitCode");
  if (!state || !is_state_name(*state) || !exit) {
    return std::nullopt;
  }
  // "ExitCode=3:0" is the exit code and the signal; "0:9" a script ended by KILL.
  const std::size_t colon = exit->find(':');
  const auto code = parse_number<int>(exit->substr(0, colon));
  const auto signal =
      colon == std::string_view::npos ? std::nullopt : parse_number<int>(exit->substr(colon + 1));
  if (!code || !signal) {
    return std::nullopt;
  }
  JobStatus job;
  job.id = id;
  job.state = std::string(*state);
  job.exit_code = *code;
  job.signal = *signal;
  if (const auto run_time = record_value(body, "RunTime")) {
    job.run_seconds = parse_duration(*run_time);
  }
  // The name runs to the end of the first line and may hold spaces.
  constexpr std::string_view name_key = " JobName=";
  if (const std::size_t at = first_line.find(name_key); at != std::string_view::npos) {
    job.name = std::string(trim(first_line.substr(at + name_key.size())));
  }
  return job;
}

bool says_job_unknown(std::string_view error_output) {
  return error_output.find("Invalid job id specified") != std::string_view::npos;
}

std::vector<std::string> cancel_command(JobId id) {
  return {"scancel", std::to_string(id)};
}

bool has_ended(std::string_view state) {
  return std::find(ended_states.begin(), ended_states.end(), state) != ended_states.end();
}

std::optional<std::string> end_exception(const JobStatus& job, bool stop_requested) {
  if (!has_ended(job.state)) {
    return std::nullopt;
  }
  const bool engine_ended = job.state == "COMPLETED" || job.state == "FAILED";
  // As for a local engine, an exit with status 0 is a success even after a stop request.
  if (job.state == "COMPLETED" && job.exit_code == 0 && job.signal == 0 && job.slurm_error == 0) {
    return std::string();
  }
  if (stop_requested) {
    return std::string("stopped by request");
  }
  const std::string ended = "slurm job " + std::to_string(job.id) + " ended: " + job.state;
  if (!engine_ended) {
    return ended;
  }
  if (job.slurm_error != 0) {
    return ended + " (slurm error " + std::to_string(job.slurm_error) + ")";
  }
  if (job.exit_code != 0) {
    return "engine exited with code " + std::to_string(job.exit_code);
  }
  if (job.signal != 0) {
    return "engine ended by signal " + std::to_string(job.signal);
  }
  return ended;
}

std::string unknown_job_exception(JobId id) {
  return "slurm job " + std::to_string(id) + " is no longer known to the cluster";
}

}  // namespace stratdesk::slurm
