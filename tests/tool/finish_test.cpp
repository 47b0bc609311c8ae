/*
 * finish_test.cpp - the end of a migration: the summary.top rewrite (kept
 * fields, the new tail, the start-time check, the scenario keywords, every
 * failure leaving the old file in place), the duration text, and the
 * finishing sequence's output, import command, pid file and last store call.
 */
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

using vzu_test::TempRun;

namespace {

constexpr long kStart = 1700000000;
constexpr long kEnd = kStart + 3725;

/* "mm/dd/yy HH:MM:SS" of an epoch time (the tests run in UTC). */
std::string formatted(long t) {
  time_t tt = t;
  struct tm tm;
  char buf[32];
  gmtime_r(&tt, &tm);
  strftime(buf, sizeof buf, "%m/%d/%y %H:%M:%S", &tm);
  return buf;
}

/* A summary.top line of n fields whose start time is `start`. */
std::string summary_line(int n, long start) {
  std::string line = "9|scen|" + formatted(start);
  for (int i = 3; i < n; i++) line += "|" + (i == 14 ? std::string("0:0:0") : "x" + std::to_string(i));
  return line;
}

/* Fields 0 to 15 as rewritten from summary_line(). */
std::string expected_head(long start) {
  std::string head = "3|scen|" + formatted(start);
  for (int i = 3; i < 16; i++) head += "|" + (i == 14 ? std::string("1:2:5") : "x" + std::to_string(i));
  return head + "|";
}

class Finish : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    snprintf(tw_wdir, sizeof tw_wdir, "%s", run_.wdir().c_str());
    g_dest_testrun = run_.testrun();
    sd_log_tracing_level = 0;
    test_start_time = kStart;
    test_end_time = kEnd;
    total_sample = 3000;
    total_missing_sample = 725;
  }

  void write_scenario(const std::string &text) { run_.write("sorted_scenario.conf", text); }

  std::string rewrite(const std::string &summary) {
    run_.write("summary.top", summary);
    update_summary_top_file();
    return run_.read("summary.top");
  }

  TempRun run_{3};
};

TEST(DurationText, HoursMinutesSecondsNotZeroFilled) {
  char buf[40];
  convert_sec_to_hh_mm_ss(buf, 3725);
  EXPECT_STREQ(buf, "1:2:5");
  convert_sec_to_hh_mm_ss(buf, 90061);
  EXPECT_STREQ(buf, "25:1:1");
  convert_sec_to_hh_mm_ss(buf, 0);
  EXPECT_STREQ(buf, "0:0:0");
}

TEST_F(Finish, SixteenFieldsGetTheMigratedSpanAndTheScenarioTail) {
  write_scenario("PROGRESS_MSECS 10000\nTW_GENERATOR 3\n");
  run_.write("summary.top", summary_line(16, kStart) + "\n");
  chmod(run_.path("summary.top").c_str(), 0640);
  update_summary_top_file();

  EXPECT_EQ(run_.read("summary.top"),
            expected_head(kStart) + "1700000000|1700000000|3725|10000|99|3:3|0|All:1");
  struct stat st;
  ASSERT_EQ(stat(run_.path("summary.top").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_FALSE(run_.exists("summary.top.tmp"));
}

TEST_F(Finish, TwentySixFieldsHaveTheirTailReplaced) {
  write_scenario("SHOW_GROUP_DATA 1\n");
  EXPECT_EQ(rewrite(summary_line(26, kStart)),
            expected_head(kStart) + "1700000000|1700000000|3725|0|99|0:0|1|All:1");
}

TEST_F(Finish, StartTimeFromSamplesWhenSummaryIsMoreThanFiveMinutesOff) {
  write_scenario("");
  testing::internal::CaptureStdout();
  std::string at_limit = rewrite(summary_line(16, kStart - 300));
  std::string beyond = rewrite(summary_line(16, kStart - 600));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: summary.top start timei [1699999400] and rtg start time [1700000000] is "
            "deffrent more then 5 min so taking rtg start time\n");
  EXPECT_EQ(at_limit, expected_head(kStart - 300) + "1699999700|1700000000|3725|0|99|0:0|0|All:1");
  EXPECT_EQ(beyond, expected_head(kStart - 600) + "1700000000|1700000000|3725|0|99|0:0|0|All:1");
}

TEST_F(Finish, ScenarioKeywordsCountOnlyInTheFirstColumnAndTheLastOneWins) {
  write_scenario("PROGRESS_MSECS 10000\n PROGRESS_MSECS 500\nTW_GENERATOR 2\nTW_GENERATOR 4\n"
                 "TW_GENERATORS 7\nSHOW_GROUP_DATA 1\n");
  EXPECT_EQ(rewrite(summary_line(16, kStart)),
            expected_head(kStart) + "1700000000|1700000000|3725|10000|99|4:4|1|All:1");
}

TEST_F(Finish, SummaryLeftAsItWasWhenItCannotBeRewritten) {
  std::string short_line = summary_line(15, kStart) + "\n";
  write_scenario("PROGRESS_MSECS 10000\n");
  EXPECT_EQ(rewrite(short_line), short_line);
  EXPECT_EQ(rewrite(""), "");

  std::string good = summary_line(16, kStart) + "\n";
  run_.write("summary.top.tmp/x", "");  /* the temporary file cannot be made */
  testing::internal::CaptureStderr();
  EXPECT_EQ(rewrite(good), good);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to open file - " + run_.path("summary.top.tmp") + ", error - Is a directory\n");
  std::filesystem::remove_all(run_.path("summary.top.tmp"));

  unlink(run_.path("sorted_scenario.conf").c_str());
  EXPECT_EQ(rewrite(good), good);
}

TEST_F(Finish, MissingSummaryIsReported) {
  testing::internal::CaptureStderr();
  update_summary_top_file();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to open summary.top, error - No such file or directory\n");
}

TEST_F(Finish, FullDiskLeavesTheOldSummary) {
  write_scenario("PROGRESS_MSECS 10000\n");
  /* The file size limit stops the long new line but not the message, which
   * the death test collects through a file of its own. */
  std::string good = summary_line(16, kStart) + "\n";
  good.replace(good.find("scen"), 4, std::string(800, 's'));
  run_.write("summary.top", good);
  EXPECT_EXIT(
      {
        struct rlimit rl;
        getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = 512;
        setrlimit(RLIMIT_FSIZE, &rl);
        signal(SIGXFSZ, SIG_IGN);
        update_summary_top_file();
        exit(0);
      },
      testing::ExitedWithCode(0), "Failed to write file - .*summary.top.tmp, error - File too large");
  EXPECT_EQ(run_.read("summary.top"), good);
  EXPECT_FALSE(run_.exists("summary.top.tmp"));
}

/* Runs the finishing sequence in a child with a stand-in import command that
 * appends "import <run>" to the same output; returns the child's output. */
class FinishingSequence : public Finish {
 protected:
  std::string finish() {
    std::string out = run_.wdir() + "/stdout.txt";
    std::string bin = run_.wdir() + "/bin";
    run_.write(bin + "/twu_import", "#!/bin/sh\necho \"import $1\" >> '" + out + "'\n");
    chmod((bin + "/twu_import").c_str(), 0755);
    setenv("ORVTSDB_RECORD", run_.record_path().c_str(), 1);
    EXPECT_EXIT(
        {
          setenv("PATH", (bin + ":" + getenv("PATH")).c_str(), 1);
          if (freopen(out.c_str(), "a", stdout) == nullptr) exit(2);
          tr_migrate_exit();
        },
        testing::ExitedWithCode(0), "");
    unsetenv("ORVTSDB_RECORD");
    return run_.read(out);
  }
};

TEST_F(FinishingSequence, PrintsImportsClosesTheStoreLastAndCreatesThePidFile) {
  write_scenario("PROGRESS_MSECS 10000\nTW_GENERATOR 3\n");
  run_.write("summary.top", summary_line(16, kStart) + "\n");
  EXPECT_EQ(finish(),
            "starting db_upload of TR3\n"
            "import 3\n"
            "Migrttion is done test start time [1700000000], test end time [1700003725] as pes "
            "summary.top and as per sample inserted test end time [1700003725]\n");
  EXPECT_EQ(run_.read("summary.top"),
            expected_head(kStart) + "1700000000|1700000000|3725|10000|99|3:3|0|All:1");
  auto calls = run_.record();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "tsdb_exit_migration end=1700003725");
  EXPECT_EQ(run_.read(".pidfiles/.OrvMain.pid"), "54321");
  struct stat st;
  ASSERT_EQ(stat(run_.path(".pidfiles").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(FinishingSequence, PidFileAddedToAnExistingDirectoryAndNeverReplaced) {
  /* No summary.top and no scenario file: the rest of the finish still runs. */
  std::filesystem::create_directories(run_.path(".pidfiles"));
  EXPECT_NE(finish().find("import 3\n"), std::string::npos);
  EXPECT_EQ(run_.read(".pidfiles/.OrvMain.pid"), "54321");
  EXPECT_FALSE(run_.exists("summary.top"));

  run_.write(".pidfiles/.OrvMain.pid", "4242\n");
  finish();
  EXPECT_EQ(run_.read(".pidfiles/.OrvMain.pid"), "4242\n");
}

}  // namespace
