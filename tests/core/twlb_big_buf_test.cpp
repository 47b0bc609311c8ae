// Big buffer: append offsets and zero bytes, growth exactly at the boundary,
// null handling, and the extended append from memory and from a file.
#include "twlb_big_buf.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "core_test_util.h"

namespace {

/* Whether the page holding p is in memory. */
bool resident(const void *p) {
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  unsigned char in = 0;
  void *start = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(p) / page * page);
  return mincore(start, 1, &in) == 0 && (in & 1);
}

class BigBufTest : public ::testing::Test {
 protected:
  void TearDown() override { twlb_bigbuf_free(&buf_); }
  int append(const char *text, int len) {
    return twlb_bigbuf_copy_into_bigbuf(&buf_, const_cast<char *>(text), len);
  }
  bigbuf_t buf_{};
};

TEST_F(BigBufTest, AppendsReturnOffsetsAndTerminate) {
  ASSERT_EQ(twlb_bigbuf_init(&buf_), 0);
  EXPECT_EQ(append("abc", 0), 0);
  EXPECT_EQ(buf_.offset, 4);
  EXPECT_EQ(memcmp(buf_.buffer, "abc", 4), 0);
  EXPECT_EQ(append("xyz", 2), 4);
  EXPECT_STREQ(twlb_bigbuf_get_value(&buf_, 4), "xy");
  EXPECT_EQ(append(nullptr, 3), -1);
  EXPECT_EQ(buf_.offset, 7);
  twlb_bigbuf_free(&buf_);
  twlb_bigbuf_free(&buf_);  // repeatable
  EXPECT_EQ(buf_.buffer, nullptr);
  EXPECT_EQ(buf_.bufsize, 0);
  EXPECT_EQ(twlb_bigbuf_init_ex(&buf_, 0), -1);
  EXPECT_EQ(twlb_bigbuf_init_ex(&buf_, 100), 0);
  EXPECT_EQ(twlb_bigbuf_chk_avail_space(&buf_, 99), 1);
  EXPECT_EQ(twlb_bigbuf_chk_avail_space(&buf_, 100), 0);
}

TEST_F(BigBufTest, GrowsOneStepExactlyAtTheBoundaryAndFromAnEmptyHandle) {
  ASSERT_EQ(twlb_bigbuf_init(&buf_), 0);
  std::string big(1048574, 'b');
  EXPECT_EQ(append(big.data(), 1048574), 0);
  EXPECT_EQ(buf_.offset, 1048575);
  EXPECT_EQ(buf_.bufsize, 1048576);
  EXPECT_EQ(append("", 0), 1048575);
  EXPECT_EQ(buf_.bufsize, 1048576 + 10240);
  EXPECT_EQ(buf_.buffer[1048576 + 10239], '\0');  // added bytes are zeroed
  twlb_bigbuf_free(&buf_);
  std::string text(25000, 't');  // several steps at once
  EXPECT_EQ(append(text.data(), 0), 0);
  EXPECT_EQ(buf_.bufsize, 3 * 10240);
  EXPECT_EQ(std::string(twlb_bigbuf_get_value(&buf_, 0)), text);
}

/* A new arena is all zero bytes, whatever the last one freed held: bytes
 * written past its offset, or before its offset was set back to 0. */
TEST_F(BigBufTest, ANewArenaIsZeroWhateverTheFreedOneHeld) {
  for (int round = 0; round < 2; round++) {
    ASSERT_EQ(twlb_bigbuf_init(&buf_), 0);
    EXPECT_EQ(append("left over text", 0), 0);
    std::strcpy(twlb_bigbuf_get_value(&buf_, 500000), "scribble");
    if (round == 1) buf_.offset = 0;  // emptied in place, as a table's reset does
    twlb_bigbuf_free(&buf_);
    bigbuf_t next{};
    ASSERT_EQ(twlb_bigbuf_init(&next), 0);
    // Cleared by giving the page back, not by writing it: an arena costs
    // memory only for the pages its users write (asked before reading it).
    EXPECT_FALSE(resident(next.buffer + 500000)) << "round " << round;
    EXPECT_EQ(next.buffer[0], '\0') << "round " << round;
    EXPECT_EQ(next.buffer[500000], '\0') << "round " << round;
    twlb_bigbuf_free(&next);
  }
  // A negative length copies nothing.
  ASSERT_EQ(twlb_bigbuf_init(&buf_), 0);
  EXPECT_EQ(append("abc", -1), -1);
  char err[512] = "";
  EXPECT_EQ(twlb_bigbuf_copy_into_bigbuf_ex(&buf_, const_cast<char *>("abc"), -1,
                                            BIGBUF_TYPE_BUFFER, err),
            -1);
  EXPECT_STREQ(err, "Length -1 is negative");
  EXPECT_EQ(buf_.offset, 0);
}

TEST_F(BigBufTest, ExtendedAppendFromMemoryAndFile) {
  vzu_test::TempRun tmp;
  std::string path = tmp.path("data"), blank = tmp.path("blank");
  std::ofstream(path) << "file-content";
  std::ofstream(blank) << "";
  char err[1024] = "";
  auto append_ex = [&](const char *src, int type) {
    return twlb_bigbuf_copy_into_bigbuf_ex(&buf_, const_cast<char *>(src), 0, type, err);
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(append_ex("mem", BIGBUF_TYPE_BUFFER), 0);
  EXPECT_EQ(append_ex(path.c_str(), BIGBUF_TYPE_FILE), 4);
  EXPECT_EQ(append_ex(path.c_str(), 2), -1);
  EXPECT_STREQ(err, "Flag type can only be BIGBUF_TYPE_FILE or BIGBUF_TYPE_BUFFER");
  EXPECT_EQ(append_ex(blank.c_str(), BIGBUF_TYPE_FILE), -1);
  EXPECT_EQ(std::string(err).rfind("File '" + blank + "' is blank err(", 0), 0u);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_STREQ(twlb_bigbuf_get_value(&buf_, 4), "file-content");
  EXPECT_EQ(buf_.offset, 17);
  EXPECT_NE(out.find("LBBB: Read file-size = 12\n"), std::string::npos);
  EXPECT_NE(out.find("DONE!!!, offset = 17\n"), std::string::npos);
}

}  // namespace
