/*
 * sample_run_test.cpp - the generator's own invariants, checked on the files
 * it writes: the run covers what the end-to-end tests rely on (every data type
 * and formula, every report id class, a merged partition, an opcode-2 packet,
 * a sequence gap, reserved values), and the same seed gives the same bytes.
 * Layout and headers are checked by every end-to-end comparison.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

#include "orvtsdb_data_types.h"
#include "run_writer.h"
#include "sample_plan.h"
#include "sample_values.h"
#include "vzu_test_support.h"

using namespace sample_run;
using vzu_test::read_file;
using vzu_test::TempRun;

namespace {

RunPlan small_plan(uint64_t seed = 1, const char *preset = "small") {
  PlanOptions o;
  apply_preset(preset, o);
  o.seed = seed;
  RunPlan p;
  EXPECT_EQ(build_plan(o, p), "");
  return p;
}

std::string part_file(const TempRun &run, const PartitionPlan &p, const std::string &name) {
  return read_file(run.wdir() + "/logs/TR1234/" + p.name + "/" + name);
}

double header(const std::string &rtg, size_t packet, int packet_size, int off) {
  double v;
  memcpy(&v, rtg.data() + packet * packet_size + off, 8);
  return v;
}

TEST(SampleRun, CoversEveryTypeFormulaAndReportIdClass) {
  RunPlan p = small_plan();
  std::set<int> types;
  std::set<std::string> formulas;
  std::set<RptClass> classes;
  bool generator = false;
  for (const GroupDef &g : p.groups) {
    classes.insert(rpt_class(stored_rpt_id(g.rpt_id)));
    generator |= stored_hierarchy(g).find("Controller>Generator") != std::string::npos;
    for (const GraphDef &gr : g.graphs) types.insert(gr.data_type), formulas.insert(gr.formula);
  }
  EXPECT_EQ(types.size(), (size_t)ORV_NUM_DATA_TYPES);
  for (const char *f : {"SEC", "KBPS", "PM", "PS", "DBH"}) EXPECT_TRUE(formulas.count(f)) << f;
  EXPECT_EQ(classes.size(), 3u);
  EXPECT_TRUE(generator);
  EXPECT_EQ(p.partitions[1].interval_ms, MERGE_INTERVAL_MS);
}

/* Share of the double-typed graphs (over all vectors) of the medium preset
 * with a value that is not a three-decimal number in its first samples. */
double precise_share(double full_doubles) {
  PlanOptions o;
  apply_preset("medium", o);
  o.full_doubles = full_doubles;
  RunPlan p;
  EXPECT_EQ(build_plan(o, p), "");
  int graphs = 0, precise = 0;
  for (size_t g = 0; g < p.groups.size(); g++)
    for (const std::string &v : p.groups[g].vectors)
      for (size_t gr = 0; gr < p.groups[g].graphs.size(); gr++) {
        if (ORV_DATA_TYPES[p.groups[g].graphs[gr].data_type].width != 8) continue;
        RawElem raw[ORV_MAX_ELEMENTS_PER_GRAPH];
        bool any = false;
        for (int64_t seq = 1; seq <= 20; seq++) {
          raw_graph_values(p, (int)g, (int)gr, vector_key(o.seed, (int)g, v), seq, raw);
          any |= raw[0].v != std::round(raw[0].v * 1000) / 1000;
        }
        graphs++;
        precise += any;
      }
  EXPECT_GT(graphs, 50);
  return (double)precise / graphs;
}

/* --full-doubles gives that share of the double graphs full precision (of
 * those that are not whole numbers anyway, as counters are). */
TEST(SampleRun, FullDoublesGiveTheirShareOfDoubleGraphsFullPrecision) {
  double all = precise_share(1);
  EXPECT_GT(all, 0.7);
  EXPECT_EQ(precise_share(0), 0);
  EXPECT_NEAR(precise_share(0.35), 0.35 * all, 0.08);
}

TEST(SampleRun, FilesHoldAGapOpcode2AndReservedValues) {
  TempRun run(1234);
  RunPlan p = small_plan();
  WriteStats st;
  ASSERT_EQ(write_run(p, run.wdir(), st), "");
  bool opcode2 = false, gap = false;
  for (const PartitionPlan &part : p.partitions)
    for (const VersionPlan &v : part.versions) {
      std::string sfx = v.number ? "." + std::to_string(v.number) : "";
      std::string rtg = part_file(run, part, "rtgMessage.dat" + sfx);
      ASSERT_EQ(rtg.size(), v.packets.size() * p.packet_size);
      for (size_t k = 0; k < v.packets.size(); k++) {
        opcode2 |= header(rtg, k, p.packet_size, 0) == 2.0;
        gap |= k > 1 && v.packets[k].seq - v.packets[k - 1].seq == 3;
      }
    }
  EXPECT_TRUE(opcode2);
  EXPECT_TRUE(gap);
  std::string first = part_file(run, p.partitions[0], "rtgMessage.dat");
  int32_t reserved = -2147483647;
  EXPECT_NE(first.find(std::string((const char *)&reserved, 4)), std::string::npos);
  EXPECT_NE(read_file(run.path("summary.top")).find("|03/04/24 "), std::string::npos);
}

TEST(SampleRun, DiffsAddMoveDeleteAndBringBack) {
  RunPlan p = small_plan();
  std::set<EventKind> kinds;
  for (const VersionPlan &v : p.partitions[0].versions)
    for (const VectorEvent &e : v.events) kinds.insert(e.kind);
  EXPECT_EQ(kinds.size(), 4u);
}

TEST(SampleRun, SameSeedSameBytesOtherSeedOtherValues) {
  TempRun a(1234), b(1234), c(1234);
  WriteStats st;
  RunPlan seven = small_plan(7);
  ASSERT_EQ(write_run(seven, a.wdir(), st), "");
  ASSERT_EQ(write_run(small_plan(7), b.wdir(), st), "");
  ASSERT_EQ(write_run(small_plan(8), c.wdir(), st), "");
  const PartitionPlan &part = seven.partitions[0];
  EXPECT_EQ(part_file(a, part, "rtgMessage.dat"), part_file(b, part, "rtgMessage.dat"));
  EXPECT_NE(part_file(a, part, "rtgMessage.dat"), part_file(c, part, "rtgMessage.dat"));
}

}  // namespace
