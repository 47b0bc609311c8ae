/*
 * engine_round_trip_test.cpp - generated runs sent to real engines, by
 * `orvtsdb push` and by a migration whose store is a remote-write URL, read
 * back through the engine's HTTP API and compared with the local store as
 * the engine mapping presents it: the same series, sample counts and
 * values, bit for bit; a second sending
 * of the same run adds nothing. ENGINE_TEST_PRESET=medium runs the round
 * trips on a bigger run.
 */
#include <gtest/gtest.h>

#include "engine_support.h"

using namespace engine_test;
using namespace vzu_test;

namespace {

constexpr Precision VM = Precision::decimal_12_digits;

RunResult push(const std::string &store, const std::string &base) {
  return run_program(bin_dir() + "/orvtsdb",
                     {"push", store, "--url", base + "/api/v1/write", "--batch", "5000"},
                     clean_env());
}

/* The tool migrating the run again, its store the engine's write endpoint. */
RunResult migrate_to(const TempRun &run, const std::string &base) {
  auto env = clean_env();
  env.push_back({"TW_WDIR", run.wdir()});
  env.push_back({"ORVTSDB_URL", "remote-write+" + base + "/api/v1/write"});
  env.push_back({"ORVTSDB_REMOTE_VERIFY", "1"});  // its end reads back what the engine holds
  return run_program(tool_path(), {"-t", std::to_string(run.testrun())}, env);
}

TEST(VictoriaMetrics, PushAndMigrationEachRoundTripExactlyAndNeverDouble) {
  TempRun run(5101);
  generate_and_migrate(run, true);
  std::string store = run.wdir() + "/local.sqlite";
  restore_generated_run(run, store);
  SampleMap stored = engine_view_of(store);
  ASSERT_GT(sample_count(stored), 10000u);
  {
    EngineProcess vm;
    START_OR_SKIP(start_victoria_metrics(vm, run.wdir() + "/vm1"));
    RunResult p = push(store, vm.base());
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_NE(p.out.find("pushed " + std::to_string(sample_count(stored)) + " samples"),
              std::string::npos)
        << p.out;
    std::vector<std::string> runs;
    expect_same_samples(stored, victoria_samples(vm.base(), &runs), VM);
    ASSERT_EQ(runs.size(), 1u);
    // run_id, then the run's name and its start
    EXPECT_NE(runs[0].find(" TR5101 20"), std::string::npos) << runs[0];
  }
  EngineProcess vm;
  START_OR_SKIP(start_victoria_metrics(vm, run.wdir() + "/vm2"));
  RunResult m = migrate_to(run, vm.base());
  ASSERT_EQ(m.status, 0) << m.out << m.err;
  expect_same_samples(stored, victoria_samples(vm.base()), VM);
  // The push labels the run as the migration did: the same series again.
  ASSERT_EQ(push(store, vm.base()).status, 0);
  std::vector<std::string> runs;
  expect_same_samples(stored, victoria_samples(vm.base(), &runs), VM);
  EXPECT_EQ(runs.size(), 1u);
}

TEST(VictoriaMetrics, MigrationTheEngineRefusesFails) {
  TempRun run(5102);
  generate_and_migrate(run);
  EngineProcess vm;
  START_OR_SKIP(start_victoria_metrics(vm, run.wdir() + "/vm"));
  // A path the engine answers with 400: the migration must not end as done.
  RunResult m = migrate_to(run, vm.base() + "/no/such");
  EXPECT_NE(m.status, 0) << m.out;
  EXPECT_NE(m.err.find("HTTP 400"), std::string::npos) << m.err;
}

/* Prometheus 2.42 keeps the run's old time stamps only with an out-of-order
 * window: without one it refuses any sample older than a series' newest
 * (so a second push) and any sample an hour older than the newest of all. */
TEST(Prometheus, PushRoundTripsWithAnOutOfOrderWindow) {
  TempRun run(5103);
  generate_and_migrate(run, true);
  SampleMap stored = engine_view_of(run.run_dir());
  long long from = stored.begin()->second.front().first, to = from;
  for (const auto &[k, points] : stored)
    from = std::min(from, points.front().first), to = std::max(to, points.back().first);
  EngineProcess prom;
  START_OR_SKIP(start_prometheus(prom, run.wdir() + "/prom", "100y"));
  for (int round = 0; round < 2; round++) {
    RunResult p = push(run.run_dir(), prom.base());
    ASSERT_EQ(p.status, 0) << p.err;
    expect_same_samples(stored, prometheus_samples(prom.base(), from, to));
  }
}

TEST(Prometheus, WithoutAnOutOfOrderWindowARepeatedPushIsRefused) {
  TempRun run(5104);
  generate_and_migrate(run);
  EngineProcess prom;
  START_OR_SKIP(start_prometheus(prom, run.wdir() + "/prom", ""));
  ASSERT_EQ(push(run.run_dir(), prom.base()).status, 0);  // the small run spans less than an hour
  RunResult again = push(run.run_dir(), prom.base());
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("HTTP 400: out of order sample"), std::string::npos) << again.err;
}

}  // namespace
