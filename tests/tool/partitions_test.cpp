/*
 * partitions_test.cpp - which directory entries are partitions, their
 * numeric order, range selection from -s / -e, the partition table rows, and
 * the refusal of a run without partitions.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

using vzu_test::TempRun;

namespace {

class Partitions : public testing::Test {
 protected:
  void SetUp() override {
    g_testrun = g_dest_testrun = 1;
    sd_log_tracing_level = 0;
    total_partition_count = max_partition_count = 0;
  }
  void TearDown() override { free(table_); }

  /* Builds the table for bounds (1 = not given); returns the partition names
   * of its rows. */
  std::vector<std::string> select(long start, long end) {
    free(table_);
    table_ = nullptr;
    count_ = 0;
    total_partition_count = max_partition_count = 0;
    std::string dir = run_.run_dir();
    EXPECT_EQ(0, make_partition_list(start, end, dir.data(), &count_, &table_));
    std::vector<std::string> names;
    for (int i = 0; i < count_; i++) {
      std::string idx = table_[i].partition_idx;
      EXPECT_EQ(dir + "/", idx.substr(0, dir.size() + 1));
      names.push_back(idx.substr(dir.size() + 1));
    }
    return names;
  }

  TempRun run_{1};
  partition_struct *table_ = nullptr;
  int count_ = 0;
};

using Names = std::vector<std::string>;

TEST_F(Partitions, OnlyFourteenDigitDirectoriesFromYear20InNumericOrder) {
  for (auto n : {"20240101010000", "20231231230000", "20230601000000", "20230101000000x",
                 "2023010100000", "19991231235959", "2023010100000a"})
    run_.partition(n);
  run_.write("20230102000000", "a regular file\n");
  EXPECT_EQ(Names({"20230601000000", "20231231230000", "20240101010000"}), select(1, 1));
  EXPECT_EQ(0, g_start_partition_index);
  EXPECT_EQ(2, g_end_partition_index);
  EXPECT_EQ(3, total_partition_count);
  EXPECT_EQ(0, table_[0].testrun_gdf_count);
  EXPECT_EQ(0, table_[0].rtg_count);
  EXPECT_EQ(nullptr, table_[0].gdf_struct_arr);
}

TEST_F(Partitions, RangeSelection) {
  for (auto n : {"20230101000000", "20230102000000", "20230103000000", "20230104000000"})
    run_.partition(n);
  EXPECT_EQ(Names({"20230102000000", "20230103000000"}), select(20230102000000, 20230103000000));
  EXPECT_EQ(Names({"20230101000000", "20230102000000"}), select(1, 20230102000000))
      << "only -e: from the first partition";
  EXPECT_EQ(Names({"20230103000000", "20230104000000"}), select(20230103000000, 1))
      << "only -s: to the last partition";
  EXPECT_EQ(Names({"20230103000000"}), select(20230103000000, 20230103000000));
  /* a bound naming no listed partition (a 13-digit folder passes -s) falls back */
  run_.partition("2023010200000");
  EXPECT_EQ(4u, select(2023010200000, 1).size());
  EXPECT_EQ(0, g_start_partition_index);
}

TEST_F(Partitions, RunWithoutPartitionsIsRefused) {
  run_.partition("not_a_partition");
  EXPECT_EXIT(select(1, 1), testing::ExitedWithCode(255),
              "^Error: End partition is not less than start partition\n$");
  std::string missing = run_.run_dir() + "/absent";
  int n = 5;
  EXPECT_EQ(nullptr, get_tr_partiton_list(1, &n, missing.data()));
  EXPECT_EQ(-1, n);
}

}  // namespace
