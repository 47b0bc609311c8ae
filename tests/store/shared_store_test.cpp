/*
 * shared_store_test.cpp - many runs in one store. Runs of one system at the
 * same times, each migrated into its own store and into one shared store
 * (ORVTSDB_URL), read back from the shared store exactly as from their own;
 * the readers say which runs they read, list them, and refuse to judge one
 * run of several without being told which.
 */
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "store_test_support.h"
#include "vzu_test_support.h"

namespace fs = std::filesystem;
using vzu_test::RunResult;

namespace {

RunResult orvtsdb(const std::vector<std::string> &args) {
  return vzu_test::run_program(ORVTSDB_COMMAND, args, {{"ASAN_OPTIONS", "detect_leaks=0"}});
}

/* A generated run of the small preset with its own seed, every one starting
 * at the same time, migrated into its own store (in its folder). */
struct GeneratedRun {
  explicit GeneratedRun(int k, const std::vector<std::string> &more = {}) : run(k) {
    std::vector<std::string> gen_args = {"--preset", "small",          "--wdir",
                                         run.wdir(), "--testrun",      std::to_string(k),
                                         "--seed",   std::to_string(k)};
    gen_args.insert(gen_args.end(), more.begin(), more.end());
    auto gen = vzu_test::run_program(vzu_test::bin_dir() + "/make_sample_run", gen_args);
    EXPECT_EQ(gen.status, 0) << gen.err;
    auto own = vzu_test::run_tool(run, args(), vzu_test::real_store_env());
    EXPECT_EQ(own.status, 0) << own.err;
  }
  std::vector<std::string> args() const { return {"-t", std::to_string(run.testrun())}; }
  std::string own_store() const { return run.run_dir() + "/tsdb/metrics.sqlite"; }
  /* Its id in every store: the run.id its first migration wrote. */
  std::string id() const { return vzu_test::split_lines(run.read("tsdb/run.id"))[0]; }
  /* Migrates it into the store at `path`. */
  RunResult migrate_into(const std::string &path) const {
    vzu_test::Env env = vzu_test::real_store_env();
    env.emplace_back("ORVTSDB_URL", "sqlite:" + path);
    return vzu_test::run_tool(run, args(), env);
  }
  vzu_test::TempRun run;
};

/* Ten runs, made once for every test. */
const std::vector<std::unique_ptr<GeneratedRun>> &runs() {
  static std::vector<std::unique_ptr<GeneratedRun>> all = [] {
    std::vector<std::unique_ptr<GeneratedRun>> out;
    for (int k = 1; k <= 10; k++) out.push_back(std::make_unique<GeneratedRun>(k));
    return out;
  }();
  return all;
}

std::string openmetrics(const std::string &store, const std::string &run = "",
                        const std::vector<std::string> &more = {}) {
  std::vector<std::string> args = {"export", store, "--format", "openmetrics"};
  if (!run.empty()) args.insert(args.end(), {"--run", run});
  args.insert(args.end(), more.begin(), more.end());
  RunResult r = orvtsdb(args);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

TEST(SharedStore, RunsAtTheSameTimesEachReadBackAsFromTheirOwnStore) {
  for (size_t n : {2u, 3u, 10u}) {
    SCOPED_TRACE(std::to_string(n) + " runs");
    store_test::TempStore shared;
    for (size_t k = 0; k < n; k++) {
      RunResult m = runs()[k]->migrate_into(shared.db());
      ASSERT_EQ(m.status, 0) << m.err;
    }
    RunResult verify = orvtsdb({"verify", shared.db()});
    EXPECT_EQ(verify.status, 0) << verify.out;
    EXPECT_EQ(store_test::query_int(shared.db(), "SELECT count(*) FROM runs"), (int64_t)n);
    // Every run by id; the first and the last by number and by name too.
    for (size_t k = 0; k < n; k++) {
      const GeneratedRun &r = *runs()[k];
      std::string own = openmetrics(r.own_store());
      ASSERT_GT(own.size(), 1000u);
      // (compared whole: the exports are megabytes)
      EXPECT_TRUE(openmetrics(shared.db(), r.id()) == own) << "run " << k + 1 << " by id";
      if (k != 0 && k != n - 1) continue;
      EXPECT_TRUE(openmetrics(shared.db(), "#" + std::to_string(k + 1)) == own);
      EXPECT_TRUE(openmetrics(shared.db(), "TR" + std::to_string(k + 1)) == own);
    }
    // All runs at once: every run's lines, each under its own run label.
    std::string all = openmetrics(shared.db());
    size_t lines = 0, each = 0;
    for (char c : all) lines += c == '\n';
    for (size_t k = 0; k < n; k++)
      for (char c : openmetrics(runs()[k]->own_store())) each += c == '\n';
    EXPECT_GT(lines, each / n * (n - 1)) << "the lines of every run";
  }
}

TEST(SharedStore, ReadersNameTheRunsTheyReadAndAskForOneWhereOneIsJudged) {
  store_test::TempStore shared;
  for (size_t k = 0; k < 2; k++) ASSERT_EQ(runs()[k]->migrate_into(shared.db()).status, 0);
  std::string page = shared.dir() + "/report.html";

  RunResult report = orvtsdb({"report", shared.db(), "-o", page});
  EXPECT_EQ(report.status, 1);
  EXPECT_NE(report.err.find("holds 2 runs and report reads one; choose it with --run"),
            std::string::npos)
      << report.err;
  EXPECT_NE(report.err.find(runs()[1]->id()), std::string::npos) << "the runs listed";
  report = orvtsdb({"report", shared.db(), "-o", page, "--run", "TR2"});
  EXPECT_EQ(report.status, 0) << report.err;
  EXPECT_NE(report.err.find("run #2 TR2"), std::string::npos) << report.err;
  // The start of its id, as copied from anywhere: in either case.
  std::string upper = runs()[1]->id().substr(0, 8);
  for (char &c : upper) c = (char)std::toupper((unsigned char)c);
  report = orvtsdb({"report", shared.db(), "-o", page, "--run", upper});
  EXPECT_EQ(report.status, 0) << report.err;
  EXPECT_NE(report.err.find("run #2 TR2"), std::string::npos) << report.err;

  RunResult compare = orvtsdb({"compare", shared.db(), shared.db()});
  EXPECT_EQ(compare.status, 1) << compare.err;
  compare = orvtsdb(
      {"compare", shared.db(), shared.db(), "--baseline-run", "1", "--candidate-run", "2"});
  EXPECT_EQ(compare.status, 0) << compare.err;
  EXPECT_NE(compare.err.find("baseline run #1 TR1"), std::string::npos) << compare.err;
  EXPECT_NE(compare.err.find("candidate run #2 TR2"), std::string::npos) << compare.err;

  RunResult info = orvtsdb({"info", shared.db()});
  EXPECT_NE(info.out.find("runs        2\n  #1  " + runs()[0]->id() + "  TR1"), std::string::npos)
      << info.out;
  RunResult series = orvtsdb({"series", shared.db(), "--format", "json"});
  EXPECT_NE(series.out.find("\"run\": 2"), std::string::npos) << series.out.substr(0, 400);
  EXPECT_NE(series.err.find("2 runs: #1 TR1, #2 TR2"), std::string::npos) << series.err;
  RunResult csv = orvtsdb({"export", shared.db(), "--format", "csv"});
  EXPECT_EQ(csv.out.rfind("group,graph,role,sid,run,", 0), 0u) << csv.out.substr(0, 200);
  csv = orvtsdb({"export", shared.db(), "--format", "csv", "--run", "2"});
  EXPECT_EQ(csv.out.rfind("group,graph,role,sid,", 0), 0u);
  EXPECT_NE(csv.err.find("run #2 TR2"), std::string::npos) << csv.err;

  // A window outside one run is told as that run's, not the store's.
  RunResult late = orvtsdb(
      {"export", shared.db(), "--format", "csv", "--run", "2", "--from", "+700h"});
  EXPECT_EQ(late.status, 1);
  EXPECT_NE(late.err.find("is after the last sample of run #2 TR2"), std::string::npos) << late.err;

  RunResult none = orvtsdb({"groups", shared.db(), "--run", "TR9"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("no run 'TR9' in the store; its runs:\n  #1 TR1"), std::string::npos)
      << none.err;
}

/* A run migrated again into the shared store replaces only its own samples. */
TEST(SharedStore, ARunMigratedAgainLeavesTheOtherRunsAsTheyWere) {
  store_test::TempStore shared;
  for (size_t k = 0; k < 3; k++) ASSERT_EQ(runs()[k]->migrate_into(shared.db()).status, 0);
  std::string first = openmetrics(shared.db(), "1"), third = openmetrics(shared.db(), "3");
  RunResult again = runs()[1]->migrate_into(shared.db());
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.err.find("kept"), std::string::npos) << again.err;
  EXPECT_TRUE(openmetrics(shared.db(), "1") == first);
  EXPECT_TRUE(openmetrics(shared.db(), "3") == third);
  EXPECT_TRUE(openmetrics(shared.db(), "2") == openmetrics(runs()[1]->own_store()));
  EXPECT_EQ(orvtsdb({"verify", shared.db()}).status, 0);
}

/* The "Start" and "Duration" rows of a report page. */
std::string run_facts(const std::string &page) {
  size_t at = page.find("<th>Start</th>");
  size_t end = page.find("<th>Partitions</th>", at);
  return at == std::string::npos || end == std::string::npos ? "" : page.substr(at, end - at);
}

/* The partitions of a run on its report: the recorded ones (not those the
 * migration added, named by its wall clock), the same count in every time
 * zone the page is made in, though the folders are named in local time. */
TEST(SharedStore, AReportCountsTheRecordedPartitionsInAnyTimeZone) {
  const GeneratedRun &r = *runs()[0];
  size_t recorded = 0;
  for (const auto &e : std::filesystem::directory_iterator(r.run.run_dir()))
    recorded += std::filesystem::exists(e.path() / "testrun.gdf");
  ASSERT_GT(recorded, 1u);
  std::string page = r.run.run_dir() + "/tz.html";
  for (const char *tz : {"UTC", "America/St_Johns", "Asia/Kathmandu", "Pacific/Kiritimati"}) {
    RunResult rep = vzu_test::run_program(ORVTSDB_COMMAND, {"report", r.own_store(), "-o", page},
                                          {{"ASAN_OPTIONS", "detect_leaks=0"}, {"TZ", tz}});
    ASSERT_EQ(rep.status, 0) << rep.err;
    std::string html = vzu_test::read_file(page);
    EXPECT_NE(html.find("<th>Partitions</th><td>" + std::to_string(recorded) + "</td>"),
              std::string::npos)
        << tz;
  }
}

/* Runs a day apart, the later with a group and graphs more: a run of
 * several is read over its own time and graphs, as from its own store, and
 * keeps its labels when migrated again from elsewhere. */
TEST(SharedStore, ARunOfSeveralIsReadOverItsOwnTimeAndGraphs) {
  GeneratedRun early(11), late(12, {"--start", "1709629200", "--groups", "7", "--graphs", "8"});
  store_test::TempStore shared;
  ASSERT_EQ(early.migrate_into(shared.db()).status, 0);
  ASSERT_EQ(late.migrate_into(shared.db()).status, 0);

  for (std::string run : {"1", "2"}) {
    const GeneratedRun &r = run == "1" ? early : late;
    std::string mine = shared.dir() + "/own.html", ours = shared.dir() + "/shared.html";
    ASSERT_EQ(orvtsdb({"report", r.own_store(), "-o", mine}).status, 0);
    RunResult rep = orvtsdb({"report", shared.db(), "--run", run, "-o", ours});
    ASSERT_EQ(rep.status, 0) << rep.err;
    std::string facts = run_facts(vzu_test::read_file(ours));
    EXPECT_FALSE(facts.empty());
    EXPECT_EQ(facts, run_facts(vzu_test::read_file(mine))) << "run " << run;
    EXPECT_TRUE(openmetrics(shared.db(), run) == openmetrics(r.own_store())) << "run " << run;
    // Its groups and graphs too (the counts of series are of the run either way).
    RunResult own = orvtsdb({"groups", r.own_store(), "--format", "json"});
    RunResult of_run = orvtsdb({"groups", shared.db(), "--run", run, "--format", "json"});
    auto graphs = [](const std::string &json) {
      std::vector<std::pair<std::string, nlohmann::json>> out;
      for (const auto &g : nlohmann::json::parse(json)) out.push_back({g["name"], g["graphs"]});
      return out;
    };
    EXPECT_EQ(graphs(of_run.out), graphs(own.out)) << "run " << run;
    // Aligned, the run's first sample falls on the time asked for.
    std::vector<std::string> align = {"--align-start", "1700000000"};
    EXPECT_TRUE(openmetrics(shared.db(), run, align) == openmetrics(r.own_store(), "", align))
        << "run " << run;
  }

  // Both runs read over the first one's first second: the later run's
  // series have no sample there, and no object either.
  RunResult first = orvtsdb({"export", shared.db(), "--format", "jsonl", "--to", "+1"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out.find("\"points\":[]"), std::string::npos) << first.out.substr(0, 300);
  EXPECT_NE(first.out.find("\"run\":1"), std::string::npos);
  EXPECT_EQ(first.out.find("\"run\":2"), std::string::npos);

  // The early run moved to another work folder and migrated again.
  vzu_test::TempRun moved(11);
  fs::copy(early.run.run_dir(), moved.run_dir(),
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  std::string before = openmetrics(shared.db(), "1");
  vzu_test::Env env = vzu_test::real_store_env();
  env.emplace_back("ORVTSDB_URL", "sqlite:" + shared.db());
  RunResult again = vzu_test::run_tool(moved, {"-t", "11"}, env);
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(openmetrics(shared.db(), "1") == before) << "the same series, labels and all";
  // Named by either folder it was migrated from.
  for (const std::string &folder : {early.run.run_dir(), moved.run_dir()})
    EXPECT_TRUE(openmetrics(shared.db(), folder) == before) << folder;
}

/* Replaces `from` with `to` in every graph definition file of run r. */
void redefine(const GeneratedRun &r, const std::string &from, const std::string &to) {
  for (const auto &e : fs::recursive_directory_iterator(r.run.run_dir())) {
    if (e.path().filename().string().rfind("testrun.gdf", 0) != 0) continue;
    std::string text = vzu_test::read_file(e.path());
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1))
      text.replace(at, from.size(), to);
    vzu_test::write_file(e.path(), text);
  }
}

/* A run that names or types a graph otherwise than runs already stored
 * would rename or misread their samples: it is refused, the store as it
 * was; the same definition again, and graphs of its own, are welcome. */
TEST(SharedStore, ARunThatRedefinesAnotherRunsGraphIsRefused) {
  store_test::TempStore shared;
  ASSERT_EQ(runs()[0]->migrate_into(shared.db()).status, 0);
  std::string before = openmetrics(shared.db());
  const std::string graph = "Graph|Running Vusers|101|scalar|sample_4B|";
  struct Case {
    int k;
    std::string to, said;
  } cases[] = {
      {13, "Graph|Peak Vusers|101|scalar|sample_4B|", "is 'Running Vusers' (data type"},
      {14, "Graph|Running Vusers|101|scalar|times_4B_1000|", "defines it as 'Running Vusers'"},
  };
  for (const Case &c : cases) {
    GeneratedRun other(c.k);
    redefine(other, graph, c.to);
    RunResult m = other.migrate_into(shared.db());
    EXPECT_EQ(m.status, 255) << m.err;
    EXPECT_NE(m.err.find("group 'Vuser Info' graph "), std::string::npos) << m.err;
    EXPECT_NE(m.err.find(c.said), std::string::npos) << m.err;
    EXPECT_NE(m.err.find("in run #1 of this store"), std::string::npos) << m.err;
    EXPECT_TRUE(openmetrics(shared.db()) == before) << c.to;
    EXPECT_EQ(store_test::query_int(shared.db(), "SELECT count(*) FROM runs"), 1);
  }
  // Into an empty store, or beside runs that agree, it goes.
  GeneratedRun alone(15);
  redefine(alone, graph, cases[0].to);
  store_test::TempStore fresh;
  EXPECT_EQ(alone.migrate_into(fresh.db()).status, 0);
  EXPECT_EQ(alone.migrate_into(fresh.db()).status, 0) << "migrated again";
  EXPECT_EQ(runs()[1]->migrate_into(shared.db()).status, 0);
}

}  // namespace
