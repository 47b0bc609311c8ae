/*
 * gdf_reader_test.cpp - the graph definition reader in-process: what each
 * kind of line leaves in the group table and hands to the store (seen through
 * the recording store), the hierarchy and naming rules, the refusals of
 * oversized groups and of unusable Info lines, and what a later version may
 * and may not change. Field-count refusals are in tests/bad_input.
 *
 * The paired raw sample file is left absent, so nothing reaches the writer.
 */
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

using vzu_test::graph_line;
using vzu_test::group_line;
using vzu_test::info_line;

namespace {

std::string record_path() { return vzu_test::in_process_record_path(); }

class GdfReader : public testing::Test {
 protected:
  void SetUp() override {
    static bool hash_ready = false;
    if (!hash_ready) hash_ready = twlb_init_norm_id_table_ex(&g_group_hash, GROUP_HASH_SIZE) == 0;
    vzu_test::write_file(record_path(), "");
    unsetenv("ORVTSDB_RECORD_FAIL_GROUP");
    flat = 1;
    prefix_ = testing::UnitTest::GetInstance()->current_test_info()->name();
  }

  /* A group name unique to the running test. */
  std::string name(const std::string &base) const { return prefix_ + "_" + base; }

  /* Reads `text` as version `version` of a partition of the temporary run,
   * after a usable Info line unless `info` is false. */
  void read(const std::string &text, int version = 0, bool info = true) {
    std::string dir = run_.partition("20240101000000");
    std::string gdf = dir + "/testrun.gdf";
    if (version) gdf += ".diff." + std::to_string(version);
    vzu_test::write_file(gdf, (info ? info_line(4096, 1000) : "") + text);
    tr_gdf_struct v{};
    snprintf(v.testrun_gdf_path, sizeof v.testrun_gdf_path, "%s", gdf.c_str());
    snprintf(v.rtg_path, sizeof v.rtg_path, "%s/absent.dat", dir.c_str());
    partition_struct part{};
    read_testrun_gdf_diff_rtg_file(&v, tw_wdir, &part);
  }

  int group(const std::string &base) const {
    std::string n = name(base);
    return twlb_get_norm_id(&g_group_hash, n.c_str(), static_cast<int>(n.size()));
  }

  static std::vector<std::string> record(const std::string &prefix) {
    std::vector<std::string> out;
    for (auto &line : vzu_test::split_lines(vzu_test::read_file(record_path())))
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
  }

  vzu_test::TempRun run_;
  std::string prefix_;
};

TEST_F(GdfReader, RegistersGroupAndGraphsWithExactRecords) {
  read(group_line(name("G"), 5, "Vector", 2, 0, "Met", "-", "Desc") +
       graph_line("Response Time (Secs)", 7, "vector", "times", 100, "SEC", "0", "H", "D1") +
       graph_line("Hits", 8, "scalar", "sample_2B_100_count_4B", 0, "PM", "E", "M", "D2"));
  auto groups = record("tsdb_register_gdf group=" + name("G") + " ");
  ASSERT_EQ(1u, groups.size());
  EXPECT_NE(std::string::npos,
            groups[0].find(" num_graphs=2 rpt_grp_id=5 group_type=1 heirarchy=TestMetrics "
                           "metric=Met desc=Desc\\n -> "));
  auto graphs = record("tsdb_register_graph group=" + name("G") + " ");
  ASSERT_EQ(2u, graphs.size());
  EXPECT_NE(std::string::npos,
            graphs[0].find("idx=0 name=Response Time (ms) data_type=3 formula=0 state=0 "
                           "graph_type=1 rpt_id=7 priority=-1 derived=NA desc=D1\\n"));
  EXPECT_NE(std::string::npos,
            graphs[1].find("idx=1 name=Hits data_type=10 formula=2 state=100 graph_type=0 "
                           "rpt_id=8 priority=-1 derived=NA desc=D2\\n"));
  const TSDB_INFO &g = tsdb_info[group("G")];
  EXPECT_EQ(100, g.start_index_of_graph);
  EXPECT_EQ(6, g.total_elements);
  EXPECT_EQ(38, g.total_elements_size);
  EXPECT_EQ(1, g.type_cast_reqd);
  EXPECT_EQ(1, g.elements_done);
  EXPECT_GE(g.mg_gid, 0);
  EXPECT_EQ(1, g.is_all_graph_processed);

  /* Only a SEC graph is renamed, and the rename drops what follows "(Sec". */
  read(group_line(name("N"), 2000, "vector", 2, 0) +
       graph_line("Time (Seconds) per Page", 1, "vector", "sample", 0, "SEC") +
       graph_line("Wait (Secs)", 3, "vector", "sample", 0, "PM"));
  EXPECT_STREQ("Time (ms)", tsdb_info[group("N")].tsdb_metric_ptr[0].graph_name);
  EXPECT_STREQ("Wait (Secs)", tsdb_info[group("N")].tsdb_metric_ptr[1].graph_name);
}

/* (Hierarchies and remapped ids of whole lines are compared end to end.) */
TEST_F(GdfReader, HierarchyOfAHighIdAndOfAShortGroupLine) {
  read(group_line(name("B"), 2000, "scalar", 0, 0, "M", "-") +
       group_line(name("D"), 1001, "scalar", 0, 0, "M", "-") + "Group|" + name("S") +
       "|7|scalar|1|0\n"); /* 6 fields */
  auto rec = [&](const char *b) { return tsdb_info[group(b)].tsdb_group_data_ptr[0]; };
  EXPECT_STREQ("-", rec("B").heirarchy);
  EXPECT_STREQ("TestMetrics", rec("D").heirarchy);
  EXPECT_STREQ("TestMetrics", rec("S").heirarchy);
  EXPECT_STREQ("", rec("S").group_metric);
  EXPECT_STREQ("", rec("S").group_desc);
}

TEST_F(GdfReader, OversizedGroupsAreRefusedNamingTheGroup) {
  EXPECT_EXIT(read(group_line(name("Big"), 5, "vector", 1025, 1)), testing::ExitedWithCode(255),
              "group '" + name("Big") + "' declares 1025 graphs; at most 1024");
  std::string text = group_line(name("Wide"), 5, "vector", 300, 1);
  for (int i = 0; i < 205; ++i) text += graph_line("g", i, "vector", "timesStd", 0);
  EXPECT_EXIT(read(text), testing::ExitedWithCode(255),
              "group '" + name("Wide") + "' declares 1025 elements per vector");
}

TEST_F(GdfReader, LinesOutsideAGroupAreIgnored) {
  read(group_line(name("P"), 2000, "vector", 1, 3) + graph_line("a", 1, "vector", "sample", 8));
  /* A new file starts without a current group, even after an earlier one. */
  read(graph_line("x", 1, "vector", "sample", 0) + "orphan 8\n\n" +
           group_line(name("Q"), 2000, "vector", 0, 2) + graph_line("y", 1, "vector", "sample", 0),
       1);
  EXPECT_EQ(0, tsdb_info[group("P")].total_vector_entries);
  EXPECT_EQ(1, tsdb_info[group("P")].total_graph_entries);
  /* 0 graphs declared: its Graph lines are skipped. */
  EXPECT_EQ(0, tsdb_info[group("Q")].total_graph_entries);
  EXPECT_EQ(0, tsdb_info[group("Q")].is_all_graph_processed);
}

TEST_F(GdfReader, GraphLinesContinuedInALaterFileCompleteTheGroup) {
  read(group_line(name("A"), 2000, "vector", 2, 0) + graph_line("a1", 1, "vector", "sample", 8) +
       group_line(name("B"), 2000, "vector", 2, 0) + graph_line("b1", 1, "vector", "sample", 8) +
       graph_line("b2", 2, "vector", "sample", 8));
  EXPECT_TRUE(record("tsdb_register_gdf group=" + name("A") + " ").empty());
  read(group_line(name("A"), 2000, "vector", 2, 0) + graph_line("a2", 2, "vector", "sample", 8) +
           graph_line("a3", 3, "vector", "sample", 8),
       1);
  EXPECT_EQ(1u, record("tsdb_register_gdf group=" + name("A") + " ").size());
  EXPECT_EQ(2, tsdb_info[group("A")].total_graph_entries);
}

TEST_F(GdfReader, FailedRegistrationLeavesGroupWithoutLayout) {
  setenv("ORVTSDB_RECORD_FAIL_GROUP", name("F").c_str(), 1);
  int registered = g_tsdb_register_group;
  read(group_line(name("F"), 2000, "vector", 1, 1) + graph_line("a", 1, "vector", "sample", 8));
  const TSDB_INFO &g = tsdb_info[group("F")];
  EXPECT_LT(g.mg_gid, 0);
  EXPECT_EQ(0, g.elements_done);
  EXPECT_EQ(registered, g_tsdb_register_group);
}

TEST_F(GdfReader, UnusableInfoLineRefusesTheFile) {
  struct Case {
    std::string text;
    const char *reason;
  } cases[] = {
      {"", "it has no Info line"},
      {"Info|1|2|3|4|512\n", "fewer than 7 fields"},
      {info_line(47, 1000), "no usable packet size"},
      {info_line(512, 999), "below one second"},
      {info_line(512, -5000), "below one second"},
      // no earlier version gave a granularity to keep
      {info_line(512, 172800000), "above one day"},
  };
  for (auto &c : cases) {
    g_frequency = -1;
    EXPECT_EXIT(read(c.text, 0, false), testing::ExitedWithCode(255),
                std::string("testrun.gdf' refused: .*") + c.reason);
  }
  // After one that did, the interval keeps it.
  g_frequency = 10;
  read(info_line(512, 172800000), 0, false);
  EXPECT_EQ(10, g_frequency);
}

TEST_F(GdfReader, LongLinesAreReadInPiecesAndNamesCut) {
  std::string long_name = name(std::string(300, 'n'));
  std::string desc(1500, 'd');
  read(group_line(long_name, 2000, "vector", 1, 1, "M", "-", desc) +
       graph_line(std::string(400, 'g'), 1, "vector", "sample", 8));
  int idx = twlb_get_norm_id(&g_group_hash, long_name.c_str(), static_cast<int>(long_name.size()));
  ASSERT_GE(idx, 0);
  const TSDB_INFO &g = tsdb_info[idx];
  EXPECT_EQ(256u, strlen(g.tsdb_group_data_ptr[0].group_name));
  /* The piece after the first 1023 characters is a one-token vector line. */
  EXPECT_EQ(1, g.total_vector_entries);
  EXPECT_EQ(255u, strlen(g.tsdb_metric_ptr[0].graph_name));
}

/* Writes version `v` of partition `part`: its definitions and raw samples. */
void write_version(const vzu_test::TempRun &run, const std::string &part, int v,
                   const std::string &gdf, vzu_test::PacketWriter &packets) {
  std::string suffix = v ? "." + std::to_string(v) : "";
  run.partition(part);
  run.write(part + "/testrun.gdf" + (v ? ".diff" + suffix : ""), gdf);
  packets.write(run.path(part + "/rtgMessage.dat" + suffix));
}

/* Two partitions of two versions each: groups registered once, each raw
 * sample file read with its own packet size and merge count (seen in the
 * clock steps and in the value found at its offset). */
TEST(GdfReaderProcess, TwoVersionsPerPartitionRegisterOnceAndHandOverEachFile) {
  /* Srv: one vector of 8 bytes at 48; Builtin at 56; Later at 64. */
  std::string srv = group_line("Srv", 2000, "vector", 1, 1) +
                    graph_line("s", 1, "vector", "sample", 48) + "v1\n";
  std::string builtin = group_line("Builtin", 5, "scalar", 1, 0) +
                        graph_line("b", 1, "scalar", "sample", 56);
  std::string later = group_line("Later", 3000, "vector", 1, 1) +
                      graph_line("l", 1, "vector", "sample", 64);
  const double t0 = 1700000000000.0;
  const std::string p1 = "20240101000000", p2 = "20240101010000";
  vzu_test::TempRun run;
  vzu_test::PacketWriter a(64), b(72), c(72), d(72);
  for (int k = 0; k <= 4; ++k) a.packet(1, k, t0 + 5000 * k);
  write_version(run, p1, 0, info_line(64, 5000) + srv + builtin, a);
  b.packet(1, 0, t0 + 20000);
  for (int k = 1; k <= 2; ++k) b.packet(1, 4 + k, t0 + 20000 + 60000 * k).f64(64, 6.5 + k);
  write_version(run, p1, 1, info_line(72, 60000) + later + "w1 64\n", b);
  for (int k = 0; k <= 2; ++k) c.packet(1, k, t0 + 140000 + 1000 * k);
  write_version(run, p2, 0, info_line(72, 1000) + srv + builtin + later + "w1\n", c);
  d.packet(1, 0, t0 + 142000);
  for (int k = 1; k <= 4; ++k) d.packet(1, 4 + k, t0 + 142000 + 15000 * k);
  write_version(run, p2, 1, info_line(72, 15000), d);

  auto r = vzu_test::run_tool(run, {"-t", "1"});
  ASSERT_EQ(0, r.status) << r.err;
  for (const char *g : {"Srv", "Builtin", "Later"})
    EXPECT_EQ(1u, run.record("tsdb_register_gdf group=" + std::string(g) + " ").size()) << g;
  /* 5 s -> 10 s windows of 2; 60 s; 1 s; 15 s -> one 60 s window of 4. */
  std::string grans;
  for (auto &line : run.record("tsdb_migration_increment_sample_ex gran="))
    grans += line.substr(line.find('=') + 1) + " ";
  EXPECT_EQ("10 10 60 60 1 1 60 ", grans);
  /* Later's values at byte 64 of the 72-byte packets of version 1. */
  std::string all_calls;
  for (auto &l : run.record("tsdb_insert_bulk_metric_by_")) all_calls += l + "\n";
  EXPECT_NE(std::string::npos, all_calls.find("gran=60 num_graphs=1 total=1 metric=m3 tags="));
  EXPECT_NE(std::string::npos, all_calls.find("metric=m3 gran=60 num_graphs=1 total=1 data=8.5"));
}

}  // namespace
