// Allocation map: inactive by default, records tracked blocks with their
// call site, removal, dump contents, growth past the first 10240 entries,
// and restart after free.
#include "twlb_mem_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core_test_util.h"

namespace {

class MemMapTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(twlb_mem_map_init(), 0); }
  void TearDown() override { twlb_mem_map_free(); }
  std::string dump() {
    EXPECT_EQ(twlb_mem_map_dump(tmp_.path("map.txt").c_str()), 0);
    return vzu_test::read_file(tmp_.path("map.txt"));
  }
  int add(void *p, const char *msg = "m") { return twlb_mem_map_add(p, 1, msg, "f.c", 1, "fn"); }
  vzu_test::TempRun tmp_;
};

const std::string kHeader =
    "AbsoluteTimeStamp|Address|Size|FileName|LineNo|FunctionName|Message!!\n";

TEST(MemMapInactive, RefusesEverythingAndTrackedOpsStillWork) {
  int x = 0;
  EXPECT_EQ(twlb_mem_map_add(&x, 4, "m", "f", 1, "fn"), -1);
  EXPECT_EQ(twlb_mem_map_remove(&x), -1);
  EXPECT_EQ(twlb_mem_map_dump("/tmp/never"), -1);
  EXPECT_EQ(twlb_mem_map_free(), -1);
  char *p = nullptr;
  TWLB_MALLOC(p, 8, "inactive");
  EXPECT_NE(p, nullptr);
  TWLB_FREE(p, "inactive", -1);
}

TEST_F(MemMapTest, RecordsTrackedBlockWithItsCallSiteAndRestartsAfterFree) {
  EXPECT_EQ(twlb_mem_map_init(), -1);  // already active
  char *p = nullptr;
  int line = __LINE__ + 1;
  TWLB_MALLOC(p, 96, "NormalTableInit");
  std::string text = dump();
  ASSERT_EQ(text.rfind(kHeader, 0), 0u);
  char addr[64];
  snprintf(addr, sizeof addr, "%p", static_cast<void *>(p));
  std::string tail = std::string("|") + addr + "|96|" + __FILE__ + "|" + std::to_string(line) +
                     "|TestBody|NormalTableInit\n";
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  TWLB_FREE(p, "NormalTableInit", -1);
  EXPECT_EQ(dump(), kHeader);
  ASSERT_EQ(twlb_mem_map_free(), 0);
  EXPECT_EQ(mem_map_entry_max, 0);
  ASSERT_EQ(twlb_mem_map_init(), 0);
  EXPECT_EQ(add(&line), 0);
}

TEST_F(MemMapTest, ReallocMovesTheEntryAndOverwriteKeepsOneLine) {
  char *p = nullptr;
  TWLB_MALLOC(p, 10, "first");
  TWLB_REALLOC(p, 5000, 10, "moved", -1);
  std::string text = dump();
  EXPECT_EQ(text.find("first"), std::string::npos);
  EXPECT_NE(text.find("|5000|"), std::string::npos);
  EXPECT_EQ(add(p, "again"), 0);
  text = dump();
  EXPECT_EQ(text.find("moved"), std::string::npos);
  EXPECT_NE(text.find("|1|f.c|1|fn|again\n"), std::string::npos);
  TWLB_FREE(p, "moved", -1);
}

TEST_F(MemMapTest, RemoveTwiceAndUnwritableDump) {
  int x = 0;
  EXPECT_EQ(add(&x), 0);
  EXPECT_EQ(twlb_mem_map_remove(&x), 0);
  EXPECT_EQ(twlb_mem_map_remove(&x), -1);
  EXPECT_EQ(twlb_mem_map_dump(tmp_.path("no/such/dir").c_str()), -1);
}

TEST_F(MemMapTest, DistinctAddressPastCapacityGrowsByTen) {
  char *base = reinterpret_cast<char *>(0x100000);
  for (int i = 0; i < 10240; i++) ASSERT_EQ(add(base + 16 * i), 0);
  EXPECT_EQ(mem_map_entry_max, 10240);
  ASSERT_EQ(add(base + 16 * 10240), 0);
  EXPECT_EQ(mem_map_entry_max, 10250);
  EXPECT_EQ(mem_map_max_norm_id, 10241);  // the array's own new address
  std::string text = dump();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 10241);  // nested entry cleared
}

}  // namespace
