// bench_norm_id.cpp - lookups and inserts of 100,000 vector-like keys
// ("Tier1>Server12>Instance3") in a normalized-ID table of 131072 buckets
// and in std::unordered_map<std::string,int>, same keys, same (shuffled)
// order. After the runs it prints "ratio lookup norm/unordered = X" and the
// same for insert (below 1 means the table is faster). Suggested run:
//   bench_norm_id --benchmark_repetitions=5
//                 --benchmark_enable_random_interleaving=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "twlb_get_norm_obj_id.h"

namespace {

constexpr int kKeys = 100000;
constexpr int kTableSize = 131072;

const std::vector<std::string> &keys() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> k;
    k.reserve(kKeys);
    for (int i = 0; i < kKeys; i++)
      k.push_back("Tier" + std::to_string(i % 10) + ">Server" +
                  std::to_string(i / 10 % 100) + ">Instance" +
                  std::to_string(i / 1000));
    std::shuffle(k.begin(), k.end(), std::mt19937(42));
    return k;
  }();
  return all;
}

// The same keys in another shuffled order, for lookups.
const std::vector<std::string> &probe_order() {
  static const std::vector<std::string> order = [] {
    std::vector<std::string> k = keys();
    std::shuffle(k.begin(), k.end(), std::mt19937(7));
    return k;
  }();
  return order;
}

void fill(NormObjKey *table) {
  twlb_init_norm_id_table_ex(table, kTableSize);
  int id = 0;
  for (const std::string &k : keys())
    twlb_set_norm_id(table, k.c_str(), static_cast<int>(k.size()), id++);
}

void fill(std::unordered_map<std::string, int> *map) {
  map->reserve(kTableSize);
  int id = 0;
  for (const std::string &k : keys()) map->emplace(k, id++);
}

void BM_NormLookup(benchmark::State &state) {
  NormObjKey table;
  fill(&table);
  for (auto _ : state)
    for (const std::string &k : probe_order())
      benchmark::DoNotOptimize(
          twlb_get_norm_id(&table, k.c_str(), static_cast<int>(k.size())));
  state.SetItemsProcessed(state.iterations() * kKeys);
  twlb_obj_hash_destroy(&table);
}

void BM_UnorderedLookup(benchmark::State &state) {
  std::unordered_map<std::string, int> map;
  fill(&map);
  for (auto _ : state)
    for (const std::string &k : probe_order())
      benchmark::DoNotOptimize(map.find(k)->second);
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_NormInsert(benchmark::State &state) {
  for (auto _ : state) {
    NormObjKey table;
    fill(&table);
    benchmark::DoNotOptimize(table.prev_id);
    twlb_obj_hash_destroy(&table);
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_UnorderedInsert(benchmark::State &state) {
  for (auto _ : state) {
    std::unordered_map<std::string, int> map;
    fill(&map);
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

BENCHMARK(BM_NormLookup);
BENCHMARK(BM_UnorderedLookup);
BENCHMARK(BM_NormInsert);
BENCHMARK(BM_UnorderedInsert);

// Console output as usual, plus the mean CPU time per iteration of every
// benchmark over its repetitions (CPU time: the ratio should depend as
// little as possible on what else the machine runs).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      Mean &m = means_[run.run_name.function_name];
      m.sum += run.GetAdjustedCPUTime();
      m.count++;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio(const char *what, const std::string &norm,
                  const std::string &unordered) const {
    auto n = means_.find(norm), u = means_.find(unordered);
    if (n == means_.end() || u == means_.end()) return;
    printf("ratio %s norm/unordered = %.3f\n", what,
           n->second.value() / u->second.value());
  }

 private:
  struct Mean {
    double sum = 0;
    int count = 0;
    double value() const { return sum / count; }
  };
  std::map<std::string, Mean> means_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("lookup", "BM_NormLookup", "BM_UnorderedLookup");
  reporter.PrintRatio("insert", "BM_NormInsert", "BM_UnorderedInsert");
  benchmark::Shutdown();
  return 0;
}
