#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "slurm/batch_script.hpp"
#include "slurm/job_status.hpp"
#include "test_support.hpp"

// Jobs built by the script builder, run by a real Slurm cluster and read back through the
// parsers (`make test-cluster` starts one with scripts/slurm-local.sh). Skipped when SLURM_CONF
// names no cluster. Every wait is generous: jobs queue behind each other on a small node.
namespace stratdesk::slurm {
namespace {

using namespace std::chrono_literals;

// A Slurm command's run; a controller that does not answer makes them fail after 10 to 20 s.
test::ProcessResult run(const std::vector<std::string>& argv) {
  return test::run_process(argv, 60s);
}

std::vector<std::string> words_of(const std::string& nul_separated) {
  std::vector<std::string> words;
  for (std::size_t start = 0; start < nul_separated.size();) {
    const std::size_t nul = nul_separated.find('\0', start);
    if (nul == std::string::npos) {
      words.push_back(nul_separated.substr(start) + "<unterminated>");
      break;
    }
    words.push_back(nul_separated.substr(start, nul - start));
    start = nul + 1;
  }
  return words;
}

// A submitted job, cancelled when the test ends early so that nothing is left in the queue.
class SubmittedJob {
 public:
  SubmittedJob(const BatchJob& job, const std::string& script_path) {
    test::write_file(script_path, batch_script(job));
    const test::ProcessResult submitted = run(submit_command(script_path));
    const auto id = parse_submit_output(submitted.out);
    if (!id) {
      throw std::runtime_error("sbatch did not submit: " + submitted.out + submitted.err);
    }
    id_ = *id;
  }
  ~SubmittedJob() {
    if (!ended_) {
      run(cancel_command(id_));
    }
  }
  SubmittedJob(const SubmittedJob&) = delete;
  SubmittedJob& operator=(const SubmittedJob&) = delete;

  [[nodiscard]] JobId id() const { return id_; }

  // The job as the listing shows it once `done` holds for it; fails the test after `timeout`.
  template <class Done>
  JobStatus wait_until(Done done, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    JobStatus last;
    while (std::chrono::steady_clock::now() < deadline) {
      const test::ProcessResult listed = run(queue_command());
      const auto jobs = parse_queue_listing(listed.out);
      EXPECT_TRUE(jobs.has_value()) << listed.out << listed.err;
      if (jobs && jobs->contains(id_)) {
        last = jobs->at(id_);
        if (done(last)) {
          ended_ = has_ended(last.state);
          return last;
        }
      }
      std::this_thread::sleep_for(500ms);
    }
    ADD_FAILURE() << "job " << id_ << " still " << last.state << " after " << timeout.count()
                  << " s";
    return last;
  }

  JobStatus wait_for_end(std::chrono::seconds timeout = 240s) {
    return wait_until([](const JobStatus& job) { return has_ended(job.state); }, timeout);
  }

 private:
  JobId id_ = 0;
  bool ended_ = false;
};

class Cluster : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("SLURM_CONF") == nullptr) {
      GTEST_SKIP() << "no cluster: start one with scripts/slurm-local.sh and set SLURM_CONF";
    }
  }

  // A run's folder whose name holds what a shell or sbatch line could misread.
  std::string run_folder(const std::string& name) {
    std::string folder = dir_.file(name + " \"q\" 'x' 100% #ü $HOME `id`");
    std::filesystem::create_directories(folder);
    return folder;
  }

  test::TempDir dir_;
};

TEST_F(Cluster, a_job_runs_the_engine_command_exactly_and_its_exit_code_comes_back) {
  const std::vector<std::string> hostile = {
      "two words",   "it's", "\"q\"",  "$HOME", "`id`", "$(id)", "line\nbreak",
      "back\\slash", "",     "日本語", "%j",    "#x",   "*"};
  const std::string folder = run_folder("exit3");
  BatchJob job;
  job.backtest_id = 900001;
  job.command = {"/bin/sh", "-c",
                 "for word in \"$@\"; do printf '%s\\0' \"$word\"; done; "
                 "printf '%s\\0' \"$STRATDESK_FEED_URL\" \"$(pwd)\"; exit 3",
                 "sh"};
  job.command.insert(job.command.end(), hostile.begin(), hostile.end());
  job.environment = {{"STRATDESK_FEED_URL", "http://127.0.0.1:1/api/feedgroup?a='b' $c"}};
  job.output_path = folder + "/engine.log";
  job.working_dir = folder;
  job.options = {"", "5", "--comment=\"a b#c\" --nice=1"};
  SubmittedJob submitted(job, folder + "/job.sh");

  const JobStatus ended = submitted.wait_for_end();
  EXPECT_EQ(ended.state, "FAILED");
  EXPECT_EQ(ended.exit_code, 3);
  EXPECT_EQ(ended.name, "stratdesk-900001");
  EXPECT_EQ(end_exception(ended, false), "engine exited with code 3");

  std::vector<std::string> expected = hostile;
  expected.push_back(job.environment[0].value);
  expected.push_back(folder);
  EXPECT_EQ(words_of(test::read_file(job.output_path)), expected);

  // scontrol tells the same end, and shows the options the script's "#SBATCH" lines carried.
  const test::ProcessResult shown = run(job_details_command(submitted.id()));
  const auto details = parse_job_details(shown.out, submitted.id());
  ASSERT_TRUE(details.has_value()) << shown.out << shown.err;
  EXPECT_EQ(details->state, "FAILED");
  EXPECT_EQ(details->exit_code, 3);
  EXPECT_EQ(details->signal, 0);
  EXPECT_NE(shown.out.find("JobName=stratdesk-900001\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("WorkDir=" + folder + "\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("Comment=a b#c "), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("TimeLimit=00:05:00 "), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("Requeue=0 "), std::string::npos) << shown.out;
}

TEST_F(Cluster, a_cancelled_job_reads_as_stopped_by_request_and_is_forgotten_later) {
  const std::string folder = run_folder("cancel");
  BatchJob job;
  job.backtest_id = 900002;
  job.command = {"/bin/sleep", "600"};
  job.output_path = folder + "/engine.log";
  SubmittedJob submitted(job, folder + "/job.sh");
  submitted.wait_until([](const JobStatus& status) { return status.state == "RUNNING"; }, 240s);

  run(cancel_command(submitted.id()));
  const JobStatus ended = submitted.wait_for_end(60s);
  EXPECT_EQ(ended.state, "CANCELLED");
  EXPECT_EQ(end_exception(ended, true), "stopped by request");
  EXPECT_EQ(end_exception(ended, false),
            "slurm job " + std::to_string(ended.id) + " ended: CANCELLED");

  // Without accounting, Slurm forgets an ended job MinJobAge after its end (5 s on the test
  // cluster), at its next purge of old jobs.
  const auto deadline = std::chrono::steady_clock::now() + 300s;
  test::ProcessResult shown;
  while (std::chrono::steady_clock::now() < deadline) {
    shown = run(job_details_command(submitted.id()));
    if (says_job_unknown(shown.err)) {
      break;
    }
    ASSERT_TRUE(parse_job_details(shown.out, submitted.id()).has_value()) << shown.out << shown.err;
    std::this_thread::sleep_for(1s);
  }
  ASSERT_TRUE(says_job_unknown(shown.err)) << shown.out << shown.err;
  const auto jobs = parse_queue_listing(run(queue_command()).out);
  ASSERT_TRUE(jobs.has_value());
  EXPECT_FALSE(jobs->contains(submitted.id()));
}

TEST_F(Cluster, a_job_past_its_time_limit_ends_in_timeout) {
  const std::string folder = run_folder("timeout");
  BatchJob job;
  job.backtest_id = 900003;
  job.command = {"/bin/sleep", "600"};
  job.output_path = folder + "/engine.log";
  // The shortest limit there is: Slurm rounds it up to a minute and checks limits on its own
  // clock, so the job ends 60 to 90 s after it started.
  job.options.time_limit = "0:01";
  SubmittedJob submitted(job, folder + "/job.sh");

  const JobStatus ended = submitted.wait_for_end(300s);
  EXPECT_EQ(ended.state, "TIMEOUT");
  EXPECT_EQ(end_exception(ended, false),
            "slurm job " + std::to_string(ended.id) + " ended: TIMEOUT");
  EXPECT_NE(test::read_file(job.output_path).find("DUE TO TIME LIMIT"), std::string::npos);
}

TEST_F(Cluster, sbatch_takes_exactly_the_time_limits_the_builder_accepts) {
  const std::string script = dir_.file("nothing.sh");
  test::write_file(script, "#!/bin/sh\ntrue\n");
  // --test-only checks a submission without making it; it says so on standard error.
  const auto sbatch_takes = [&](const std::string& limit) {
    const test::ProcessResult checked = run({"sbatch", "--test-only", "--time=" + limit, script});
    EXPECT_TRUE(checked.err.find("to start at") != std::string::npos ||
                checked.err.find("error") != std::string::npos)
        << checked.err;
    return checked.err.find("error") == std::string::npos;
  };
  for (const char* limit : {"5", "5:30", "1:00:00", "2-0", "2-3", "2-3:04", "2-3:04:05",
                            "UNLIMITED", "infinite", "-1"}) {
    ASSERT_TRUE(is_valid_time_limit(limit));
    EXPECT_TRUE(sbatch_takes(limit)) << limit;
  }
  for (const char* limit : {"1.5", "1:2:3:4", "2-3-4", ":5", "5:", "abc", "90 minutes"}) {
    ASSERT_FALSE(is_valid_time_limit(limit));
    EXPECT_FALSE(sbatch_takes(limit)) << limit;
  }
}

}  // namespace
}  // namespace stratdesk::slurm
