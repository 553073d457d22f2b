#include "slurm/job_status.hpp"

#include <string>

#include <gtest/gtest.h>

#include "test_support.hpp"

// The fixtures are what a real Slurm 22.05 cluster printed (tests/slurm/fixtures/capture.sh).
namespace stratdesk::slurm {
namespace {

std::string fixture(const std::string& name) {
  return test::read_file(std::string(STRATDESK_SLURM_FIXTURES) + "/" + name);
}

JobStatus details(const std::string& name, JobId id) {
  const auto job = parse_job_details(fixture(name), id);
  EXPECT_TRUE(job.has_value()) << name;
  return job.value_or(JobStatus{});
}

TEST(SubmitOutput, is_the_job_id_alone) {
  EXPECT_EQ(parse_submit_output(fixture("sbatch-parsable.txt")), 9);
  EXPECT_EQ(parse_submit_output("4242;research\n"), 4242);
  for (const char* output : {"", "\n", "abc\n", "12 13\n", "12\n13\n", "-1\n", "0\n", "4242;\n",
                             "99999999999999999999\n", "Submitted batch job 12\n"}) {
    EXPECT_EQ(parse_submit_output(output), std::nullopt) << output;
  }
}

TEST(QueueListing, reads_every_state_and_how_each_job_ended) {
  const auto active = parse_queue_listing(fixture("squeue-active.txt"));
  ASSERT_TRUE(active.has_value());
  EXPECT_EQ(active->size(), 9U);
  EXPECT_EQ(active->at(1).state, "RUNNING");
  EXPECT_EQ(active->at(1).name, "stratdesk-timeout");
  EXPECT_EQ(active->at(3).state, "PENDING");
  EXPECT_EQ(active->at(8).state, "PENDING");  // a job array's pending tasks, under its own id

  const auto ended = parse_queue_listing(fixture("squeue-ended.txt"));
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->size(), 11U);
  const JobStatus& exit3 = ended->at(4);
  EXPECT_EQ(exit3.state, "FAILED");
  EXPECT_EQ(exit3.exit_code, 3);
  EXPECT_EQ(exit3.signal, 0);
  EXPECT_EQ(exit3.run_seconds, 1);
  const JobStatus& killed = ended->at(5);
  EXPECT_EQ(killed.state, "FAILED");
  EXPECT_EQ(killed.exit_code, 0);
  EXPECT_EQ(killed.signal, 9);
  const JobStatus& cancelled = ended->at(2);
  EXPECT_EQ(cancelled.state, "CANCELLED");
  EXPECT_EQ(cancelled.signal, 15);
  const JobStatus& timed_out = ended->at(1);
  EXPECT_EQ(timed_out.state, "TIMEOUT");
  EXPECT_EQ(timed_out.run_seconds, 87);
  EXPECT_EQ(ended->at(3).state, "COMPLETED");
  EXPECT_EQ(ended->at(7).state, "DEADLINE");
  EXPECT_EQ(ended->at(10).name, "stratdesk-array");
}

TEST(QueueListing, a_listing_it_cannot_read_is_no_answer_at_all) {
  EXPECT_EQ(parse_queue_listing(""), (std::unordered_map<JobId, JobStatus>{}));

  // The name comes last and may hold the separator; a job the server did not submit may be a
  // heterogeneous job's component, which no run owns.
  const auto odd = parse_queue_listing(
      "7|RUNNING|0|1-02:03:04|a|b c\n"
      "8+0|RUNNING|0|0:01|het\n"
      "9|FAILED|4021|0:00|no output file\n"
      "10|FAILED|139|0:00|core dumped\n");
  ASSERT_TRUE(odd.has_value());
  EXPECT_EQ(odd->size(), 3U);
  EXPECT_EQ(odd->at(7).name, "a|b c");
  EXPECT_EQ(odd->at(7).run_seconds, 93784);
  // Slurm's own error number where the script could not even start, not a wait status.
  EXPECT_EQ(odd->at(9).slurm_error, 4021);
  EXPECT_EQ(odd->at(9).signal, 0);
  EXPECT_EQ(odd->at(10).signal, 11);

  for (const char* listing :
       {"slurm_load_jobs error: Unable to contact slurm controller\n", "7|RUNNING|0|0:01\n",
        "x|RUNNING|0|0:01|name\n", "7|running|0|0:01|name\n", "7|RUNNING|-1|0:01|name\n",
        "7|RUNNING|0|0:01|ok\ngarbage\n"}) {
    EXPECT_EQ(parse_queue_listing(listing), std::nullopt) << listing;
  }
}

TEST(JobDetails, reads_state_exit_code_and_signal_of_each_kind_of_job) {
  struct Case {
    const char* fixture;
    JobId id;
    const char* state;
    int exit_code;
    int signal;
  };
  for (const Case& c : {
           Case{"scontrol-quick-pending.txt", 3, "PENDING", 0, 0},
           Case{"scontrol-long-running.txt", 2, "RUNNING", 0, 0},
           Case{"scontrol-quick-completed.txt", 3, "COMPLETED", 0, 0},
           Case{"scontrol-exit3-failed.txt", 4, "FAILED", 3, 0},
           Case{"scontrol-signal-failed.txt", 5, "FAILED", 0, 9},
           Case{"scontrol-long-cancelled.txt", 2, "CANCELLED", 0, 15},
           Case{"scontrol-held-cancelled.txt", 6, "CANCELLED", 0, 0},
           Case{"scontrol-timeout-timeout.txt", 1, "TIMEOUT", 143, 0},
           Case{"scontrol-deadline-deadline.txt", 7, "DEADLINE", 0, 1},
       }) {
    const JobStatus job = details(c.fixture, c.id);
    EXPECT_EQ(job.id, c.id) << c.fixture;
    EXPECT_EQ(job.state, c.state) << c.fixture;
    EXPECT_EQ(job.exit_code, c.exit_code) << c.fixture;
    EXPECT_EQ(job.signal, c.signal) << c.fixture;
  }
  const JobStatus timed_out = details("scontrol-timeout-timeout.txt", 1);
  EXPECT_EQ(timed_out.name, "stratdesk-timeout");
  EXPECT_EQ(timed_out.run_seconds, 87);

  // A name is any text and comes before the state; it cannot pass for the state.
  std::string named = fixture("scontrol-quick-completed.txt");
  const std::string name = "JobName=stratdesk-quick";
  named.replace(named.find(name), name.size(), "JobName=x JobState=FAILED ExitCode=9:0");
  const auto job = parse_job_details(named, 3);
  ASSERT_TRUE(job.has_value());
  EXPECT_EQ(job->name, "x JobState=FAILED ExitCode=9:0");
  EXPECT_EQ(job->state, "COMPLETED");
  EXPECT_EQ(job->exit_code, 0);
}

TEST(JobDetails, picks_the_asked_job_among_an_arrays_records) {
  const std::string array = fixture("scontrol-array-task-8.txt");
  const auto task = parse_job_details(array, 11);
  ASSERT_TRUE(task.has_value());
  EXPECT_EQ(task->id, 11);
  EXPECT_EQ(task->state, "COMPLETED");
  EXPECT_EQ(task->name, "stratdesk-array");
  // JobId=1 is no record here, though "JobId=10" and "JobId=11" begin with it.
  EXPECT_EQ(parse_job_details(array, 1), std::nullopt);
  EXPECT_EQ(details("scontrol-array-pending.txt", 8).state, "PENDING");

  EXPECT_EQ(parse_job_details("", 3), std::nullopt);
  EXPECT_EQ(parse_job_details("JobId=3 JobName=x\n   JobState=RUNNING\n", 3), std::nullopt);
  EXPECT_EQ(parse_job_details("JobId=3 JobName=x\n   JobState=RUNNING ExitCode=0\n", 3),
            std::nullopt);
}

TEST(JobDetails, an_unknown_job_is_told_apart_from_a_cluster_that_does_not_answer) {
  EXPECT_TRUE(says_job_unknown(fixture("scontrol-unknown.txt")));
  EXPECT_FALSE(says_job_unknown(fixture("scontrol-controller-down.txt")));
  EXPECT_FALSE(says_job_unknown(fixture("squeue-controller-down.txt")));
  EXPECT_FALSE(says_job_unknown(""));
}

TEST(JobEnd, becomes_the_exception_recorded_for_the_run) {
  const auto listed = parse_queue_listing(fixture("squeue-ended.txt")).value();
  const auto end = [&](JobId id, bool stop_requested) {
    return end_exception(listed.at(id), stop_requested);
  };
  EXPECT_EQ(end(3, false), "");
  EXPECT_EQ(end(3, true), "");  // exited 0 before the stop took effect
  EXPECT_EQ(end(4, false), "engine exited with code 3");
  EXPECT_EQ(end(5, false), "engine ended by signal 9");
  EXPECT_EQ(end(2, true), "stopped by request");
  EXPECT_EQ(end(2, false), "slurm job 2 ended: CANCELLED");  // cancelled by someone else
  EXPECT_EQ(end(1, false), "slurm job 1 ended: TIMEOUT");
  EXPECT_EQ(end(1, true), "stopped by request");
  EXPECT_EQ(end(7, false), "slurm job 7 ended: DEADLINE");

  JobStatus job;
  job.id = 4242;
  for (const char* state : {"NODE_FAIL", "OUT_OF_MEMORY", "PREEMPTED", "BOOT_FAIL"}) {
    job.state = state;
    EXPECT_EQ(end_exception(job, false), "slurm job 4242 ended: " + std::string(state));
  }
  job.state = "FAILED";
  job.slurm_error = 4021;
  EXPECT_EQ(end_exception(job, false), "slurm job 4242 ended: FAILED (slurm error 4021)");
  job.slurm_error = 0;
  EXPECT_EQ(end_exception(job, false), "slurm job 4242 ended: FAILED");

  // Not ended yet: still running, still ending, or a state this server does not know.
  for (const char* state : {"PENDING", "RUNNING", "COMPLETING", "SUSPENDED", "REQUEUED", "NEW"}) {
    job.state = state;
    EXPECT_EQ(end_exception(job, true), std::nullopt) << state;
  }
  EXPECT_EQ(unknown_job_exception(4242), "slurm job 4242 is no longer known to the cluster");
}

}  // namespace
}  // namespace stratdesk::slurm
