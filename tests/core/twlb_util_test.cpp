// Text and time utilities: splitter rules, tokenizer, bounded line reader,
// time formats, error texts, directory creation and file copy.
#include "twlb_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core_test_util.h"

namespace {

std::vector<std::string> split(int (*fn)(char *, char **, char *, int),
                               std::string line, const char *sep, int max) {
  std::vector<char> buf(line.begin(), line.end());
  buf.push_back('\0');
  char *fields[32];
  int n = fn(buf.data(), fields, const_cast<char *>(sep), max);
  return std::vector<std::string>(fields, fields + n);
}

using V = std::vector<std::string>;

TEST(GetTokens, DropsEmptyFieldsAndCapsAtMax) {
  EXPECT_EQ(split(get_tokens, "Group|a||b|", "|", 20), (V{"Group", "a", "b"}));
  EXPECT_EQ(split(get_tokens, "a b c", " ", 2), (V{"a", "b"}));
  EXPECT_EQ(split(get_tokens, "||a,b|", "|,", 20), (V{"a", "b"}));
  EXPECT_EQ(split(get_tokens, "a\n", "|", 20), (V{"a\n"}));
  char *fields[2];
  EXPECT_EQ(get_tokens(nullptr, fields, const_cast<char *>("|"), 2), 0);
}

TEST(GetTokensEx2, KeepsEmptyFieldsAndUsesWholeSeparator) {
  EXPECT_EQ(split(get_tokens_ex2, "1|2|", "|", 20), (V{"1", "2", ""}));
  EXPECT_EQ(split(get_tokens_ex2, "10:20:30", ":", 3), (V{"10", "20", "30"}));
  EXPECT_EQ(split(get_tokens_ex2, "a||b", "|", 20), (V{"a", "", "b"}));
  EXPECT_EQ(split(get_tokens_ex2, "a||b", "||", 20), (V{"a", "b"}));
  EXPECT_EQ(split(get_tokens_ex2, "", "|", 20), (V{""}));
  EXPECT_EQ(split(get_tokens_ex2, "a|b|c|d", "|", 2), (V{"a", "b"}));
}

TEST(TwStrtok, ReturnsTrailingEmptyFieldOnceThenNull) {
  char s[] = "x--y--";
  char sep[] = "--";
  EXPECT_STREQ(tw_strtok(s, sep), "x");
  EXPECT_STREQ(tw_strtok(nullptr, sep), "y");
  EXPECT_STREQ(tw_strtok(nullptr, sep), "");
  EXPECT_EQ(tw_strtok(nullptr, sep), nullptr);
  EXPECT_EQ(tw_strtok(nullptr, sep), nullptr);
}

class FgetsTest : public ::testing::Test {
 protected:
  FILE *open_with(const char *text) {
    fp_ = fmemopen(const_cast<char *>(text), strlen(text), "r");
    return fp_;
  }
  void TearDown() override {
    if (fp_) fclose(fp_);
  }
  FILE *fp_ = nullptr;
};

TEST_F(FgetsTest, LongLineContinuesWithoutFlag) {
  FILE *fp = open_with("abcdefg\nnext\n");
  char buf[5];
  EXPECT_STREQ(twlb_fgets(buf, 5, fp, 0), "abcd");
  EXPECT_STREQ(twlb_fgets(buf, 5, fp, 0), "efg\n");
}

TEST_F(FgetsTest, LongLineRestDroppedWithFlag) {
  FILE *fp = open_with("abcdefg\nnext\nlast");
  char buf[5];
  EXPECT_STREQ(twlb_fgets(buf, 5, fp, 1), "abcd");
  EXPECT_STREQ(twlb_fgets(buf, 5, fp, 1), "next");
  EXPECT_STREQ(twlb_fgets(buf, 5, fp, 1), "last");
  EXPECT_EQ(twlb_fgets(buf, 5, fp, 1), nullptr);
}

TEST_F(FgetsTest, BadArguments) {
  FILE *fp = open_with("abc");
  char buf[5];
  EXPECT_EQ(twlb_fgets(nullptr, 5, fp, 0), nullptr);
  EXPECT_EQ(twlb_fgets(buf, 0, fp, 0), nullptr);
  EXPECT_EQ(twlb_fgets(buf, 5, nullptr, 0), nullptr);
}

TEST(TimeFormats, BothFormattersGiveMonthDayYearTime) {
  const std::string shape = "99/99/99 99:99:99";
  char buf[18];
  EXPECT_TRUE(core_test::has_shape(twlb_get_cur_date_time(buf, 1), shape));
  EXPECT_TRUE(core_test::has_shape(twlb_get_cur_date_time(buf, 0), shape));
  EXPECT_TRUE(core_test::has_shape(get_cur_date_time(), shape));
  // Signals are all unblocked after a blocking call.
  sigset_t now;
  pthread_sigmask(SIG_SETMASK, nullptr, &now);
  EXPECT_EQ(sigismember(&now, SIGINT), 0);
}

TEST(ErrorTexts, StrerrorAndLibraryErrorBuffer) {
  EXPECT_STREQ(twlb_strerror(ENOENT), "No such file or directory");
  std::string long_text(300, 'e');
  twlb_set_error(long_text.data());
  EXPECT_EQ(strlen(twlb_get_error()), 256u);
  twlb_set_error(const_cast<char *>("Memory pool max limit reached"));
  EXPECT_STREQ(twlb_get_error(), "Memory pool max limit reached");
}

bool is_dir(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(MkdirEx, CreatesParentsAndLastOnlyWithTrailingSlash) {
  core_test::TempDir tmp;
  std::string path = tmp.path("a/b/c");
  EXPECT_EQ(mkdir_ex(path.data()), 1);
  EXPECT_TRUE(is_dir(tmp.path("a/b")));
  EXPECT_FALSE(is_dir(path));
  path += "/";
  EXPECT_EQ(mkdir_ex(path.data()), 1);
  EXPECT_TRUE(is_dir(tmp.path("a/b/c")));
}

TEST(MkdirEx, RefusesOverlongPathAndReportsFailures) {
  std::string huge = "/" + std::string(4100, 'x');
  testing::internal::CaptureStderr();
  EXPECT_EQ(mkdir_ex(huge.data()), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "mkdir_ex() - Length of path (4101) is more than max allowed "
                "(8192)."),
            std::string::npos);
  core_test::TempDir tmp;
  std::string file = tmp.path("f");
  fclose(fopen(file.c_str(), "w"));
  std::string below = file + "/x/y";
  testing::internal::CaptureStderr();
  EXPECT_EQ(mkdir_ex(below.data()), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "Error in creating directory. Path: '" + file + "/x'"),
            std::string::npos);
}

TEST(CopyFile, CopiesMoreThanOneChunk) {
  core_test::TempDir tmp;
  std::string src = tmp.path("src"), dest = tmp.path("dest");
  std::string content;
  for (int i = 0; i < 20000; i++) content += std::to_string(i) + ",";
  std::ofstream(src, std::ios::binary) << content;
  char err[1024] = "";
  EXPECT_EQ(twlb_copy_file(dest.data(), src.data(), err), 0);
  EXPECT_EQ(core_test::read_file(dest), content);
}

TEST(CopyFile, ReportsOpenErrors) {
  core_test::TempDir tmp;
  std::string missing = tmp.path("missing"), dest = tmp.path("no/dest");
  char err[1024];
  EXPECT_EQ(twlb_copy_file(dest.data(), missing.data(), err), -1);
  EXPECT_EQ(std::string(err),
            "twlb_copy_file - Error in opening source file (file = " + missing +
                "). Error: No such file or directory");
  std::string src = tmp.path("src");
  fclose(fopen(src.c_str(), "w"));
  EXPECT_EQ(twlb_copy_file(dest.data(), src.data(), err), -1);
  EXPECT_EQ(std::string(err),
            "twlb_copy_file - Error in opening destination file (file = " +
                dest + "). Error: No such file or directory");
}

}  // namespace
