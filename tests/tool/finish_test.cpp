/*
 * finish_test.cpp - the end of a migration: the summary.top rewrite (kept
 * fields, the new tail, the start-time check, the scenario keywords, every
 * failure leaving the old file in place), the duration text, and the
 * finishing sequence's output, import command, pid file and last store call.
 */
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

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

/* ---- process level ---- */

/* Definitions of one partition: group Srv with the given vectors (8 bytes
 * each from offset 48) and, when asked, group Old with o1 at offset 64. */
std::string partition_gdf(const std::vector<std::string> &srv_vectors, bool with_old) {
  std::string gdf = vzu_test::info_line(72, 10000) +
                    vzu_test::group_line("Srv", 2000, "vector", 1, (int)srv_vectors.size()) +
                    vzu_test::graph_line("Load", 1, "vector", "sample", 48);
  for (auto &v : srv_vectors) gdf += v + "\n";
  if (with_old)
    gdf += vzu_test::group_line("Old", 2001, "vector", 1, 1) +
           vzu_test::graph_line("Hits", 2, "vector", "sample", 64) + "o1 64\n";
  return gdf;
}

void write_partition(const TempRun &run, const std::string &name, const std::string &gdf,
                     double first_ms) {
  run.partition(name);
  run.write(name + "/testrun.gdf", gdf);
  vzu_test::PacketWriter packets(72);
  for (int seq = 0; seq < 3; seq++)
    packets.packet(0, seq, first_ms + seq * 10000.0).f64(48, seq).f64(56, 2 * seq).f64(64, 3);
  packets.write(run.path(name + "/rtgMessage.dat"));
}

TEST(FinishProcess, ThreePartitionRunEndsWithTheDesignedFilesLinesAndStatus) {
  setenv("TZ", "UTC", 1);
  tzset();
  TempRun run(1);
  write_partition(run, "20230101000000", partition_gdf({"s1 48", "s2 56"}, true), 1.7e12);
  write_partition(run, "20230102000000", partition_gdf({"s1 48"}, false), 1.7e12 + 30000);
  write_partition(run, "20230103000000", partition_gdf({"s1 48", "s2 56"}, true), 1.7e12 + 60000);
  run.write("summary.top", summary_line(16, kStart) + "\n");
  run.write("sorted_scenario.conf", "PROGRESS_MSECS 10000\nTW_GENERATOR 1\n");

  auto r = vzu_test::run_tool(run, {"-t", "1"}, {{"TZ", "UTC"}});
  ASSERT_EQ(r.status, 0) << r.err;
  /* Only the switch into the second partition loses anything. */
  EXPECT_EQ(r.err,
            "Vector Deleted [s2] rtg_idx [56]\n"
            "Vector Deleted [o1] rtg_idx [64]\n"
            "GROUP Deleted [Old]\n");

  auto calls = run.record();
  ASSERT_FALSE(calls.empty());
  ASSERT_EQ(calls.back().rfind("tsdb_exit_migration end=", 0), 0u) << calls.back();
  long end = atol(calls.back().c_str() + strlen("tsdb_exit_migration end="));
  auto lines = vzu_test::split_lines(r.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "starting db_upload of TR1");
  EXPECT_EQ(lines.back().rfind("Migrttion is done test start time [1700000000], test end time [" +
                                   std::to_string(end) + "]",
                               0),
            0u)
      << lines.back();

  char duration[40];
  convert_sec_to_hh_mm_ss(duration, static_cast<int>(end - kStart));
  std::string head = "1|scen|" + formatted(kStart);
  for (int i = 3; i < 16; i++) head += "|" + (i == 14 ? std::string(duration) : "x" + std::to_string(i));
  EXPECT_EQ(run.read("summary.top"), head + "|1700000000|1700000000|" +
                                         std::to_string(end - kStart) + "|10000|99|1:1|0|All:1");
  EXPECT_EQ(run.read(".pidfiles/.OrvMain.pid"), "54321");

  /* The switches made destination partition directories with subjects. */
  int made = 0;
  for (auto &e : std::filesystem::directory_iterator(run.run_dir())) {
    std::string name = e.path().filename();
    if (name.size() != 14 || name == "20230101000000" || name == "20230102000000" ||
        name == "20230103000000")
      continue;
    EXPECT_TRUE(run.exists(name + "/subjects")) << name;
    made++;
  }
  EXPECT_GE(made, 1);
}
