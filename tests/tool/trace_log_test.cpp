/*
 * trace_log_test.cpp - the trace log (record layout, the
 * 64,000-byte cut, lazy creation, open failure), the sample dump file
 * with its rollover, and the standard streams they must never take.
 *
 * The trace log opens once per process, so the in-process tests share one
 * run directory and look only at the bytes each test appends.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

using vzu_test::run_tool;
using vzu_test::TempRun;

namespace {

/* `text` with every digit replaced by '9', to compare time stamps by shape. */
std::string shape(std::string text) {
  for (char &c : text)
    if (c >= '0' && c <= '9') c = '9';
  return text;
}

class TraceLog : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    run_ = std::make_unique<TempRun>(2);
    setenv("TW_WDIR", run_->wdir().c_str(), 1);
    snprintf(tw_wdir, sizeof tw_wdir, "%s", run_->wdir().c_str());
    g_testrun = g_dest_testrun = 2;
  }
  static void TearDownTestSuite() { run_.reset(); }

  void SetUp() override { mark_ = log().size(); }
  void set_level(int level) {
    g_debug_level = level;
    sd_log_tracing_level = 0;
    check_and_set_debug_level();
  }
  static std::string log() {
    return run_->exists("debug_zevi_zazozoz.log") ? run_->read("debug_zevi_zazozoz.log") : "";
  }
  std::string appended() const { return log().substr(mark_); }

  static std::unique_ptr<TempRun> run_;
  size_t mark_ = 0;
};
std::unique_ptr<TempRun> TraceLog::run_;

TEST_F(TraceLog, RecordCarriesStampLineFileAndFunction) {
  set_level(1);
  int line = __LINE__ + 1;
  TRACE1("hello %d\n", 5);
  std::string got = appended();
  std::string tail = "|" + std::to_string(line) + "|trace_log_test.cpp|TestBody|hello 5\n";
  const std::string stamp = "\n99/99/99 99:99:99";
  ASSERT_EQ(stamp.size() + tail.size(), got.size()) << got;
  EXPECT_EQ(stamp, shape(got.substr(0, stamp.size()))) << got;
  EXPECT_EQ(tail, got.substr(stamp.size())) << got;
}

TEST_F(TraceLog, LongMessageIsCutTo64000BytesEndingInZero) {
  set_level(1);
  std::string big(70000, 'x');
  TRACE1("%s", big.c_str());
  std::string got = appended();
  ASSERT_EQ(64000u, got.size());
  EXPECT_EQ('\n', got.front());
  EXPECT_EQ('\0', got.back());
  EXPECT_EQ('x', got[got.size() - 2]);
}

/* Without -D no record passes and no log is made (with -D 1 the loop's tests
 * read it); a log that cannot be opened ends the run. */
TEST(TraceLogProcess, CreatedOnlyWhenARecordPassesAndOpenFailureIsFatal) {
  TempRun run(1);
  run.partition("20230101000000");
  auto r = run_tool(run, {"-t", "1"});
  EXPECT_EQ(255, r.status) << r.err; /* an empty partition stores nothing */
  EXPECT_NE(std::string::npos, r.err.find("Migration of TR1 stored no value")) << r.err;
  EXPECT_TRUE(run.record("tsdb_exit_migration").empty()) << "the store must not commit";
  EXPECT_FALSE(run.exists("debug_zevi_zazozoz.log"));

  std::filesystem::create_directories(run.path("debug_zevi_zazozoz.log"));
  r = run_tool(run, {"-t", "1", "-D", "1"});
  EXPECT_EQ(255, r.status);
  std::string tail = " | Error in opening log file " + run.path("debug_zevi_zazozoz.log") +
                     ". Err = Is a directory\n";
  EXPECT_NE(std::string::npos, r.err.find(tail)) << r.err;
}

/* A caller that closed standard output and error must not have the trace
 * log or the dump file opened under their numbers: console messages would
 * be written into them. */
TEST(TraceLogProcess, ClosedStandardStreamsAreNeverTheToolsFiles) {
  TempRun run(5);
  std::string file = run.path("opened_after");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    keep_standard_streams_open();
    int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0644);
    bool streams_open = fcntl(STDOUT_FILENO, F_GETFD) != -1 && fcntl(STDERR_FILENO, F_GETFD) != -1;
    _exit(fd > STDERR_FILENO && streams_open ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

const char kDumpHeader[] =
    "#Group Name|Vector_Name|RTG Index|Data|Packet Size|RTG FILE Size|Start Index|"
    "Total Elements| Element Size\n";

TEST(DumpFile, RollsOverPastTheLimit) {
  TempRun run(4);
  std::string wdir = run.wdir();
  g_dest_testrun = 4;
  rtg_file_count = 1;
  open_rtg_dump_file(wdir.data());
  EXPECT_EQ(run.path("rtg_data.txt"), g_rtg_dump_path);
  EXPECT_EQ(kDumpHeader, run.read("rtg_data.txt"));

  g_file_size = 1 << 20; /* header alone stays below a 1 MiB limit */
  check_and_open_rtg_data(wdir.data());
  EXPECT_FALSE(run.exists("rtg_data.txt.1"));

  g_file_size = 0; /* no -w: every check rolls over */
  vzu_test::write_file(run.path("rtg_data.txt"), std::string(kDumpHeader) + "g1|v|0|1\n");
  check_and_open_rtg_data(wdir.data());
  check_and_open_rtg_data(wdir.data());
  EXPECT_EQ(std::string(kDumpHeader) + "g1|v|0|1\n", run.read("rtg_data.txt.1"));
  EXPECT_EQ(kDumpHeader, run.read("rtg_data.txt.2"));
  EXPECT_EQ(kDumpHeader, run.read("rtg_data.txt"));
  EXPECT_EQ(3, rtg_file_count);
  EXPECT_GT(g_rtg_data_fd, 0);
}

}  // namespace
