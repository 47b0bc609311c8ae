/*
 * finish_test.cpp - the end of a migration: the summary.top rewrite (kept
 * fields, the new tail, the start-time check, the scenario keywords, every
 * failure leaving the old file in place), the pid file, and a whole run's
 * finish: its output, import command, files and last store call.
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
  for (int i = 3; i < n; i++)
    line += "|" + (i == 14 ? std::string("0:0:0") : "x" + std::to_string(i));
  return line;
}

/* Fields 0 to 15 as rewritten from summary_line(). */
std::string expected_head(long start, int run = 3, const std::string &duration = "1:2:5") {
  std::string head = std::to_string(run) + "|scen|" + formatted(start);
  for (int i = 3; i < 16; i++) head += "|" + (i == 14 ? duration : "x" + std::to_string(i));
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

TEST_F(Finish, SummaryKeepsTheHeadAndGetsANewTail) {
  struct Case {
    int n_fields;
    long start;
    const char *scenario;
    const char *tail;
  } cases[] = {
      {16, kStart, "PROGRESS_MSECS 10000\nTW_GENERATOR 3\n",
       "1700000000|1700000000|3725|10000|99|3:3|0|All:1"},
      /* fields 16 to 25 replaced; a keyword counts only in the first column
       * and the last line wins; 300 s apart is still close enough */
      {26, kStart - 300,
       "PROGRESS_MSECS 10000\n PROGRESS_MSECS 500\nTW_GENERATOR 2\nTW_GENERATOR 4\n"
       "TW_GENERATORS 7\nSHOW_GROUP_DATA 1\n",
       "1699999700|1700000000|3725|10000|99|4:4|1|All:1"},
      {16, kStart - 600, "", "1700000000|1700000000|3725|0|99|0:0|0|All:1"},
  };
  run_.write("summary.top", "");
  chmod(run_.path("summary.top").c_str(), 0640);
  testing::internal::CaptureStdout();
  for (const Case &c : cases) {
    write_scenario(c.scenario);
    EXPECT_EQ(rewrite(summary_line(c.n_fields, c.start) + "\n"), expected_head(c.start) + c.tail);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: summary.top start timei [1699999400] and rtg start time [1700000000] is "
            "deffrent more then 5 min so taking rtg start time\n");
  struct stat st;
  ASSERT_EQ(stat(run_.path("summary.top").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_FALSE(run_.exists("summary.top.tmp"));
}

TEST_F(Finish, SummaryLeftAsItWasWhenItCannotBeRewritten) {
  testing::internal::CaptureStderr();
  update_summary_top_file();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to open summary.top, error - No such file or directory\n");

  write_scenario("PROGRESS_MSECS 10000\n");
  std::string short_line = summary_line(15, kStart) + "\n";
  EXPECT_EQ(rewrite(short_line), short_line);
  EXPECT_EQ(rewrite(""), "");

  std::string good = summary_line(16, kStart) + "\n";
  unlink(run_.path("sorted_scenario.conf").c_str());
  EXPECT_EQ(rewrite(good), good);

  // A FIFO or a device in place of either file cannot be read as one: the
  // finish says so and goes on (a read would never end).
  ASSERT_EQ(symlink("/dev/zero", run_.path("sorted_scenario.conf").c_str()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(rewrite(good), good);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "'" + run_.path("sorted_scenario.conf") + "' not read: not a regular file\n");
  unlink(run_.path("summary.top").c_str());
  ASSERT_EQ(mkfifo(run_.path("summary.top").c_str(), 0600), 0);
  testing::internal::CaptureStderr();
  update_summary_top_file();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to open summary.top, error - not a regular file\n");
}

/* A summary.top that is a link is written through, as an open for writing
 * would write it: the file it names gets the new line, the link stays. */
TEST_F(Finish, ALinkedSummaryIsWrittenThrough) {
  write_scenario("PROGRESS_MSECS 10000\n");
  std::filesystem::create_directories(run_.path("kept"));
  run_.write("kept/summary.top", summary_line(16, kStart) + "\n");
  ASSERT_EQ(symlink("kept/summary.top", run_.path("summary.top").c_str()), 0);
  update_summary_top_file();
  struct stat st;
  ASSERT_EQ(lstat(run_.path("summary.top").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(run_.read("kept/summary.top").rfind(expected_head(kStart), 0), 0u)
      << run_.read("kept/summary.top");
}

/* Without a temporary file beside it (a run folder the tool may not write
 * into) the summary is written in place, as a plain rewrite does. */
TEST_F(Finish, SummaryWrittenInPlaceWhenNoTemporaryFileCanBeMade) {
  write_scenario("PROGRESS_MSECS 10000\n");
  run_.write("summary.top.tmp/x", "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(rewrite(summary_line(16, kStart) + "\n"),
            expected_head(kStart) + "1700000000|1700000000|3725|10000|99|0:0|0|All:1");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  std::filesystem::remove_all(run_.path("summary.top.tmp"));
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
      testing::ExitedWithCode(0),
      "Failed to write file - .*summary.top.tmp, error - File too large");
  EXPECT_EQ(run_.read("summary.top"), good);
  EXPECT_FALSE(run_.exists("summary.top.tmp"));
}

TEST_F(Finish, PidFileAddedToAnExistingDirectoryAndNeverReplaced) {
  auto finish = [] {
    EXPECT_EXIT(
        {
          if (freopen("/dev/null", "w", stdout) == nullptr) exit(2);
          total_sample_stored = 1; /* a migration that stored something */
          tr_migrate_exit();
        },
        testing::ExitedWithCode(0), "");
  };
  std::filesystem::create_directories(run_.path(".pidfiles"));
  finish();
  EXPECT_EQ(run_.read(".pidfiles/.OrvMain.pid"), "54321");
  run_.write(".pidfiles/.OrvMain.pid", "4242\n");
  finish();
  EXPECT_EQ(run_.read(".pidfiles/.OrvMain.pid"), "4242\n");
}

/* ---- process level ---- */

/* A one-partition run: its output, import command, summary, pid file and last
 * store call. (What a partition switch reports is in reconcile_test.cpp.) */
TEST(FinishProcess, RunEndsWithTheDesignedFilesLinesAndStatus) {
  TempRun run(1);
  run.partition("20230101000000");
  run.write("20230101000000/testrun.gdf",
            vzu_test::info_line(56, 10000) + vzu_test::group_line("Srv", 2000, "vector", 1, 1) +
                vzu_test::graph_line("Load", 1, "vector", "sample", 48) + "s1 48\n");
  vzu_test::PacketWriter packets(56);
  for (int seq = 0; seq < 3; seq++) packets.packet(0, seq, 1.7e12 + seq * 10000.0).f64(48, seq);
  packets.write(run.path("20230101000000/rtgMessage.dat"));
  run.write("summary.top", summary_line(16, kStart) + "\n");
  run.write("sorted_scenario.conf", "PROGRESS_MSECS 10000\nTW_GENERATOR 1\n");
  /* A stand-in import command that notes its argument. */
  std::string bin = run.wdir() + "/bin";
  run.write(bin + "/twu_import", "#!/bin/sh\necho \"import $1\" > '" + bin + "/imported'\n");
  chmod((bin + "/twu_import").c_str(), 0755);

  auto r = vzu_test::run_tool(run, {"-t", "1"},
                              {{"TZ", "UTC"}, {"PATH", bin + ":" + getenv("PATH")}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(run.read(bin + "/imported"), "import 1\n");

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
  EXPECT_EQ(run.read("summary.top"), expected_head(kStart, 1, duration) + "1700000000|1700000000|" +
                                         std::to_string(end - kStart) + "|10000|99|1:1|0|All:1");
  EXPECT_EQ(run.read(".pidfiles/.OrvMain.pid"), "54321");
  struct stat st;
  ASSERT_EQ(stat(run.path(".pidfiles").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

/* A complete run that gives the store no value still finishes as designed:
 * groups registered, the closing line, the store's migration closed, status
 * 0, and one note (not an error) on standard error. */
TEST(FinishProcess, CompleteRunThatStoresNothingEndsWithStatusZero) {
  const std::string srv = vzu_test::info_line(56, 10000);
  const std::string graph = vzu_test::graph_line("Load", 1, "vector", "sample", 48);
  struct {
    const char *name;
    std::string gdf;
    int packets;
  } cases[] = {
      {"groups that list no vector",
       srv + vzu_test::group_line("Srv", 2000, "vector", 1, 0) + graph, 3},
      {"only packet 0", srv + vzu_test::group_line("Srv", 2000, "vector", 1, 1) + graph + "s1 48\n",
       1},
      {"generator groups only",
       srv + vzu_test::group_line("Gen", 2000, "vector", 1, 1, "Metric", "Controller>Generator") +
           graph + "g1 48\n",
       3},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    TempRun run(1);
    run.partition("20230101000000");
    run.write("20230101000000/testrun.gdf", c.gdf);
    vzu_test::PacketWriter packets(56);
    for (int seq = 0; seq < c.packets; seq++)
      packets.packet(0, seq, 1.7e12 + seq * 10000.0).f64(48, seq);
    packets.write(run.path("20230101000000/rtgMessage.dat"));
    auto r = vzu_test::run_tool(run, {"-t", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto lines = vzu_test::split_lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("Migrttion is done test start time [1700000000]", 0), 0u) << r.out;
    EXPECT_FALSE(run.record("tsdb_register_gdf").empty());
    EXPECT_TRUE(run.record("tsdb_insert_bulk").empty());
    ASSERT_FALSE(run.record().empty());
    EXPECT_EQ(run.record().back().rfind("tsdb_exit_migration end=", 0), 0u);
    EXPECT_NE(r.err.find("Note: the migration of TR1 stored no value: "), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("| Migration of TR1"), std::string::npos) << r.err;
  }
}

}  // namespace
