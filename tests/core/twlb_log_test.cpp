// Library debug log: the level and module filter, the record layout and its
// 64,000-byte cut, open failures, headers, and rollover to "<log>.prev" or
// "<log>.HH.MM".
#include "twlb_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core_test_util.h"

namespace {

namespace fs = std::filesystem;
using core_test::LogScope;
using vzu_test::read_file;

class LibraryLog : public ::testing::Test {
 protected:
  vzu_test::TempRun tmp_;
  std::string path_ = tmp_.path("x.log");
  int fd_ = -1;
};

void log_line(unsigned int level, unsigned long long module, const char *msg) {
  twlb_debug_log_ex(static_cast<int>(level), module, "file.cpp", 42, "fn", "%s", msg);
}

TEST_F(LibraryLog, NothingIsWrittenUnlessLevelAndModuleBothMatch) {
  twlb_util_set_log_filename(path_.c_str(), nullptr);
  log_line(TWLB_LOG_CRITICAL, ALL, "default settings");
  EXPECT_FALSE(fs::exists(path_));
  {
    LogScope on(path_, TWLB_LOG_CRITICAL, MISC);
    log_line(TWLB_LOG_MAJOR, MISC, "major at level 1");
    log_line(TWLB_LOG_CRITICAL, MEMORY, "memory module off");
    EXPECT_FALSE(fs::exists(path_));
  }
  LogScope on(path_, TWLB_LOG_CRITICAL | TWLB_LOG_MAJOR, MISC);
  log_line(TWLB_LOG_MAJOR, MISC, "major at level 2");
  EXPECT_TRUE(
      core_test::has_shape(read_file(path_), "\n99/99/99 99:99:99|file.cpp|42|fn|major at level 2"))
      << read_file(path_);
}

TEST_F(LibraryLog, LongMessageIsCutTo64000BytesEndingInZero) {
  LogScope on(path_, TWLB_LOG_MINOR, API);
  log_line(TWLB_LOG_MINOR, API, std::string(70000, 'm').c_str());
  std::string written = read_file(path_);
  ASSERT_EQ(written.size(), 64000u);
  EXPECT_EQ(written.back(), '\0');
  EXPECT_EQ(written[written.size() - 2], 'm');
}

TEST_F(LibraryLog, OversizedLogRollsOverToPrevReplacingAnOlderOne) {
  std::ofstream(path_ + ".prev") << "older";
  LogScope on(path_, TWLB_LOG_CRITICAL, ALL);
  log_line(TWLB_LOG_CRITICAL, MISC, "first");
  ASSERT_EQ(truncate(path_.c_str(), 100000001), 0);
  log_line(TWLB_LOG_CRITICAL, MISC, "second");
  EXPECT_EQ(fs::file_size(path_ + ".prev"), 100000001u);
  std::string fresh = read_file(path_);
  EXPECT_EQ(fresh.find("first"), std::string::npos);
  EXPECT_NE(fresh.find("|second"), std::string::npos);
}

TEST_F(LibraryLog, RolloverRenamesOnlyWhenThePathStillNamesTheOpenFile) {
  ASSERT_EQ(twlb_open_file_with_header(&fd_, path_.c_str(), "HDR\n"), 1);
  ASSERT_EQ(write(fd_, "0123456789", 10), 10);
  fs::rename(path_, tmp_.path("moved.log"));  // another process rolled it
  std::ofstream(path_) << "new";
  EXPECT_EQ(twlb_check_rollover_file(&fd_, path_.c_str(), 5, 1), 0);
  EXPECT_EQ(fd_, -1);
  EXPECT_FALSE(fs::exists(path_ + ".prev"));
  EXPECT_EQ(read_file(path_), "new");
}

TEST_F(LibraryLog, RolloverToHourMinuteSuffixWhenNotPrev) {
  ASSERT_EQ(twlb_open_file_with_header(&fd_, path_.c_str(), "0123456789"), 1);
  EXPECT_EQ(twlb_open_file_with_header(&fd_, path_.c_str(), "again"), 0);
  twlb_check_rollover_file(&fd_, path_.c_str(), 5, 0);
  EXPECT_EQ(fd_, -1);
  int matches = 0;
  for (const auto &e : fs::directory_iterator(tmp_.run_dir()))
    matches += core_test::has_shape(e.path().filename().string(), "x.log.99.99");
  EXPECT_EQ(matches, 1);
}

}  // namespace
