/*
 * store_writer_test.cpp - the store writer seen from outside: the tool runs on
 * small runs (testrun.gdf + rtgMessage.dat) against the recording store, and
 * the tests assert the order and contents of the insert and clock calls:
 * sequence and time gaps, opcode 2, merge windows with every data type
 * family, widths and formulas, the generator rule, tag/value lists, a failed
 * first insert and the dump file. One in-process test checks what happens to
 * the metric id buffer of a failed first insert.
 */
#include <stdlib.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

namespace {

using vzu_test::PacketWriter;
using vzu_test::TempRun;

const char kPart1[] = "20240101000000";
const char kPart2[] = "20240101010000";
constexpr double kT0 = 1700000000000.0; /* ms */

/* The record reduced to the sample path: "new mK data" for a first insert
 * (with " fail" when refused), "ins mK data" for a later one, "step" for a
 * clock step. */
std::vector<std::string> calls(const TempRun &run) {
  static const std::regex insert(
      R"(^tsdb_insert_bulk_metric_by_(mg_gid_ex|id) .*metric=(m\d+).* data=(\S*) -> (-?\d+))");
  std::vector<std::string> out;
  for (auto &line : run.record()) {
    std::smatch m;
    if (line.rfind("tsdb_migration_increment_sample_ex", 0) == 0)
      out.push_back("step");
    else if (std::regex_search(line, m, insert))
      out.push_back((m[1] == "id" ? "ins " : "new ") + m[2].str() + " " + m[3].str() +
                    (m[4] == "0" ? "" : " fail"));
  }
  return out;
}

std::vector<std::string> tags_of_first_inserts(const TempRun &run) {
  std::vector<std::string> out;
  for (auto &line : run.record("tsdb_insert_bulk_metric_by_mg_gid_ex")) {
    size_t from = line.find("tags=") + 5;
    out.push_back(line.substr(from, line.find(' ', from) - from));
  }
  return out;
}

/* Writes version 0 of a partition. */
void write_version(const TempRun &run, const std::string &part, const std::string &gdf,
                   const PacketWriter &packets) {
  run.partition(part);
  run.write(part + "/testrun.gdf", gdf);
  packets.write(run.path(part + "/rtgMessage.dat"));
}

vzu_test::RunResult migrate(const TempRun &run, std::vector<std::string> extra = {},
                            const std::vector<std::pair<std::string, std::string>> &env = {}) {
  std::vector<std::string> args = {"-t", std::to_string(run.testrun())};
  args.insert(args.end(), extra.begin(), extra.end());
  vzu_test::RunResult r = vzu_test::run_tool(run, args, env);
  EXPECT_EQ(r.status, 0) << r.err;
  return r;
}

/* One group "Grp" (high report id, so its hierarchy is taken as written) of
 * one-token vectors laid out from byte 48. */
std::string one_group_gdf(int packet_size, int interval_ms, const std::vector<std::string> &graphs,
                          const std::vector<std::string> &vectors,
                          const std::string &hierarchy = "Tier>Server") {
  std::string gdf = vzu_test::info_line(packet_size, interval_ms) +
                    vzu_test::group_line("Grp", 2000, "vector", static_cast<int>(graphs.size()),
                                         static_cast<int>(vectors.size()), "Metric", hierarchy);
  for (auto &g : graphs) gdf += g;
  for (auto &v : vectors) gdf += v + "\n";
  return gdf;
}

std::string sample_graph(const std::string &type = "sample", const std::string &formula = "NA") {
  return vzu_test::graph_line("Val", 1, "vector", type, RTG_HDR_LEN, formula);
}

std::string num(double v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

/* Packets of one 8-byte value per vector; packet 0 first. */
PacketWriter doubles(int vectors, const std::vector<std::pair<double, std::vector<double>>> &seqs,
                     double opcode_for_seq_50 = 2) {
  PacketWriter w(RTG_HDR_LEN + 8 * vectors);
  w.packet(1, 0, kT0);
  for (size_t k = 0; k < seqs.size(); ++k) {
    double seq = seqs[k].first;
    w.packet(seq == 50 ? opcode_for_seq_50 : 1, seq, kT0 + 10000.0 * (k + 1));
    for (int v = 0; v < vectors; ++v) w.f64(RTG_HDR_LEN + 8 * v, seqs[k].second[v]);
  }
  return w;
}

TEST(StoreWriter, SequenceGapsStepTheClockAndOpcode2PacketsAreSkipped) {
  TempRun run;
  write_version(run, kPart1, one_group_gdf(72, 10000, {sample_graph()}, {"T1>S1", "T1", "T1>S1>X"}),
                doubles(3, {{1, {1, 10, 100}},
                            {2, {2, 20, 200}},
                            {3, {3, 30, 300}},
                            {6, {6, 60, 600}},
                            {7, {7, 70, 700}},
                            {50, {9, 9, 9}},
                            {8, {8, 80, 800}}}));
  auto r = migrate(run, {"-D", "1"});
  std::vector<std::string> want = {"new m1 1", "new m2 10", "new m3 100", "step"};
  for (int s : {2, 3, 6, 7, 8}) {
    if (s == 6) want.insert(want.end(), {"step", "step", "step"});
    for (int scale : {1, 10, 100})
      want.push_back("ins m" + std::to_string(scale == 1 ? 1 : scale == 10 ? 2 : 3) + " " +
                     std::to_string(s * scale));
    want.push_back("step");
  }
  EXPECT_EQ(calls(run), want);
  EXPECT_NE(r.out.find("total no of sample inserted is [18], total number of missing sample so "
                       "far is [3]"),
            std::string::npos)
      << r.out;
  /* a shorter name fills with Default, a longer one loses its extra field */
  EXPECT_EQ(tags_of_first_inserts(run),
            (std::vector<std::string>{
                "customer=Default,application=Default,Tier=T1,Server=S1",
                "customer=Default,application=Default,Tier=T1,Server=Default",
                "customer=Default,application=Default,Tier=T1,Server=S1"}));
  std::string log = run.read("debug_zevi_zazozoz.log");
  EXPECT_NE(log.find("TSDB:ERROR MISMATCHED BREADCUM vector_name_fields  3 mon_breadcrumb_fields 2 "
                     "vector_name = T1 local_group_data_ptr->Hierarchy Tier>Server MONITOR_NAME "
                     "Grp Group Name Grp"),
            std::string::npos);
  EXPECT_NE(log.find("vector_name_fields  1 mon_breadcrumb_fields 2"), std::string::npos);
}

TEST(StoreWriter, UnchangedFrequencyStoresWidenedScaledAndConvertedValues) {
  TempRun run;
  std::vector<std::string> graphs = {
      vzu_test::graph_line("A", 1, "vector", "sample_1B", RTG_HDR_LEN),
      vzu_test::graph_line("B", 2, "vector", "sample_2B_100", RTG_HDR_LEN),
      vzu_test::graph_line("C", 3, "vector", "sample_4B_1000", RTG_HDR_LEN),
      vzu_test::graph_line("D", 4, "vector", "sample_4B", RTG_HDR_LEN, "KBPS")};
  int ps = RTG_HDR_LEN + 11;
  PacketWriter w(ps);
  w.packet(1, 0, kT0);
  w.packet(1, 1, kT0 + 10000).i8(48, -127).i16(49, -32767).i32(51, 250).i32(55, 1280);
  w.packet(1, 2, kT0 + 20000).i8(48, -128).i16(49, -32768).i32(51, -2147483647).i32(55, -2147483647);
  write_version(run, kPart1, one_group_gdf(ps, 10000, graphs, {"T1>S1"}), w);
  migrate(run);
  EXPECT_EQ(calls(run), (std::vector<std::string>{"new m1 M,M,0.25,1", "step",
                                                  "ins m1 -128," + num(-327.68) + ",M,M", "step"}));
}

TEST(StoreWriter, MergeWindowsOfTwoPacketsFollowEachFamilysRule) {
  TempRun run;
  std::vector<std::string> graphs = {
      vzu_test::graph_line("S", 1, "vector", "sample_4B_1000", RTG_HDR_LEN),
      vzu_test::graph_line("C", 2, "vector", "cumulative", RTG_HDR_LEN),
      vzu_test::graph_line("T", 3, "vector", "times_4B_1000", RTG_HDR_LEN),
      vzu_test::graph_line("D", 4, "vector", "timesStd", RTG_HDR_LEN),
      vzu_test::graph_line("V", 5, "vector", "sample_2B_100_count_4B", RTG_HDR_LEN),
      vzu_test::graph_line("B", 6, "vector", "sample_1B", RTG_HDR_LEN)};
  const int ps = RTG_HDR_LEN + 4 + 8 + 16 + 40 + 6 + 1;
  PacketWriter w(ps);
  auto put = [&](double seq, int s, double c, std::vector<int> t, std::vector<double> d, int v,
                 int vc, int b) {
    w.packet(1, seq, kT0 + 5000 * seq).i32(48, s).f64(52, c);
    for (int i = 0; i < 4; ++i) w.i32(60 + 4 * i, t[i]);
    for (int i = 0; i < 5; ++i) w.f64(76 + 8 * i, d[i]);
    w.i16(116, static_cast<int16_t>(v)).i32(118, vc).i8(122, static_cast<int8_t>(b));
  };
  w.packet(1, 0, kT0);
  /* until its first insert a vector starts every packet afresh: the first
   * window gives only its closing packet */
  put(1, 1000, 1, {1000, 1000, 1000, 1}, {1, 1, 1, 1, 1}, 100, 1, 1);
  put(2, 2000, 2, {2000, 2000, 2000, 1}, {2, 2, 2, 1, 2}, 200, 1, 2);
  put(3, 4000, 10, {10000, 5000, 12000, 1}, {10, 5, 12, 1, 100}, 1000, 2, -127);
  put(4, 6000, TSDB_MISSING_VALUE, {20000, 7000, 30000, 3}, {20, 7, 30, 3, 200}, 2000, 2, 8);
  put(5, 0, 30, {1, 1, 1, 0}, {1, 1, 1, 0, 1}, 500, 1, 3);
  put(6, 0, 40, {1, 1, 1, -2147483647}, {1, 1, 1, 0, 1}, 1500, 0, 5);
  write_version(run, kPart1, one_group_gdf(ps, 5000, graphs, {"T1>S1"}), w);
  migrate(run);
  EXPECT_EQ(calls(run), (std::vector<std::string>{
                            "new m1 2,2,2,2,2,1,2,2,2,1,2,2,1,2", "step",
                            "ins m1 5,10,17.5,5,30,4,17.5,5,30,4,300,15,4,8", "step",
                            "ins m1 M,40,M,M,M,M,M,M,M,M,M,5,1,4", "step"}));
  EXPECT_NE(run.record("tsdb_insert_bulk_metric_by_mg_gid_ex").at(0).find(" gran=10 "),
            std::string::npos);
}

TEST(StoreWriter, AWindowOpensAfterEveryClosingPacketSoSumsNeverCarryOver) {
  TempRun run;
  /* merge count 2: (1,2) closes (before the first insert only 2 counts), 3 is
   * missing, 4 opens and closes on its own, then (5,6) */
  write_version(run, kPart1, one_group_gdf(56, 5000, {sample_graph()}, {"T1>S1"}),
                doubles(1, {{1, {4}}, {2, {6}}, {4, {10}}, {5, {1}}, {6, {3}}}));
  migrate(run);
  EXPECT_EQ(calls(run), (std::vector<std::string>{"new m1 6", "step", "step", "step", "ins m1 10",
                                                  "step", "ins m1 2", "step"}));
}

TEST(StoreWriter, MergeCountOneInMergeModeMakesEveryPacketItsOwnWindow) {
  TempRun run;
  /* 7 s gives granularity 10 with a merge count of 1 */
  std::string gdf = one_group_gdf(80, 7000, {sample_graph("times")}, {"T1>S1"});
  PacketWriter w(80);
  w.packet(1, 0, kT0);
  w.packet(1, 1, kT0 + 7000).f64(48, 10).f64(56, 5).f64(64, 12).f64(72, 1);
  w.packet(1, 2, kT0 + 14000).f64(48, 20).f64(56, 7).f64(64, 30).f64(72, 3);
  write_version(run, kPart1, gdf, w);
  migrate(run);
  EXPECT_EQ(calls(run), (std::vector<std::string>{"new m1 10,5,12,1", "step", "ins m1 20,7,30,3",
                                                  "step"}));
}

TEST(StoreWriter, GeneratorVectorsStayOutUnlessAskedFor) {
  for (bool include : {false, true}) {
    TempRun run;
    write_version(run, kPart1,
                  one_group_gdf(64, 10000, {sample_graph()}, {"Controller>Overall", "Controller>G1"},
                                "Controller>Generator"),
                  doubles(2, {{1, {1, 2}}, {2, {3, 4}}}));
    auto r = migrate(run, include ? std::vector<std::string>{"-G", "1"} : std::vector<std::string>{});
    if (include) {
      EXPECT_EQ(calls(run), (std::vector<std::string>{"new m1 1", "new m2 2", "step", "ins m1 3",
                                                      "ins m2 4", "step"}));
    } else {
      EXPECT_EQ(calls(run), (std::vector<std::string>{"new m1 1", "step", "ins m1 3", "step"}));
      /* the call that left the generator vector out counts as an insert */
      EXPECT_NE(r.out.find("total no of sample inserted is [3]"), std::string::npos) << r.out;
    }
  }
}

TEST(StoreWriter, ATimeGapBeforeALaterPartitionStepsTheClock) {
  TempRun run;
  std::string gdf = one_group_gdf(56, 10000, {sample_graph()}, {"T1>S1"});
  PacketWriter first(56), second(56);
  first.packet(1, 0, kT0).packet(1, 1, kT0 + 10000).f64(48, 1).packet(1, 2, kT0 + 20000).f64(48, 2);
  /* 25 s after the last packet at a 10 s interval: q = 2.5 gives 3 steps */
  second.packet(1, 0, kT0 + 30000).packet(1, 1, kT0 + 45000).f64(48, 3);
  write_version(run, kPart1, gdf, first);
  write_version(run, kPart2, gdf, second);
  auto r = migrate(run);
  EXPECT_EQ(calls(run), (std::vector<std::string>{"new m1 1", "step", "ins m1 2", "step", "step",
                                                  "step", "step", "new m2 3", "step"}));
  EXPECT_NE(r.out.find("total number of missing sample so far is [3]"), std::string::npos) << r.out;
  EXPECT_EQ(run.record("tsdb_exit_migration").at(0), "tsdb_exit_migration end=1700000045");
}

TEST(StoreWriter, ARefusedFirstInsertIsRetriedWithANewBuffer) {
  TempRun run;
  write_version(run, kPart1, one_group_gdf(56, 10000, {sample_graph()}, {"T1>S1"}),
                doubles(1, {{1, {1}}, {2, {2}}, {3, {3}}}));
  auto r = migrate(run, {}, {{"ORVTSDB_RECORD_FAIL_FIRST_INSERTS", "1"}});
  EXPECT_EQ(calls(run), (std::vector<std::string>{"new m1 1 fail", "step", "new m2 2", "step",
                                                  "ins m2 3", "step"}));
  EXPECT_NE(r.out.find("total no of sample inserted is [3]"), std::string::npos) << r.out;
}

TEST(StoreWriter, DumpFileRecordsEveryDecodedElement) {
  TempRun run;
  write_version(run, kPart1, one_group_gdf(56, 10000, {sample_graph("sample", "DBH")}, {"T1>S1"}),
                doubles(1, {{1, {150}}, {2, {250}}}));
  migrate(run, {"-g", "1", "-w", "100"});
  std::string file = run.path(std::string(kPart1) + "/rtgMessage.dat");
  auto rec = [&](const std::string &v, int start) {
    return file + "|Grp|T1>S1|48|" + v + "|56|168|" + std::to_string(start) + "|1|8\n\n";
  };
  EXPECT_EQ(run.read("rtg_data.txt"),
            "#Group Name|Vector_Name|RTG Index|Data|Packet Size|RTG FILE Size|Start Index|Total "
            "Elements| Element Size\n" +
                rec("1.500000", 56) + rec("2.500000", 112));
}

/* In-process: the buffer of a refused first insert is released and the
 * vector holds none until the retry; LeakSanitizer checks the release. */
TEST(StoreWriterInProcess, RefusedFirstInsertReleasesItsMetricIdBuffer) {
  setenv("ORVTSDB_RECORD_FAIL_FIRST_INSERTS", "1", 1);
  tsdb_metric_group rec{};
  snprintf(rec.group_name, sizeof rec.group_name, "G");
  snprintf(rec.heirarchy, sizeof rec.heirarchy, "Tier");
  rec.num_graphs = 1;
  char name[VECTOR_NAME_BUF_LEN] = "T1";
  double data[1] = {1.5};
  Vector_list v{};
  v.vector_name = name;
  v.data = data;
  TSDB_INFO g{};
  g.tsdb_group_data_ptr = &rec;
  g.vector_list_ptr = &v;
  g.total_vector_entries = 1;
  g.total_elements = 1;
  long long before = total_sample;
  EXPECT_EQ(insert_into_tsdb(&g, 0, 0, 1), -1);
  EXPECT_EQ(v.metric_id, nullptr);
  EXPECT_EQ(v.metrics_idx_found, 0);
  EXPECT_EQ(insert_into_tsdb(&g, 0, 0, 1), 0);
  EXPECT_NE(v.metric_id, nullptr);
  EXPECT_EQ(v.metrics_idx_found, 1);
  EXPECT_EQ(total_sample, before + 2);
  free(v.metric_id);
}

}  // namespace
