/*
 * reconcile_test.cpp - the partition switch: which groups and vectors are
 * reported and marked against the new partition's first definition file, and
 * the new partition directory. The group table is built by hand, as the
 * reader would have left it.
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

  /* Runs a switch against the definition file `gdf`; returns standard error. */
  std::string switch_to(const std::string &gdf) {
    tr_gdf_struct arr{};
    run_.write("20240101000000/testrun.gdf", gdf);
    snprintf(arr.testrun_gdf_path, sizeof arr.testrun_gdf_path, "%s",
             run_.path("20240101000000/testrun.gdf").c_str());
    testing::internal::CaptureStderr();
    create_partition_dir(tw_wdir, 1, &arr);
    return testing::internal::GetCapturedStderr();
  }

  TempRun run_{7};
  TSDB_INFO groups_[kMaxGroups] = {};
  tsdb_metric_group records_[kMaxGroups] = {};
  Vector_list rows_[kMaxGroups][kMaxVectors] = {};
  char names_[kMaxGroups][kMaxVectors][64] = {};
};

TEST_F(PartitionSwitch, ReportsVanishedVectorsThenVanishedGroupsInTableOrder) {
  int a = add_group("A", 2000, {{"a1", 100}, {"a2", 140}, {"old", 180}});
  int b = add_group("B", 2001, {{"b1", 300}});
  vec(a, 2).delete_flag = 1; /* deleted in the previous partition */
  std::string err = switch_to(vzu_test::group_line("A", 2000, "vector", 1, 1) + "a1 5\n");

  EXPECT_EQ(err,
            "Vector Deleted [a2] rtg_idx [140]\n"
            "Vector Deleted [old] rtg_idx [-1]\n"
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
  EXPECT_EQ(g_group_temp_hash, nullptr);
  EXPECT_EQ(groups_[a].vector_temp_norm_table, nullptr);
  EXPECT_EQ(g_prev_partition_idx, 20240101000000LL);
  EXPECT_TRUE(run_.exists(std::to_string(g_partition_idx) + "/subjects"));
}

TEST_F(PartitionSwitch, WhatCountsAsAVectorDeclaration) {
  int a = add_group("A", 2000, {{"a1", 0}});
  int c = add_group("C", 2002, {{"c1", 8}, {"c2", 16}});
  int pages = add_group("Pages", 5, {{"VuvoRavu>Home", 0}, {"VuvoRavu>Login", 38}, {"Logout", 76}});
  int high = add_group("High", 2003, {{"VuvoRavu>h1", 300}});
  /* A declares no vectors, so its vectors are not examined; c1's line has
   * three tokens; the c1 under the group new to this run counts for nothing;
   * names compare as stored, so a built-in group's "VuvoRavu>" vectors
   * read as deleted though listed. */
  std::string err = switch_to(
      vzu_test::info_line(64, 1000) + vzu_test::group_line("A", 2000, "vector", 1, 0) + "\n" +
      vzu_test::group_line("C", 2002, "vector", 1, 2) + "c1 8 extra\nc2 16\n" +
      vzu_test::graph_line("g", 1, "vector", "sample", 64) +
      vzu_test::group_line("N", 2009, "vector", 1, 1) + "c1 8\n" +
      vzu_test::group_line("Pages", 5, "vector", 1, 3) + "Home 0\nLogout 76\n" +
      vzu_test::group_line("High", 2003, "vector", 1, 1) + "h1 300\n");

  EXPECT_EQ(err,
            "Vector Deleted [c1] rtg_idx [8]\n"
            "Vector Deleted [VuvoRavu>Home] rtg_idx [0]\n"
            "Vector Deleted [VuvoRavu>Login] rtg_idx [38]\n"
            "Vector Deleted [VuvoRavu>h1] rtg_idx [300]\n");
  EXPECT_EQ(vec(a, 0).delete_flag, 0);
  EXPECT_EQ(vec(c, 1).delete_flag, 0);
  EXPECT_EQ(vec(pages, 0).delete_flag, 1);
  EXPECT_EQ(vec(pages, 2).delete_flag, 0);
  EXPECT_EQ(vec(high, 0).delete_flag, 1);
  for (int g : {a, c, pages, high}) EXPECT_EQ(groups_[g].group_deleted, 0);
}

TEST_F(PartitionSwitch, WithoutAReadableDefinitionFileOnlyTheDirectoryIsMade) {
  add_group("A", 2000, {{"a1", 0}});
  tr_gdf_struct arr{};
  snprintf(arr.testrun_gdf_path, sizeof arr.testrun_gdf_path, "%s",
           run_.path("20240101000000/testrun.gdf").c_str()); /* absent */
  testing::internal::CaptureStderr();
  create_partition_dir(tw_wdir, 1, &arr);
  long long first = g_partition_idx;
  create_partition_dir(tw_wdir, 1, nullptr); /* most likely the same second */
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(g_prev_partition_idx, first);
  EXPECT_EQ(groups_[0].group_deleted, 0);
  EXPECT_TRUE(run_.exists(std::to_string(g_partition_idx) + "/subjects"));
}

}  // namespace
