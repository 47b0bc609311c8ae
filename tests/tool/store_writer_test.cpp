/*
 * store_writer_test.cpp - the store writer seen from outside: the tool runs on
 * small runs (testrun.gdf + rtgMessage.dat) against the recording store:
 * tag lists, the edges of merge windows and a refused first insert, as the
 * order and contents of the insert and clock calls. Gaps, opcode 2, every
 * family's merge rule and the generator rule are checked value by value end to
 * end. One in-process test checks that a refused first insert releases its
 * metric id buffer.
 */
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vira_zedazad_uvoz_izu.h"
#include "vzu_test_support.h"

namespace {

using vzu_test::PacketWriter;
using vzu_test::TempRun;

const char kPart1[] = "20240101000000";
constexpr double kT0 = 1700000000000.0; /* ms */

/* The value of " key=" in a record line, up to the next blank. */
std::string field(const std::string &line, const std::string &key) {
  size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  return line.substr(at, line.find(' ', at) - at);
}

/* The record reduced to the sample path: "new mK data" for a first insert
 * (with " fail" when refused), "ins mK data" for a later one, "step" for a
 * clock step. */
std::vector<std::string> calls(const TempRun &run) {
  const std::string first = "tsdb_insert_bulk_metric_by_mg_gid_ex ";
  std::vector<std::string> out;
  for (auto &line : run.record()) {
    if (line.rfind("tsdb_migration_increment_sample_ex", 0) == 0) {
      out.push_back("step");
    } else if (line.rfind("tsdb_insert_bulk_metric_by_", 0) == 0) {
      bool refused = line.substr(line.rfind(" -> ") + 4) != "0";
      out.push_back((line.rfind(first, 0) == 0 ? "new " : "ins ") + field(line, "metric") + " " +
                    field(line, "data") + (refused ? " fail" : ""));
    }
  }
  return out;
}

std::vector<std::string> tags_of_first_inserts(const TempRun &run) {
  std::vector<std::string> out;
  for (auto &line : run.record("tsdb_insert_bulk_metric_by_mg_gid_ex"))
    out.push_back(field(line, "tags"));
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

/* Packets 10 s apart of 8-byte values laid out from byte 48 (one per vector,
 * or the elements of one graph); packet 0 first. */
PacketWriter doubles(const std::vector<std::pair<double, std::vector<double>>> &seqs) {
  PacketWriter w(RTG_HDR_LEN + 8 * static_cast<int>(seqs[0].second.size()));
  w.packet(1, 0, kT0);
  for (size_t k = 0; k < seqs.size(); ++k) {
    w.packet(1, seqs[k].first, kT0 + 10000.0 * (k + 1));
    for (size_t e = 0; e < seqs[k].second.size(); ++e)
      w.f64(RTG_HDR_LEN + 8 * static_cast<int>(e), seqs[k].second[e]);
  }
  return w;
}

/* A vector name shorter than the hierarchy fills with Default, a longer one
 * loses its extra field; both are logged. */
TEST(StoreWriter, TagsFollowTheHierarchy) {
  TempRun run;
  write_version(run, kPart1, one_group_gdf(72, 10000, {sample_graph()}, {"T1>S1", "T1", "T1>S1>X"}),
                doubles({{1, {1, 10, 100}}}));
  migrate(run, {"-D", "1"});
  EXPECT_EQ(tags_of_first_inserts(run),
            (std::vector<std::string>{"customer=Default,application=Default,Tier=T1,Server=S1",
                                      "customer=Default,application=Default,Tier=T1,Server=Default",
                                      "customer=Default,application=Default,Tier=T1,Server=S1"}));
  std::string log = run.read("debug_zevi_zazozoz.log");
  EXPECT_NE(log.find("TSDB:ERROR MISMATCHED BREADCUM vector_name_fields  3 mon_breadcrumb_fields 2 "
                     "vector_name = T1 local_group_data_ptr->Hierarchy Tier>Server MONITOR_NAME "
                     "Grp Group Name Grp"),
            std::string::npos);
  EXPECT_NE(log.find("vector_name_fields  1 mon_breadcrumb_fields 2"), std::string::npos);
}

/* Windows of one vector: a closing packet always opens the next window, so
 * sums never carry over; merge count 1 in merge mode; a refused first insert
 * is retried with a new buffer and still counts. */
TEST(StoreWriter, WindowEdgesAndRetriedFirstInsert) {
  struct Case {
    const char *what;
    int interval_ms;
    const char *type;
    std::vector<std::pair<double, std::vector<double>>> seqs;
    const char *fail_first;
    std::vector<std::string> calls;
    const char *totals;
  } cases[] = {
      /* merge count 2: (1,2) closes (before the first insert only 2 counts), 3
       * is missing, 4 opens and closes on its own, then (5,6) */
      {"window per closing packet",
       5000,
       "sample",
       {{1, {4}}, {2, {6}}, {4, {10}}, {5, {1}}, {6, {3}}},
       "0",
       {"new m1 6", "step", "step", "step", "ins m1 10", "step", "ins m1 2", "step"},
       ""},
      /* 7 s gives granularity 10 with a merge count of 1 */
      {"merge count one",
       7000,
       "times",
       {{1, {10, 5, 12, 1}}, {2, {20, 7, 30, 3}}},
       "0",
       {"new m1 10,5,12,1", "step", "ins m1 20,7,30,3", "step"},
       ""},
      {"refused first insert",
       10000,
       "sample",
       {{1, {1}}, {2, {2}}, {3, {3}}},
       "1",
       {"new m1 1 fail", "step", "new m2 2", "step", "ins m2 3", "step"},
       "total no of sample inserted is [3]"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempRun run;
    int ps = RTG_HDR_LEN + 8 * static_cast<int>(c.seqs[0].second.size());
    write_version(run, kPart1, one_group_gdf(ps, c.interval_ms, {sample_graph(c.type)}, {"T1>S1"}),
                  doubles(c.seqs));
    auto r = migrate(run, {}, {{"ORVTSDB_RECORD_FAIL_FIRST_INSERTS", c.fail_first}});
    EXPECT_EQ(calls(run), c.calls);
    EXPECT_NE(r.out.find(c.totals), std::string::npos) << r.out;
  }
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
