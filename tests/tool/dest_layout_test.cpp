/*
 * dest_layout_test.cpp - the destination run directory, and the partition
 * switch: which groups and vectors are reported and marked against the new
 * partition's first definition file, and the new partition directory.
 * The group table is built by hand, as the reader would have left it.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

using vzu_test::TempRun;

namespace {

constexpr int kMaxGroups = 4;
constexpr int kMaxVectors = 4;

class PartitionSwitch : public ::testing::Test {
 protected:
  void SetUp() override {
    snprintf(tw_wdir, sizeof tw_wdir, "%s", run_.wdir().c_str());
    g_dest_testrun = run_.testrun();
    sd_log_tracing_level = 0;
    debug_on = 0;
    twlb_init_norm_id_table_ex(&g_group_hash, GROUP_HASH_SIZE);
    memset(groups_, 0, sizeof groups_);
    memset(records_, 0, sizeof records_);
    memset(rows_, 0, sizeof rows_);
    tsdb_info = groups_;
    total_tsdb_group_entries = 0;
    max_tsdb_group_entries = kMaxGroups;
    g_partition_idx = 20240101000000LL;
    g_prev_partition_idx = -1;
  }
  void TearDown() override {
    twlb_obj_hash_destroy(&g_group_hash);
    tsdb_info = nullptr;
    total_tsdb_group_entries = 0;
    max_tsdb_group_entries = 0;
  }

  /* Adds a group with vectors {stored name, rtg_idx}; returns its index. */
  int add_group(const char *name, int rpt_grp_id,
                std::vector<std::pair<const char *, long>> vectors) {
    int g = total_tsdb_group_entries++;
    snprintf(records_[g].group_name, sizeof records_[g].group_name, "%s", name);
    records_[g].rpt_grp_id = rpt_grp_id;
    groups_[g].tsdb_group_data_ptr = &records_[g];
    groups_[g].vector_list_ptr = rows_[g];
    for (auto &[vname, rtg_idx] : vectors) {
      int v = groups_[g].total_vector_entries++;
      snprintf(names_[g][v], sizeof names_[g][v], "%s", vname);
      rows_[g][v].vector_name = names_[g][v];
      rows_[g][v].rtg_idx = rtg_idx;
      rows_[g][v].metrics_idx_found = 1;
    }
    twlb_set_norm_id(&g_group_hash, name, static_cast<int>(strlen(name)), g);
    return g;
  }

  Vector_list &vec(int g, int v) { return rows_[g][v]; }

  /* Runs a switch against `gdf` (none when empty); returns standard error. */
  std::string switch_to(const std::string &gdf) {
    tr_gdf_struct arr{};
    if (!gdf.empty()) {
      run_.write("20240101000000/testrun.gdf", gdf);
      snprintf(arr.testrun_gdf_path, sizeof arr.testrun_gdf_path, "%s",
               run_.path("20240101000000/testrun.gdf").c_str());
    }
    testing::internal::CaptureStderr();
    create_partition_dir(tw_wdir, 1, gdf.empty() ? nullptr : &arr);
    return testing::internal::GetCapturedStderr();
  }

  void expect_scratch_released() {
    EXPECT_EQ(g_group_temp_hash, nullptr);
    for (int g = 0; g < total_tsdb_group_entries; g++)
      EXPECT_EQ(groups_[g].vector_temp_norm_table, nullptr) << g;
  }

  TempRun run_{7};
  TSDB_INFO groups_[kMaxGroups];
  tsdb_metric_group records_[kMaxGroups];
  Vector_list rows_[kMaxGroups][kMaxVectors];
  char names_[kMaxGroups][kMaxVectors][64];
};

TEST_F(PartitionSwitch, ReportsVanishedVectorsThenVanishedGroupsInTableOrder) {
  int a = add_group("A", 2000, {{"a1", 100}, {"a2", 140}});
  int b = add_group("B", 2001, {{"b1", 300}});
  std::string err = switch_to(vzu_test::group_line("A", 2000, "vector", 1, 1) + "a1 5\n");

  EXPECT_EQ(err,
            "Vector Deleted [a2] rtg_idx [140]\n"
            "Vector Deleted [b1] rtg_idx [300]\n"
            "GROUP Deleted [B]\n");
  EXPECT_EQ(groups_[a].group_deleted, 0);
  EXPECT_EQ(groups_[b].group_deleted, 1);
  EXPECT_EQ(vec(a, 0).delete_flag, 0);
  EXPECT_EQ(vec(a, 0).rtg_idx, 100);
  EXPECT_EQ(vec(a, 0).metrics_idx_found, 1);
  for (Vector_list *v : {&vec(a, 1), &vec(b, 0)}) {
    EXPECT_EQ(v->delete_flag, 1);
    EXPECT_EQ(v->rtg_idx, -1);
    EXPECT_EQ(v->metrics_idx_found, 0);
  }
  expect_scratch_released();
}

TEST_F(PartitionSwitch, OnlyTwoTokenLinesUnderAKnownGroupDeclareVectors) {
  int a = add_group("A", 2000, {{"a1", 0}});
  int c = add_group("C", 2002, {{"c1", 8}, {"c2", 16}});
  /* A declares no vectors, so its vectors are not examined; c1's line has
   * three tokens; the c1 under the group new to this run counts for nothing. */
  std::string err = switch_to(vzu_test::info_line(64, 1000) +
                              vzu_test::group_line("A", 2000, "vector", 1, 0) + "\n" +
                              vzu_test::group_line("C", 2002, "vector", 1, 2) +
                              "c1 8 extra\n" + "c2 16\n" +
                              vzu_test::graph_line("g", 1, "vector", "sample", 64) +
                              vzu_test::group_line("N", 2003, "vector", 1, 1) + "c1 8\n");

  EXPECT_EQ(err, "Vector Deleted [c1] rtg_idx [8]\n");
  EXPECT_EQ(vec(a, 0).delete_flag, 0);
  EXPECT_EQ(vec(c, 1).delete_flag, 0);
  EXPECT_EQ(groups_[a].group_deleted, 0);
  EXPECT_EQ(groups_[c].group_deleted, 0);
  expect_scratch_released();
}

TEST_F(PartitionSwitch, PrefixedNamesAreComparedByTheNameAsListed) {
  int home = add_group("Pages", 5, {{"VuvoRavu>Home", 0}, {"VuvoRavu>Login", 38}, {"Logout", 76}});
  int remapped = add_group("Remap", 50, {{"VuvoRavu>r1", 200}});
  int high = add_group("High", 2000, {{"VuvoRavu>h1", 300}});
  std::string err = switch_to(vzu_test::group_line("Pages", 5, "vector", 1, 3) + "Home 0\n" +
                              "Logout 76\n" + vzu_test::group_line("Remap", 10294, "vector", 1, 1) +
                              "r1 200\n" + vzu_test::group_line("High", 2000, "vector", 1, 1) +
                              "h1 300\n");

  /* A high-id group's names are stored as listed: "h1" is another vector. */
  EXPECT_EQ(err,
            "Vector Deleted [VuvoRavu>Login] rtg_idx [38]\n"
            "Vector Deleted [VuvoRavu>h1] rtg_idx [300]\n");
  EXPECT_EQ(vec(home, 0).delete_flag, 0);
  EXPECT_EQ(vec(home, 2).delete_flag, 0);
  EXPECT_EQ(vec(remapped, 0).delete_flag, 0);
  EXPECT_EQ(vec(high, 0).delete_flag, 1);
}

TEST_F(PartitionSwitch, EarlierDeletedVectorsLoseTheirIndex) {
  int a = add_group("A", 2000, {{"kept", 10}, {"gone", 20}});
  vec(a, 0).delete_flag = 1;
  vec(a, 1).delete_flag = 1;
  std::string err = switch_to(vzu_test::group_line("A", 2000, "vector", 1, 1) + "kept 10\n");

  EXPECT_EQ(err, "Vector Deleted [gone] rtg_idx [-1]\n");
  EXPECT_EQ(vec(a, 0).rtg_idx, -1);
  EXPECT_EQ(vec(a, 0).delete_flag, 1);  /* re-activation is the reader's */
}

TEST_F(PartitionSwitch, CreatesTheNewPartitionDirectoryWithSubjects) {
  add_group("A", 2000, {{"a1", 0}});
  std::string err = switch_to("");
  EXPECT_EQ(err, "");
  EXPECT_EQ(g_prev_partition_idx, 20240101000000LL);
  EXPECT_GT(g_partition_idx, 20240101000000LL);
  EXPECT_TRUE(run_.exists(std::to_string(g_partition_idx) + "/subjects"));
  EXPECT_EQ(groups_[0].group_deleted, 0);

  /* A second switch, most likely in the same second, reuses the directory. */
  long long first = g_partition_idx;
  switch_to("");
  EXPECT_EQ(g_prev_partition_idx, first);
  EXPECT_TRUE(run_.exists(std::to_string(g_partition_idx) + "/subjects"));
}

TEST_F(PartitionSwitch, NoReconciliationWithoutAReadableFirstDefinitionFile) {
  add_group("A", 2000, {{"a1", 0}});
  tr_gdf_struct arr{};
  snprintf(arr.testrun_gdf_path, sizeof arr.testrun_gdf_path, "%s",
           run_.path("20240101000000/testrun.gdf").c_str());  /* absent */
  testing::internal::CaptureStderr();
  create_partition_dir(tw_wdir, 1, &arr);
  run_.write("20240101000000/rtgMessage.dat", "");  /* not a definition file */
  snprintf(arr.testrun_gdf_path, sizeof arr.testrun_gdf_path, "%s",
           run_.path("20240101000000/rtgMessage.dat").c_str());
  create_partition_dir(tw_wdir, 1, &arr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(groups_[0].group_deleted, 0);
  EXPECT_TRUE(run_.exists(std::to_string(g_partition_idx) + "/subjects"));
}

TEST(DestinationRun, FirstRequestMakesTheRunDirectoryAndMovesTheStartIndex) {
  TempRun run(7);
  snprintf(tw_wdir, sizeof tw_wdir, "%s", run.wdir().c_str());
  g_dest_testrun = 8;
  g_start_partition_index = 0;
  create_partition_dir(tw_wdir, 0, nullptr);
  EXPECT_EQ(g_start_partition_index, 1);
  EXPECT_TRUE(run.exists(run.wdir() + "/logs/TR8"));
}

}  // namespace
