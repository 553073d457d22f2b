#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// What a Slurm cluster says about the jobs the server submitted, read from the output of its
// command-line tools, and what the end of a job means for the run it carried. Text only:
// running the commands (with time limits) belongs to the caller.
namespace stratdesk::slurm {

using JobId = std::int64_t;

// One job as the cluster reports it.
struct JobStatus {
  JobId id = 0;
  std::string name;
  // Slurm's name of the state: "PENDING", "RUNNING", "COMPLETING", "COMPLETED", "FAILED",
  // "CANCELLED", "TIMEOUT", ... (see has_ended).
  std::string state;
  int exit_code = 0;    // the batch script's exit code once it exited, else 0
  int signal = 0;       // the signal that ended the batch script, else 0
  int slurm_error = 0;  // Slurm's own error number when the script could not be started
  std::optional<std::int64_t> run_seconds;  // time the job has run; nullopt when unreadable

  bool operator==(const JobStatus&) const = default;
};

// The job id in what `sbatch --parsable` printed on standard output ("4242", or "4242;cluster"
// on a federation), or nullopt when the output is anything else.
std::optional<JobId> parse_submit_output(std::string_view output);

// The argument vector that lists, in one call, every job of the server's user that the cluster
// still knows, ended ones included (until Slurm forgets them, MinJobAge after their end), one
// line each: "id|state|wait status|time used|name".
std::vector<std::string> queue_command();

// The jobs in what queue_command printed on standard output, by id. Lines of jobs that are not
// plain batch jobs (heterogeneous job components) are left out. nullopt when a line is not of
// that format: an answer that cannot be read must never read as jobs having vanished.
std::optional<std::unordered_map<JobId, JobStatus>> parse_queue_listing(std::string_view output);

// The argument vector that shows one job's details (`scontrol show job`).
std::vector<std::string> job_details_command(JobId id);

// Job `id` in what job_details_command printed on standard output (for a job array, its record
// among the array's), or nullopt when the output holds no readable record of it.
std::optional<JobStatus> parse_job_details(std::string_view output, JobId id);

// True when what squeue or scontrol printed on standard error says that the job id is not
// known to the cluster (any more), as opposed to the cluster not answering at all.
bool says_job_unknown(std::string_view error_output);

// The argument vector that cancels a job. scancel exits 0 whether or not the job was still
// known; its end is learnt from the listing, as for any other end.
std::vector<std::string> cancel_command(JobId id);

// True for the states in which a job has ended for good: COMPLETED, FAILED, CANCELLED, TIMEOUT,
// NODE_FAIL, OUT_OF_MEMORY, PREEMPTED, BOOT_FAIL, DEADLINE. Every other state, including
// COMPLETING and names unknown here, means the job is still in the cluster's hands.
bool has_ended(std::string_view state);

// The `exception` recorded for the run of an ended job, or nullopt while it has not ended: empty
// when the engine exited 0; "stopped by request" when the server had asked to cancel it;
// "engine exited with code N" or "engine ended by signal N" when the engine failed; otherwise
// Slurm's own end named plainly, "slurm job N ended: TIMEOUT" (also CANCELLED by someone else,
// NODE_FAIL, OUT_OF_MEMORY, PREEMPTED, BOOT_FAIL, DEADLINE, or FAILED with Slurm's error).
std::optional<std::string> end_exception(const JobStatus& job, bool stop_requested);

// The `exception` of a run whose job the cluster no longer knows: "slurm job N is no longer
// known to the cluster".
std::string unknown_job_exception(JobId id);

}  // namespace stratdesk::slurm
