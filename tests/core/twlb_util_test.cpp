// Text and time utilities: splitter rules, tokenizer, bounded line reader,
// error texts, directory creation and file copy.
#include "twlb_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "core_test_util.h"

namespace {

using V = std::vector<std::string>;
using Splitter = int (*)(char *, char **, char *, int);

TEST(Splitters, GetTokensDropsEmptyFieldsEx2KeepsThemAndUsesTheWholeSeparator) {
  struct Case {
    Splitter fn;
    const char *line, *sep;
    int max;
    V expect;
  };
  const std::vector<Case> cases = {
      {get_tokens, "Group|a||b|", "|", 20, {"Group", "a", "b"}},
      {get_tokens, "a b c", " ", 2, {"a", "b"}},
      {get_tokens, "||a,b|", "|,", 20, {"a", "b"}},  // any character separates
      {get_tokens, "a\n", "|", 20, {"a\n"}},
      {get_tokens_ex2, "1|2|", "|", 20, {"1", "2", ""}},
      {get_tokens_ex2, "10:20:30", ":", 3, {"10", "20", "30"}},
      {get_tokens_ex2, "a||b", "|", 20, {"a", "", "b"}},
      {get_tokens_ex2, "a||b", "||", 20, {"a", "b"}},
      {get_tokens_ex2, "", "|", 20, {""}},
      {get_tokens_ex2, "a|b|c|d", "|", 2, {"a", "b"}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.fn == get_tokens ? "get_tokens " : "ex2 ") << c.line);
    std::string line = c.line;
    char *fields[32];
    int n = c.fn(line.data(), fields, const_cast<char *>(c.sep), c.max);
    EXPECT_EQ(V(fields, fields + n), c.expect);
  }
  char *fields[2];
  EXPECT_EQ(get_tokens(nullptr, fields, const_cast<char *>("|"), 2), 0);
}

TEST(TwStrtok, ReturnsTrailingEmptyFieldOnceThenNull) {
  char s[] = "x--y--", sep[] = "--";
  EXPECT_STREQ(tw_strtok(s, sep), "x");
  EXPECT_STREQ(tw_strtok(nullptr, sep), "y");
  EXPECT_STREQ(tw_strtok(nullptr, sep), "");
  EXPECT_EQ(tw_strtok(nullptr, sep), nullptr);
  EXPECT_EQ(tw_strtok(nullptr, sep), nullptr);
}

TEST(Fgets, LongLineRestContinuesWithoutFlagAndIsDroppedWithIt) {
  struct Case {
    const char *text;
    int drop_rest;
    std::vector<const char *> reads;  // nullptr: end of input
  };
  const std::vector<Case> cases = {{"abcdefg\nnext\n", 0, {"abcd", "efg\n"}},
                                   {"abcdefg\nnext\nlast", 1, {"abcd", "next", "last", nullptr}}};
  char buf[5];
  for (const Case &c : cases) {
    SCOPED_TRACE(c.drop_rest);
    FILE *fp = fmemopen(const_cast<char *>(c.text), strlen(c.text), "r");
    for (const char *want : c.reads) {
      EXPECT_STREQ(twlb_fgets(buf, 5, fp, c.drop_rest), want);
    }
    EXPECT_EQ(twlb_fgets(nullptr, 5, fp, 0), nullptr);
    EXPECT_EQ(twlb_fgets(buf, 0, fp, 0), nullptr);
    fclose(fp);
  }
  EXPECT_EQ(twlb_fgets(buf, 5, nullptr, 0), nullptr);
}

TEST(ErrorText, KeptUpTo256Characters) {
  std::string long_text(300, 'e');
  twlb_set_error(long_text.data());
  EXPECT_EQ(strlen(twlb_get_error()), 256u);
}

bool is_dir(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(MkdirEx, CreatesParentsAndLastOnlyWithTrailingSlash) {
  vzu_test::TempRun tmp;
  std::string path = tmp.path("a/b/c");
  EXPECT_EQ(mkdir_ex(path.data()), 1);
  EXPECT_TRUE(is_dir(tmp.path("a/b")));
  EXPECT_FALSE(is_dir(path));
  path += "/";
  EXPECT_EQ(mkdir_ex(path.data()), 1);
  EXPECT_TRUE(is_dir(tmp.path("a/b/c")));
  // A file where a directory goes is no directory that exists already.
  tmp.write("a/file", "x");
  std::string under = tmp.path("a/file/d");
  testing::internal::CaptureStderr();
  EXPECT_EQ(mkdir_ex(under.data()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error in creating directory. Path: '" +
                                                        tmp.path("a/file") +
                                                        "'. Error = 'Not a directory'\n");
}

TEST(CopyFile, CopiesMoreThanOneChunkAndReportsOpenErrors) {
  vzu_test::TempRun tmp;
  std::string src = tmp.path("src"), dest = tmp.path("dest"), content;
  for (int i = 0; i < 20000; i++) content += std::to_string(i) + ",";
  std::ofstream(src, std::ios::binary) << content;
  char err[1024] = "";
  EXPECT_EQ(twlb_copy_file(dest.data(), src.data(), err), 0);
  EXPECT_EQ(vzu_test::read_file(dest), content);
  std::string missing = tmp.path("missing"), bad_dest = tmp.path("no/dest");
  EXPECT_EQ(twlb_copy_file(bad_dest.data(), missing.data(), err), -1);
  EXPECT_EQ(std::string(err), "twlb_copy_file - Error in opening source file (file = " + missing +
                                  "). Error: No such file or directory");
  EXPECT_EQ(twlb_copy_file(bad_dest.data(), src.data(), err), -1);
  EXPECT_EQ(std::string(err), "twlb_copy_file - Error in opening destination file (file = " +
                                  bad_dest + "). Error: No such file or directory");
}

}  // namespace
