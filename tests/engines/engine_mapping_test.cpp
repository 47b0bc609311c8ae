/*
 * engine_mapping_test.cpp - the names, values and labels every engine output
 * (push, a migration to an engine, the OpenMetrics export) shares: what a
 * Prometheus user queries must mean what the graph shows.
 */
#include <gtest/gtest.h>

#include "interval_values.h"
#include "remote/engine_mapping.h"

using namespace orvtsdb;

namespace {

constexpr int TIMES = 3, TIMES_STD = 4, RATE = 1, SAMPLE_COUNT = 10;
const double MISSING = -9223372036854775808.0;

std::vector<std::string> names(const GraphMapping &m) {
  std::vector<std::string> out;
  for (const EngineOutput &o : m.outputs) out.push_back(o.name);
  return out;
}

TEST(EngineMapping, NamesAreSnakeCaseWithTheGraphsUnitInBaseUnits) {
  GraphMapping ms = map_graph("Transaction Stats", "Transaction Time (ms)", "", TIMES);
  EXPECT_EQ(names(ms),
            (std::vector<std::string>{"transaction_stats_transaction_time_seconds_avg",
                                      "transaction_stats_transaction_time_seconds_min",
                                      "transaction_stats_transaction_time_seconds_max",
                                      "transaction_stats_transaction_time_seconds_count",
                                      "transaction_stats_transaction_time_seconds_sum"}));
  EXPECT_EQ(ms.scale, 1e-3);
  EXPECT_EQ(map_graph("Vuser Info", "Vuser Think Time (Secs)", "", TIMES).scale, 1);
  struct Case {
    const char *group, *graph;
    int type;
    const char *name;
    double scale;
  } cases[] = {
      {"Server Stats", "CPU Utilization (Pct)", RATE, "server_stats_cpu_utilization_percent", 1},
      {"Page Download Stats", "Page Downloads/Sec", RATE,
       "page_download_stats_page_downloads_per_second", 1},
      {"Server Stats", "Network Throughput (Kbps)", RATE,
       "server_stats_network_throughput_bytes_per_second", 125},
      {"Server Stats", "Load Average", RATE, "server_stats_load_average", 1},
      {"TestMetrics", "Odd (Widgets)", RATE, "test_metrics_odd_widgets", 1},
      {"9 Lives", "", 99, "_9_lives", 1},
      {"Host", "Metric 5 sum", RATE, "host_metric_5_sum_value", 1},
      {"Host", "Rate 4B", RATE, "host_rate_4b", 1},
  };
  for (const Case &c : cases) {
    GraphMapping m = map_graph(c.group, c.graph, "", c.type);
    EXPECT_EQ(names(m), std::vector<std::string>{c.name}) << c.graph;
    EXPECT_EQ(m.scale, c.scale) << c.graph;
  }
  // the fifth element of a timesStd graph, and a value with its count
  EXPECT_EQ(names(map_graph("G", "Spread", "", TIMES_STD))[3], "g_spread_spread");
  EXPECT_EQ(names(map_graph("Page Download Stats", "Page Size (KB)", "", SAMPLE_COUNT)),
            (std::vector<std::string>{"page_download_stats_page_size_bytes_avg",
                                      "page_download_stats_page_size_bytes_count",
                                      "page_download_stats_page_size_bytes_sum"}));
}

TEST(EngineMapping, CountsAndSumsFormASummaryAndHelpIsTheTrimmedDescription) {
  GraphMapping m = map_graph("T", "Time (ms)", "  Response time\nof a transaction\n\n", TIMES);
  ASSERT_EQ(m.families.size(), 4u);
  EXPECT_EQ(m.families[0].name, "t_time_seconds_avg");
  EXPECT_FALSE(m.families[0].summary);
  EXPECT_EQ(m.families[0].help, "Response time of a transaction (average per interval)");
  EXPECT_EQ(m.families[3].name, "t_time_seconds");
  EXPECT_TRUE(m.families[3].summary);
  EXPECT_EQ(map_graph("T", "Load", "", RATE).families[0].help, "T / Load");
}

TEST(EngineMapping, AnIntervalWithoutEventsHasACountAndNothingElse) {
  GraphMapping m = map_graph("T", "Time (ms)", "", TIMES_STD);
  // avg min max count spread
  double busy[] = {2000, 1000, 4000, 3, 500}, idle[] = {0, 0, 0, 0, 0};
  double gap[] = {MISSING, MISSING, MISSING, MISSING, MISSING};
  std::vector<double> got;
  for (size_t o = 0; o < m.outputs.size(); o++) {
    double v = -1;
    ASSERT_TRUE(m.value(o, busy, &v));
    got.push_back(v);
    EXPECT_EQ(m.value(o, idle, &v), m.outputs[o].is_count) << m.outputs[o].name;
    EXPECT_FALSE(m.value(o, gap, &v));
  }
  // avg, min, max, spread in seconds, count as it is, sum = avg x count
  EXPECT_EQ(got, (std::vector<double>{2, 1, 4, 0.5, 3, 6}));
  double idle_count_only[] = {7, 0};  // a value-and-count graph
  EXPECT_TRUE(reads_as_absent(SAMPLE_COUNT, 0, idle_count_only));
  EXPECT_FALSE(reads_as_absent(SAMPLE_COUNT, 1, idle_count_only));
  EXPECT_FALSE(reads_as_absent(RATE, 0, idle));  // 0 is a value where nothing counts
}

TEST(EngineMapping, LabelsNameTheRunReadablyAndKeepTagsApart) {
  RunLabels a = run_labels("id-a", "/srv/work1/logs/TR12/", 1709542800);
  RunLabels b = run_labels("id-b", "/srv/work2/logs/TR12", 1709542800);
  EXPECT_EQ(a.run, "TR12 2024-03-04T09:00:00Z work1");
  EXPECT_EQ(b.run, "TR12 2024-03-04T09:00:00Z work2");
  EXPECT_EQ(a.run_id.size(), 16u);
  EXPECT_NE(a.run_id, b.run_id);
  EXPECT_EQ(run_labels("id", "/data/store", 0).run, "store");

  PromLabels l = series_labels(
      "G", "Gr", "TestMetrics=x,test_metrics=y,run=z,Empty=",
      {{"TestMetrics", "x"}, {"test_metrics", "y"}, {"run", "z"}, {"Empty", ""}}, a);
  PromLabels want = {{"graph", "Gr"},       {"group", "G"},
                     {"run", a.run},        {"run_", "z"},
                     {"run_id", a.run_id},  {"series", "TestMetrics=x,test_metrics=y,run=z,Empty="},
                     {"test_metrics", "x"}, {"test_metrics_", "y"}};
  EXPECT_EQ(l, want);
  std::vector<PromLabels> full = output_labels(map_graph("G", "Gr", "", RATE), l);
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full[0][0], (std::pair<std::string, std::string>{"__name__", "g_gr"}));
}

}  // namespace
