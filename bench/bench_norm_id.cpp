// bench_norm_id.cpp - lookups and inserts of 100,000 vector-like keys
// ("Tier1>Server12>Instance3") in a normalized-ID table of 131072 buckets
// and in std::unordered_map<std::string,int>, same keys, same (shuffled)
// order. After the runs it prints "ratio lookup norm/unordered = X" and the
// same for insert (below 1 means the table is faster). The two hash passes
// alone (the table's fixed FNV-1a pass and bucket, std::hash and the map's
// bucket) give "ratio lookup-without-hash norm/unordered": what is left of
// each lookup once its hash is paid. Suggested run:
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

#include "ratio_reporter.h"
#include "twlb_get_norm_obj_id.h"

namespace {

constexpr int kKeys = 100000;
constexpr int kTableSize = 131072;

const std::vector<std::string> &keys() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> k;
    k.reserve(kKeys);
    for (int i = 0; i < kKeys; i++)
      k.push_back("Tier" + std::to_string(i % 10) + ">Server" + std::to_string(i / 10 % 100) +
                  ">Instance" + std::to_string(i / 1000));
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
      benchmark::DoNotOptimize(twlb_get_norm_id(&table, k.c_str(), static_cast<int>(k.size())));
  state.SetItemsProcessed(state.iterations() * kKeys);
  twlb_obj_hash_destroy(&table);
}

void BM_UnorderedLookup(benchmark::State &state) {
  std::unordered_map<std::string, int> map;
  fill(&map);
  for (auto _ : state)
    for (const std::string &k : probe_order()) benchmark::DoNotOptimize(map.find(k)->second);
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

// The hash and bucket of every probe key, as each container computes them.
void BM_NormHashOnly(benchmark::State &state) {
  NormObjKey table;
  twlb_init_norm_id_table(&table, kTableSize);
  for (auto _ : state)
    for (const std::string &k : probe_order())
      benchmark::DoNotOptimize(
          twlb_get_hash_index_ex(k.c_str(), static_cast<int>(k.size()), table.size, table.prime));
  state.SetItemsProcessed(state.iterations() * kKeys);
  twlb_obj_hash_destroy(&table);
}

void BM_UnorderedHashOnly(benchmark::State &state) {
  std::unordered_map<std::string, int> map;
  fill(&map);
  for (auto _ : state)
    for (const std::string &k : probe_order()) benchmark::DoNotOptimize(map.bucket(k));
  state.SetItemsProcessed(state.iterations() * kKeys);
}

// The tool's shape: a few hundred names in a table of 16384 buckets, all of
// it in cache, so the lookup's own work shows rather than memory latency.
constexpr int kFewKeys = 500;
constexpr int kFewTableSize = 16384;

void BM_NormLookupFew(benchmark::State &state) {
  NormObjKey table;
  twlb_init_norm_id_table_ex(&table, kFewTableSize);
  for (int i = 0; i < kFewKeys; i++)
    twlb_set_norm_id(&table, keys()[i].c_str(), static_cast<int>(keys()[i].size()), i);
  for (auto _ : state)
    for (int i = kFewKeys - 1; i >= 0; i--) {
      const std::string &k = keys()[i];
      benchmark::DoNotOptimize(twlb_get_norm_id(&table, k.c_str(), static_cast<int>(k.size())));
    }
  state.SetItemsProcessed(state.iterations() * kFewKeys);
  twlb_obj_hash_destroy(&table);
}

void BM_UnorderedLookupFew(benchmark::State &state) {
  std::unordered_map<std::string, int> map;
  map.reserve(kFewTableSize);
  for (int i = 0; i < kFewKeys; i++) map.emplace(keys()[i], i);
  for (auto _ : state)
    for (int i = kFewKeys - 1; i >= 0; i--) benchmark::DoNotOptimize(map.find(keys()[i])->second);
  state.SetItemsProcessed(state.iterations() * kFewKeys);
}

BENCHMARK(BM_NormLookup);
BENCHMARK(BM_NormLookupFew);
BENCHMARK(BM_UnorderedLookupFew);
BENCHMARK(BM_NormHashOnly);
BENCHMARK(BM_UnorderedHashOnly);
BENCHMARK(BM_UnorderedLookup);
BENCHMARK(BM_NormInsert);
BENCHMARK(BM_UnorderedInsert);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("lookup", "norm/unordered", "BM_NormLookup", "BM_UnorderedLookup");
  reporter.PrintRatio("insert", "norm/unordered", "BM_NormInsert", "BM_UnorderedInsert");
  reporter.PrintRatio("lookup-few", "norm/unordered", "BM_NormLookupFew", "BM_UnorderedLookupFew");
  reporter.PrintDifferenceRatio("lookup-without-hash", "norm/unordered", "BM_NormLookup",
                                "BM_NormHashOnly", "BM_UnorderedLookup", "BM_UnorderedHashOnly");
  benchmark::Shutdown();
  return 0;
}
