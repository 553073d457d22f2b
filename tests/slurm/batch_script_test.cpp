#include "slurm/batch_script.hpp"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace stratdesk::slurm {
namespace {

// Words that break naive quoting: blanks, both quotes, expansions, globs, line breaks,
// backslashes, options, non-ASCII, empty.
const std::vector<std::string> hostile_words = {
    "two words",
    "it's",
    "\"double\"",
    "$HOME",
    "${PATH}",
    "`id`",
    "$(id)",
    "line\nbreak",
    "tab\there",
    "back\\slash\\",
    "*",
    "~",
    "; rm -rf /",
    "-n",
    "%j",
    "'",
    "''",
    "\\'",
    "",
    "日本語 ünïcödé",
    "a\\nb",
    "!x",
    "#not-a-comment",
    "end\\",
};

BatchJob typical_job() {
  BatchJob job;
  job.backtest_id = 42;
  job.command = {"/usr/bin/python3", "/opt/engine/run.py", "--parameter-in", "window:20"};
  job.environment = {{"STRATDESK_FEED_URL", "http://10.1.2.3:8600/api/feedgroup"},
                     {"STRATDESK_PID_DIR", "/data/pids"}};
  job.output_path = "/data/strategies/42/engine.log";
  job.working_dir = "/data/strategies/42";
  job.options = {"short", "30:00", "--mem=4G --qos=\"high prio\""};
  return job;
}

TEST(BatchScript, names_the_job_and_carries_its_options_before_the_command) {
  EXPECT_EQ(batch_script(typical_job()),
            "#!/bin/sh\n"
            "#SBATCH --job-name=\"stratdesk-42\"\n"
            "#SBATCH --output=\"/data/strategies/42/engine.log\"\n"
            "#SBATCH --chdir=\"/data/strategies/42\"\n"
            "#SBATCH --no-requeue\n"
            "#SBATCH --partition=\"short\"\n"
            "#SBATCH --time=\"30:00\"\n"
            "#SBATCH --mem=4G --qos=\"high prio\"\n"
            "export STRATDESK_FEED_URL='http://10.1.2.3:8600/api/feedgroup'\n"
            "export STRATDESK_PID_DIR='/data/pids'\n"
            "exec '/usr/bin/python3' '/opt/engine/run.py' '--parameter-in' 'window:20'\n");

  // Options left empty leave their lines out; Slurm's defaults apply.
  BatchJob plain = typical_job();
  plain.working_dir.clear();
  plain.options = {};
  plain.environment.clear();
  EXPECT_EQ(batch_script(plain),
            "#!/bin/sh\n"
            "#SBATCH --job-name=\"stratdesk-42\"\n"
            "#SBATCH --output=\"/data/strategies/42/engine.log\"\n"
            "#SBATCH --no-requeue\n"
            "exec '/usr/bin/python3' '/opt/engine/run.py' '--parameter-in' 'window:20'\n");
}

TEST(BatchScript, option_values_are_written_as_sbatch_reads_them_back) {
  BatchJob job = typical_job();
  // Slurm expands %j in an output path and reads %% as one '%'.
  job.output_path = "/data/100% \"sure\"/engine.log";
  job.working_dir = "/data/a\"b";
  job.options.partition = "gpu#1";
  const std::string script = batch_script(job);
  EXPECT_NE(script.find("#SBATCH --output=\"/data/100%% \\\"sure\\\"/engine.log\"\n"),
            std::string::npos)
      << script;
  EXPECT_NE(script.find("#SBATCH --chdir=\"/data/a\\\"b\"\n"), std::string::npos) << script;
  EXPECT_NE(script.find("#SBATCH --partition=\"gpu#1\"\n"), std::string::npos) << script;
}

// The script run by the real shell hands every argument and variable to the program exactly.
TEST(BatchScript, the_shell_passes_hostile_arguments_and_values_through_unchanged) {
  test::TempDir dir;
  BatchJob job = typical_job();
  // The program prints its arguments and then the two variables, each ended by a NUL byte.
  job.command = {"/bin/sh", "-c",
                 "for word in \"$@\"; do printf '%s\\0' \"$word\"; done; "
                 "printf '%s\\0' \"$FIRST\" \"$SECOND\" end",
                 "sh"};
  job.command.insert(job.command.end(), hostile_words.begin(), hostile_words.end());
  job.environment = {{"FIRST", "$(touch " + dir.file("pwned") + ")'\"\n`x`"},
                     {"SECOND", "日本語 $HOME \\"}};
  const std::string script_path = dir.file("job.sh");
  test::write_file(script_path, batch_script(job));

  const test::ProcessResult run = test::run_process({"/bin/sh", script_path});

  std::vector<std::string> expected = hostile_words;
  expected.push_back(job.environment[0].value);
  expected.push_back(job.environment[1].value);
  expected.emplace_back("end");
  std::vector<std::string> received;
  for (std::size_t start = 0; start < run.out.size();) {
    const std::size_t nul = run.out.find('\0', start);
    ASSERT_NE(nul, std::string::npos) << run.out;
    received.push_back(run.out.substr(start, nul - start));
    start = nul + 1;
  }
  EXPECT_EQ(received, expected) << run.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("pwned")));
}

TEST(BatchScript, refuses_what_cannot_be_written) {
  const auto refused = [](BatchJob job) { EXPECT_THROW(batch_script(job), std::invalid_argument); };
  BatchJob job = typical_job();
  job.command.clear();
  refused(job);
  job = typical_job();
  job.command.emplace_back("a\0b", 3);
  refused(job);
  job = typical_job();
  job.environment.push_back({"1ST", "x"});
  refused(job);
  job = typical_job();
  job.environment.push_back({"A-B", "x"});
  refused(job);
  job = typical_job();
  job.environment.push_back({"VALUE", std::string("a\0b", 3)});
  refused(job);
  // A line break would end the "#SBATCH" line and start a command.
  job = typical_job();
  job.options.partition = "short\nrm -rf /";
  refused(job);
  job = typical_job();
  job.options.extra = "--mem=1G\r\n--qos=x";
  refused(job);
  job = typical_job();
  job.output_path = "/data/line\nbreak/engine.log";
  refused(job);
  job = typical_job();
  job.output_path = "/data/back\\slash/engine.log";
  refused(job);
  job = typical_job();
  job.output_path = "engine.log";
  refused(job);
  job = typical_job();
  job.working_dir = "strategies/42";
  refused(job);

  // Blank extra options are none at all.
  job = typical_job();
  job.options.extra = "  ";
  EXPECT_EQ(batch_script(job).find("#SBATCH  "), std::string::npos);
}

TEST(BatchScript, time_limits_in_the_forms_sbatch_takes) {
  for (const char* limit : {"5", "0", "5:30", "1:00:00", "2-0", "2-3", "2-3:04", "2-3:04:05",
                            "UNLIMITED", "unlimited", "Infinite", "-1", "0-0:0:0", "99999999"}) {
    EXPECT_TRUE(is_valid_time_limit(limit)) << limit;
  }
  for (const char* limit : {"", "1.5", " 5", "5 ", "1:2:3:4", "2-3-4", ":5", "5:", "abc", "1-",
                            "-5", "2-1:2:3:4", "1234567890", "5m"}) {
    EXPECT_FALSE(is_valid_time_limit(limit)) << limit;
  }

  EXPECT_EQ(options_problem({"short", "1-12:00", "--mem=4G"}), std::nullopt);
  EXPECT_EQ(options_problem({}), std::nullopt);
  EXPECT_EQ(options_problem({"", "90 minutes", ""}),
            "the time limit \"90 minutes\" is not one sbatch takes (minutes, minutes:seconds, "
            "hours:minutes:seconds, days-hours[:minutes[:seconds]] or UNLIMITED)");
  EXPECT_EQ(options_problem({"a\nb", "", ""}),
            "the partition must not hold a line break or NUL byte");
  EXPECT_EQ(options_problem({"", "", "--mem=1G\n"}),
            "the extra sbatch options must not hold a line break or NUL byte");
}

}  // namespace
}  // namespace stratdesk::slurm
