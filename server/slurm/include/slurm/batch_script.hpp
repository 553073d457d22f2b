#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How a backtest is handed to a Slurm cluster: the batch script that carries the job's options
// and runs the engine command, and the sbatch command line that submits it. Text only: writing
// the script and running commands belong to the caller.
namespace stratdesk::slurm {

// The job options the server gives every run it submits.
struct JobOptions {
  std::string partition;   // empty: the cluster's default partition
  std::string time_limit;  // empty: the partition's default; see is_valid_time_limit
  std::string extra;       // further sbatch options, appended as given (e.g. "--mem=4G")
};

// One variable of the engine's environment, exported by the batch script.
struct EnvironmentVariable {
  std::string name;   // letters, digits and '_', not starting with a digit
  std::string value;  // any text without NUL bytes
};

// One run as the batch script describes it.
struct BatchJob {
  std::int64_t backtest_id = 0;      // the job is named "stratdesk-<backtest_id>"
  std::vector<std::string> command;  // the engine command, program first
  std::vector<EnvironmentVariable> environment;
  std::string output_path;  // absolute: the engine's standard output and error
  std::string working_dir;  // absolute, or empty for sbatch's own default
  JobOptions options;
};

// "stratdesk-<backtest_id>", the name of a run's job.
std::string job_name(std::int64_t backtest_id);

// The batch script of `job`: "#!/bin/sh", then the "#SBATCH" lines (job name, output, working
// folder, no requeue, partition, time limit, then the extra options), then one export per
// environment variable, then the engine command run with exec so that the job's end is the
// engine's. Every shell word is single-quoted, so no argument is expanded or split. The job is
// never requeued: a run Slurm started twice would post its results twice. Throws
// std::invalid_argument naming what cannot be written: an empty command, a NUL byte anywhere,
// a line break in a job option or path, a relative path, an output path with a backslash (Slurm
// drops backslashes from it), or a variable name the shell does not take.
std::string batch_script(const BatchJob& job);

// The argument vector that submits the script at `script_path`; sbatch then prints the job id
// alone (parse_submit_output).
std::vector<std::string> submit_command(const std::string& script_path);

// `text` as one word of the POSIX shell: in single quotes, each quote written as '\''.
std::string shell_quote(std::string_view text);

// True when sbatch takes `text` as --time: "minutes", "minutes:seconds",
// "hours:minutes:seconds", "days-hours", "days-hours:minutes", "days-hours:minutes:seconds",
// "UNLIMITED", "INFINITE" (either in any case) or "-1". Slurm rounds a limit up to whole
// minutes.
bool is_valid_time_limit(std::string_view text);

// Why no job could carry `options`, in a sentence for a start-up error, or nullopt when they
// are fine: a time limit sbatch would refuse, or a line break or NUL byte in any option.
std::optional<std::string> options_problem(const JobOptions& options);

}  // namespace stratdesk::slurm
