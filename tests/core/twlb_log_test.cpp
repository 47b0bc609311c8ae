// Library debug log: the level and module filter, the record layout and its
// 64,000-byte cut, open failures, and rollover to "<log>.prev".
#include "twlb_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core_test_util.h"

namespace {

namespace fs = std::filesystem;
using core_test::LogScope;
using core_test::read_file;
using core_test::TempDir;

void log_line(unsigned int level, unsigned long long module, const char *msg) {
  twlb_debug_log_ex(static_cast<int>(level), module, "file.cpp", 42, "fn", "%s",
                    msg);
}

TEST(LibraryLog, DefaultSettingsWriteNothing) {
  TempDir tmp;
  twlb_util_set_log_filename(tmp.path("lib.log").c_str(), nullptr);
  log_line(TWLB_LOG_CRITICAL, ALL, "hidden");
  EXPECT_FALSE(fs::exists(tmp.path("lib.log")));
  twlb_util_set_log_filename("", nullptr);
}

TEST(LibraryLog, LevelAndModuleMustBothMatch) {
  TempDir tmp;
  std::string path = tmp.path("lib.log");
  {
    LogScope on(path, TWLB_LOG_CRITICAL, MISC);
    log_line(TWLB_LOG_MAJOR, MISC, "major at level 1");
    log_line(TWLB_LOG_CRITICAL, MEMORY, "memory module off");
    EXPECT_FALSE(fs::exists(path));
  }
  LogScope on(path, TWLB_LOG_CRITICAL | TWLB_LOG_MAJOR, MISC);
  log_line(TWLB_LOG_MAJOR, MISC, "major at level 2");
  EXPECT_TRUE(core_test::has_shape(
      read_file(path), "\n99/99/99 99:99:99|file.cpp|42|fn|major at level 2"))
      << read_file(path);
}

TEST(LibraryLog, LongMessageIsCutTo64000BytesEndingInZero) {
  TempDir tmp;
  std::string path = tmp.path("lib.log");
  LogScope on(path, TWLB_LOG_MINOR, API);
  std::string huge(70000, 'm');
  log_line(TWLB_LOG_MINOR, API, huge.c_str());
  std::string written = read_file(path);
  ASSERT_EQ(written.size(), 64000u);
  EXPECT_EQ(written.back(), '\0');
  EXPECT_EQ(written[written.size() - 2], 'm');
}

TEST(LibraryLog, EmptyPathReportsOpenFailureEveryRecord) {
  LogScope on("", TWLB_LOG_CRITICAL, ALL);
  testing::internal::CaptureStderr();
  log_line(TWLB_LOG_CRITICAL, MISC, "lost");
  log_line(TWLB_LOG_CRITICAL, MISC, "lost");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to open(). Error = No such file or directory"
            "Failed to open(). Error = No such file or directory");
}

TEST(LibraryLog, OversizedLogRollsOverToPrevReplacingAnOlderOne) {
  TempDir tmp;
  std::string path = tmp.path("lib.log");
  std::ofstream(path + ".prev") << "older";
  LogScope on(path, TWLB_LOG_CRITICAL, ALL);
  log_line(TWLB_LOG_CRITICAL, MISC, "first");
  ASSERT_EQ(truncate(path.c_str(), 100000001), 0);
  log_line(TWLB_LOG_CRITICAL, MISC, "second");
  EXPECT_EQ(fs::file_size(path + ".prev"), 100000001u);
  std::string fresh = read_file(path);
  EXPECT_EQ(fresh.find("first"), std::string::npos);
  EXPECT_NE(fresh.find("|second"), std::string::npos);
}

TEST(Rollover, RenamesOnlyWhenThePathStillNamesTheOpenFile) {
  TempDir tmp;
  std::string path = tmp.path("x.log");
  int fd = -1;
  ASSERT_EQ(twlb_open_file_with_header(&fd, path.c_str(), "HDR\n"), 1);
  ASSERT_EQ(write(fd, "0123456789", 10), 10);
  fs::rename(path, tmp.path("moved.log"));  // another process rolled it
  std::ofstream(path) << "new";
  EXPECT_EQ(twlb_check_rollover_file(&fd, path.c_str(), 5, 1), 0);
  EXPECT_EQ(fd, -1);
  EXPECT_FALSE(fs::exists(path + ".prev"));
  EXPECT_EQ(read_file(path), "new");
}

TEST(Rollover, HourMinuteSuffixWhenNotPrev) {
  TempDir tmp;
  std::string path = tmp.path("x.log");
  int fd = -1;
  ASSERT_EQ(twlb_open_file_with_header(&fd, path.c_str(), "0123456789"), 1);
  EXPECT_EQ(twlb_open_file_with_header(&fd, path.c_str(), "again"), 0);
  twlb_check_rollover_file(&fd, path.c_str(), 5, 0);
  EXPECT_EQ(fd, -1);
  const std::string rolled = "x.log.99.99";
  int matches = 0;
  for (const auto &e : fs::directory_iterator(tmp.path()))
    matches += core_test::has_shape(e.path().filename().string(), rolled);
  EXPECT_EQ(matches, 1);
}

TEST(OpenFileWithHeader, ExistingFileGetsNoHeader) {
  TempDir tmp;
  std::string path = tmp.path("x.log");
  std::ofstream(path) << "kept";
  int fd = -1;
  EXPECT_EQ(twlb_open_file_with_header(&fd, path.c_str(), "HDR"), 0);
  EXPECT_GT(fd, 0);
  close(fd);
  EXPECT_EQ(read_file(path), "kept");
  fd = -1;
  EXPECT_EQ(twlb_open_file_with_header(&fd, tmp.path("no/x").c_str(), "H"), -1);
}

}  // namespace
