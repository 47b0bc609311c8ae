// bench_writer.cpp - the sample path's speed: values decoded per second
// through write_data_in_tsdb (the tool's own objects, the no-op store, so only
// the tool's work is measured) against a plain loop that reads and widens the
// same elements of the same packets into the same vector arrays, and nothing
// else. Synthetic run: one group of narrow integer graphs (every width, with
// scales and reserved values) and one group of 8-byte graphs, 200 vectors
// each, 500 packets (about 13 MB). After the runs it prints
// "ratio <mode> writer/plain = X" (CPU time per value; 1.0 = as fast as
// widening alone).
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "orvtsdb_data_types.h"
#include "ratio_reporter.h"
#include "vira_zedazad_uvoz_izu.h"

namespace {

constexpr int kVectors = 200;
constexpr int kPackets = 500;

/* Data types of the two groups: narrow integers, then doubles. */
const std::vector<int> kNarrow = {9, 7, 10, 14, 6, 11, 15, 13};
const std::vector<int> kWide = {0, 3, 4, 2, 1, 5};

/* One hand-built group with everything the writer reads. */
struct BenchGroup {
  tsdb_metric_group rec{};
  std::vector<tsdb_metric_info> graphs;
  std::vector<int> num_el, graph_width, widths;
  std::vector<Vector_list> vecs;
  std::vector<std::string> names;

  void build(TSDB_INFO *g, const char *name, const std::vector<int> &types, int start) {
    snprintf(rec.group_name, sizeof rec.group_name, "%s", name);
    snprintf(rec.heirarchy, sizeof rec.heirarchy, "Tier>Server");
    rec.num_graphs = static_cast<unsigned short>(types.size());
    graphs.resize(types.size());
    for (size_t i = 0; i < types.size(); ++i) {
      const orv_data_type_t &t = ORV_DATA_TYPES[types[i]];
      graphs[i].data_type = static_cast<unsigned char>(types[i]);
      num_el.push_back(t.elements);
      graph_width.push_back(t.width);
      for (int k = 0; k < t.elements; ++k) {
        widths.push_back(t.width == 6 ? (k ? 4 : 2) : t.width);
        g->graph_formula_type[g->total_elements++] = i == 0 ? FORMULA_KBPS : FORMULA_SEC;
        g->total_elements_size += widths.back();
      }
      if (t.width < 8) g->type_cast_reqd = 1;
    }
    g->tsdb_group_data_ptr = &rec;
    g->tsdb_metric_ptr = graphs.data();
    g->total_graph_entries = static_cast<int>(types.size());
    g->num_elements = num_el.data();
    g->graph_element_size = graph_width.data();
    g->elements_size = widths.data();
    g->elements_done = 1;
    vecs.resize(kVectors);
    names.resize(kVectors);
    for (int v = 0; v < kVectors; ++v) {
      names[v] = "T" + std::to_string(v % 7) + ">S" + std::to_string(v);
      vecs[v].vector_name = names[v].data();
      vecs[v].rtg_idx = start + v * g->total_elements_size;
    }
    g->vector_list_ptr = vecs.data();
    g->total_vector_entries = kVectors;
    g->start_index_of_graph = start;
  }
};

struct Fixture {
  TSDB_INFO groups[2] = {};
  BenchGroup built[2];
  int packet_size = 0;
  std::string file;
  char path[64] = "/tmp/vzu_bench_rtgMessage.dat.XXXXXX";
  int fd = -1;
  char wdir[8] = "/tmp";

  Fixture() {
    built[0].build(&groups[0], "Narrow", kNarrow, RTG_HDR_LEN);
    int start = RTG_HDR_LEN + kVectors * groups[0].total_elements_size;
    built[1].build(&groups[1], "Wide", kWide, start);
    packet_size = start + kVectors * groups[1].total_elements_size;
    fill_packets();
    fd = mkstemp(path);
    if (fd < 0 || write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) abort();
  }
  ~Fixture() {
    close(fd);
    unlink(path);
  }

  void fill_packets() {
    file.assign(static_cast<size_t>(packet_size) * kPackets, '\0');
    uint32_t x = 12345;
    for (int k = 0; k < kPackets; ++k) {
      char *pkt = &file[static_cast<size_t>(k) * packet_size];
      double head[3] = {1, static_cast<double>(k), 1.7e12 + 10000.0 * k};
      memcpy(pkt + RTG_HDR_OPCODE_OFF, &head[0], 8);
      memcpy(pkt + RTG_HDR_SEQ_OFF, &head[1], 8);
      memcpy(pkt + RTG_HDR_TS_OFF, &head[2], 8);
      for (const TSDB_INFO &g : groups)
        for (int v = 0; v < kVectors; ++v) {
          char *p = pkt + g.vector_list_ptr[v].rtg_idx;
          for (int e = 0; e < g.total_elements; ++e) {
            x = x * 1103515245u + 12345u;
            int32_t i = static_cast<int32_t>(x >> 20) % 100 == 0 ? -127 : (x >> 18) % 100;
            double d = i;
            memcpy(p, g.elements_size[e] == 8 ? static_cast<void *>(&d) : &i, g.elements_size[e]);
            p += g.elements_size[e];
          }
        }
    }
  }
  long long values() const {
    return static_cast<long long>(kPackets - 1) *
           (groups[0].total_elements + groups[1].total_elements) * kVectors;
  }
};

Fixture &fixture() {
  static Fixture f;
  return f;
}

void set_run_globals(int interval) {
  g_frequency = interval;
  g_progress_interval = interval;
  sd_log_tracing_level = 0;
  dump_data_flag = 0;
  not_include_generator = 1;
  tsdb_info = fixture().groups;
  total_tsdb_group_entries = 2;
}

void run_writer(benchmark::State &state, int frequency_changed, int merge_count) {
  Fixture &f = fixture();
  set_run_globals(10);
  for (auto _ : state) {
    lseek(f.fd, 0, SEEK_SET);
    write_data_in_tsdb(f.groups, f.path, kPackets, f.fd, f.packet_size,
                       static_cast<int>(f.file.size()), f.wdir, nullptr, frequency_changed,
                       merge_count);
  }
  state.SetItemsProcessed(state.iterations() * f.values());
}

void BM_WriterUnchanged(benchmark::State &state) { run_writer(state, 0, 1); }
void BM_WriterMerge2(benchmark::State &state) { run_writer(state, 1, 2); }

/* The floor: every element of packets 1.. widened into its vector's array. */
void BM_PlainWiden(benchmark::State &state) {
  Fixture &f = fixture();
  std::vector<double> out[2][kVectors];
  for (int g = 0; g < 2; ++g)
    for (auto &o : out[g]) o.resize(f.groups[g].total_elements);
  for (auto _ : state) {
    for (int k = 1; k < kPackets; ++k) {
      const char *pkt = f.file.data() + static_cast<size_t>(k) * f.packet_size;
      for (int g = 0; g < 2; ++g) {
        const TSDB_INFO &grp = f.groups[g];
        for (int v = 0; v < kVectors; ++v) {
          const char *p = pkt + grp.vector_list_ptr[v].rtg_idx;
          double *d = out[g][v].data();
          for (int e = 0; e < grp.total_elements; ++e) {
            d[e] = rtg_widen(p, grp.elements_size[e]);
            p += grp.elements_size[e];
          }
          benchmark::DoNotOptimize(d);
        }
      }
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * f.values());
}

BENCHMARK(BM_WriterUnchanged)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriterMerge2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainWiden)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("unchanged", "writer/plain", "BM_WriterUnchanged", "BM_PlainWiden");
  reporter.PrintRatio("merge2", "writer/plain", "BM_WriterMerge2", "BM_PlainWiden");
  benchmark::Shutdown();
  return 0;
}
