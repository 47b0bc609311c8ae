/*
 * remigration_test.cpp - migrating a run again replaces, for every series
 * and graph it writes, the span of the partitions it migrated, and nothing
 * else: series and graphs it does not write keep the earlier samples, the
 * store records them with the reason, `orvtsdb info` shows them and one line
 * on standard error tells. Driven through the nine calls and through the
 * real tool on generated runs whose files were damaged or cut between the
 * two migrations, and on a run whose clock jumps a day between packets.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;
namespace fs = std::filesystem;

namespace {

vzu_test::RunResult orvtsdb(const std::vector<std::string> &args) {
  return vzu_test::run_program(ORVTSDB_COMMAND, args, {{"ASAN_OPTIONS", "detect_leaks=0"}});
}

using Key = std::tuple<int64_t, int, std::string, int64_t>;  // sid, graph, role, time

std::map<Key, std::optional<double>> keyed(const std::vector<Sample> &rows) {
  std::map<Key, std::optional<double>> out;
  for (const Sample &s : rows) out[{s.sid, s.graph, s.role, s.time}] = s.value;
  return out;
}

/* First inserts of row(i) for the given vectors, `count` steps of 10 s. */
void write_steps(int gid, std::vector<Vec *> vecs, int from, int count,
                 const std::function<std::vector<double>(size_t, int)> &row) {
  for (int i = 0; i < count; i++) {
    if (i >= from)
      for (size_t v = 0; v < vecs.size(); v++) vecs[v]->insert(gid, row(v, i));
    tsdb_migration_increment_sample_ex(10);
  }
}

TEST(PerSeriesReplacement, WhatARemigrationDoesNotWriteStaysAndIsTold) {
  TempStore store;
  migrate(1000, 200, 3, 0);  // series S0, S1, S2 (sids 1 to 3)
  auto first = keyed(samples(store.db()));
  ASSERT_EQ(first.size(), 3u * 200 * 5);

  // Again over the same range, writing S0 only.
  testing::internal::CaptureStderr();
  ASSERT_EQ(tsdb_init_migration(1000), 0);
  int gid = register_group("Load", {3, 0});
  Vec s0("S0", 2), s1("S1", 2);
  auto row = [](size_t v, int i) {
    double x = 0.5 + (double)v * 1000 + i;
    return std::vector<double>{x, x - 1, x + 1, 3, x * 2};
  };
  write_steps(gid, {&s0}, 0, 200, row);
  ASSERT_EQ(tsdb_exit_migration(3000), 0);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("kept 2 series of migration #1 that this migration did not write"),
            std::string::npos)
      << said;

  auto second = keyed(samples(store.db()));
  EXPECT_EQ(second.size(), first.size()) << "nothing lost, nothing doubled";
  for (const auto &[key, value] : first) {
    int64_t sid = std::get<0>(key);
    ASSERT_TRUE(second.count(key)) << "lost sid " << sid << " at " << std::get<3>(key);
    if (sid != 1) {
      EXPECT_EQ(second[key], value);  // kept
    } else if (std::get<2>(key) == "avg") {
      EXPECT_EQ(*second[key], *value + 0.5);  // replaced
    }
  }

  // S0 and S2 again, then S1 alone, written over the second half of the
  // migrated span and with one graph only: its other graph stays, its first
  // half of the migrated span goes (a second reading of the same partitions
  // that wrote nothing there).
  testing::internal::CaptureStderr();
  ASSERT_EQ(tsdb_init_migration(1000), 0);
  gid = register_group("Load", {3, 0});
  Vec t0("S0", 2), t1("S1", 2), t2("S2", 2);
  write_steps(gid, {&t0, &t2}, 0, 200, row);
  ASSERT_EQ(tsdb_exit_migration(3000), 0);
  ASSERT_EQ(tsdb_init_migration(1000), 0);
  gid = register_group("Load", {3});
  Vec u1("S1", 1);
  write_steps(gid, {&u1}, 100, 200, [](size_t, int i) {
    double x = 7000 + i;
    return std::vector<double>{x, x, x, 1};
  });
  ASSERT_EQ(tsdb_exit_migration(3000), 0);
  said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("kept 1 series of migration #1 that this migration did not write"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("kept 2 series of migration #3 that this migration did not write\n"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("kept samples of 1 series of migration #1 outside the times or graphs "
                      "this migration wrote"),
            std::string::npos)
      << said;
  auto third = keyed(samples(store.db()));
  EXPECT_EQ(third.size(), first.size() - 100 * 4) << "S1's graph 0 in the first half";
  EXPECT_EQ(third.count(Key(2, 0, "avg", 1000)), 0u) << "first half replaced by nothing";
  EXPECT_EQ(third[Key(2, 0, "avg", 2000)], 7100.0) << "second half replaced";
  EXPECT_EQ(third[Key(2, 1, "value", 2000)], first[Key(2, 1, "value", 2000)]) << "graph kept";

  EXPECT_EQ(query_int(store.db(),
                      "SELECT count(*) FROM kept_series WHERE migration = 4 AND "
                      "reason = 'some graphs not written by this migration'"),
            1);
  auto info = orvtsdb({"info", store.db()});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("kept 2 series of #1: not written by this migration"), std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("kept 1 series of #1: some graphs not written by this migration"),
            std::string::npos)
      << info.out;
  auto verify = orvtsdb({"verify", store.db()});
  EXPECT_EQ(verify.status, 0) << verify.out;
}

TEST(PerSeriesReplacement, AWholeRemigrationKeepsNothingAndSaysNothing) {
  TempStore store;
  migrate(1000, 150, 2, 0);
  testing::internal::CaptureStderr();
  migrate(1000, 150, 2, 0.25);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.find("kept"), std::string::npos) << said;
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM kept_series"), 0);
  EXPECT_EQ(samples(store.db()).size(), 2u * 150 * 5);
}

/* ---- the real tool on a damaged run ---- */

/* The small generated run, made once and copied for every case. */
const vzu_test::TempRun &template_run() {
  static std::unique_ptr<vzu_test::TempRun> run = [] {
    auto r = std::make_unique<vzu_test::TempRun>(3);
    auto gen = vzu_test::run_program(
        vzu_test::bin_dir() + "/make_sample_run",
        {"--preset", "small", "--wdir", r->wdir(), "--testrun", std::to_string(r->testrun())});
    EXPECT_EQ(gen.status, 0) << gen.err;
    return r;
  }();
  return *run;
}

/* The first partition (by name) of a run. */
std::string first_partition(const std::string &run_dir) {
  std::set<std::string> names;
  for (const auto &e : fs::directory_iterator(run_dir))
    if (e.is_directory() && e.path().filename().string().size() == 14)
      names.insert(e.path().string());
  return names.empty() ? "" : *names.begin();
}

std::vector<std::string> fields(const std::string &line, char sep) {
  std::vector<std::string> out;
  size_t at = 0;
  for (;;) {
    size_t next = line.find(sep, at);
    out.push_back(line.substr(at, next - at));
    if (next == std::string::npos) return out;
    at = next + 1;
  }
}

std::string joined(const std::vector<std::string> &f, char sep) {
  std::string out;
  for (size_t i = 0; i < f.size(); i++) out += (i ? std::string(1, sep) : "") + f[i];
  return out;
}

/* Rewrites the n-th line (0-based) that `pick` accepts with `edit`. */
void edit_gdf(const std::string &path, int n,
              const std::function<bool(const std::vector<std::string> &)> &pick,
              const std::function<void(std::vector<std::string> &)> &edit, char sep = '|') {
  auto lines = vzu_test::split_lines(vzu_test::read_file(path));
  std::string out;
  bool done = false;
  for (const std::string &line : lines) {
    auto f = fields(line, sep);
    if (!done && pick(f) && n-- == 0) {
      edit(f);
      done = true;
      out += joined(f, sep) + "\n";
    } else {
      out += line + "\n";
    }
  }
  ASSERT_TRUE(done) << "no line to damage in " << path;
  vzu_test::write_file(path, out);
}

bool is(const std::vector<std::string> &f, const char *keyword) { return f[0] == keyword; }
bool name_line(const std::vector<std::string> &f) {
  return f.size() == 1 && !f[0].empty() && f[0].find('|') == std::string::npos;
}
bool vector_line(const std::vector<std::string> &f) {
  return f.size() == 2 && f[0].find('|') == std::string::npos;
}

struct Family {
  const char *name;
  std::function<void(const std::string &partition)> damage;
};

const std::vector<Family> &families() {
  static const std::vector<Family> list = {
      {"graph raw offset 2147483647",
       [](const std::string &p) {
         edit_gdf(
             p + "/testrun.gdf", 0, [](auto &f) { return is(f, "Graph"); },
             [](auto &f) { f[5] = "2147483647"; });
       }},
      {"second group's graph raw offset 2147483647",
       [](const std::string &p) {
         // the first Graph line after the second Group line
         int groups = 0, graphs_before = 0;
         for (const std::string &l :
              vzu_test::split_lines(vzu_test::read_file(p + "/testrun.gdf"))) {
           groups += l.rfind("Group|", 0) == 0;
           if (groups == 2 && l.rfind("Graph|", 0) == 0) break;
           graphs_before += l.rfind("Graph|", 0) == 0;
         }
         edit_gdf(
             p + "/testrun.gdf", graphs_before, [](auto &f) { return is(f, "Graph"); },
             [](auto &f) { f[5] = "2147483647"; });
       }},
      {"group graph count one more",
       [](const std::string &p) {
         edit_gdf(
             p + "/testrun.gdf", 0, [](auto &f) { return is(f, "Group"); },
             [](auto &f) { f[4] = std::to_string(std::stol(f[4]) + 1); });
       }},
      {"group graph count one less",
       [](const std::string &p) {
         edit_gdf(
             p + "/testrun.gdf", 0, [](auto &f) { return is(f, "Group") && std::stol(f[4]) > 1; },
             [](auto &f) { f[4] = std::to_string(std::stol(f[4]) - 1); });
       }},
      {"vector index beyond the packet",
       [](const std::string &p) {
         edit_gdf(
             p + "/testrun.gdf", 0, vector_line, [](auto &f) { f[1] = "99999999"; }, ' ');
       }},
      {"vector index negative",
       [](const std::string &p) {
         edit_gdf(
             p + "/testrun.gdf", 1, vector_line, [](auto &f) { f[1] = "-5"; }, ' ');
       }},
      {"graph data type unknown",
       [](const std::string &p) {
         edit_gdf(
             p + "/testrun.gdf", 2, [](auto &f) { return is(f, "Graph"); },
             [](auto &f) { f[4] = "no_such_type"; });
       }},
      {"group vector count zero",
       [](const std::string &p) {
         edit_gdf(
             p + "/testrun.gdf", 0,
             [](auto &f) { return is(f, "Group") && f.size() > 5 && std::stol(f[5]) > 0; },
             [](auto &f) { f[5] = "0"; });
       }},
      {"vector line removed",
       [](const std::string &p) {
         edit_gdf(
             p + "/testrun.gdf", 1, name_line, [](auto &f) { f = {""}; }, ' ');
       }},
      {"last Group line removed",
       [](const std::string &p) {
         int groups = 0;
         for (const std::string &l : vzu_test::split_lines(vzu_test::read_file(p + "/testrun.gdf")))
           groups += l.rfind("Group|", 0) == 0;
         edit_gdf(
             p + "/testrun.gdf", groups - 1, [](auto &f) { return is(f, "Group"); },
             [](auto &f) { f = {""}; });
       }},
  };
  return list;
}

/* Field n of the Info line (the first line) of a graph definitions file. */
long info_field(const std::string &gdf, int n) {
  return std::stol(fields(vzu_test::split_lines(vzu_test::read_file(gdf))[0], '|')[n]);
}

/* A copy of `from`'s run folder in a new work directory, its store left out
 * (its run.id kept: the same run). */
std::unique_ptr<vzu_test::TempRun> copy_of_run(const vzu_test::TempRun &from) {
  auto to = std::make_unique<vzu_test::TempRun>(from.testrun());
  fs::copy(from.run_dir(), to->run_dir(),
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  fs::remove(to->run_dir() + "/tsdb/metrics.sqlite");
  return to;
}

/* Cut short, the first raw sample file gives the later partitions' samples
 * other times (the clock counts sequence numbers): the run migrated again
 * holds exactly what a first migration of the cut run holds, nothing of the
 * earlier reading beside it. */
TEST(PartitionReplacement, AFirstFileCutInHalfLeavesNoSampleOfTheEarlierReading) {
  const vzu_test::TempRun &tmpl = template_run();
  vzu_test::TempRun run(tmpl.testrun());
  fs::copy(tmpl.run_dir(), run.run_dir(),
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  std::vector<std::string> args = {"-t", std::to_string(run.testrun())};
  vzu_test::Env env = vzu_test::real_store_env();
  ASSERT_EQ(vzu_test::run_tool(run, args, env).status, 0);
  std::string db = run.run_dir() + "/tsdb/metrics.sqlite";
  size_t before = samples(db).size();

  std::string p = first_partition(run.run_dir());
  long packet = info_field(p + "/testrun.gdf", 5);
  std::string rtg = p + "/rtgMessage.dat";
  uintmax_t packets = fs::file_size(rtg) / (uintmax_t)packet;
  ASSERT_GT(packets, 4u);
  fs::resize_file(rtg, packets / 2 * (uintmax_t)packet);
  auto again = vzu_test::run_tool(run, args, env);
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.err.find("kept"), std::string::npos) << again.err;

  auto fresh_run = copy_of_run(run);
  ASSERT_EQ(vzu_test::run_tool(*fresh_run, args, env).status, 0);
  auto fresh = keyed(samples(fresh_run->run_dir() + "/tsdb/metrics.sqlite"));
  auto after = keyed(samples(db));
  EXPECT_LT(after.size(), before);
  EXPECT_EQ(after.size(), fresh.size()) << "the cut run's samples and no others";
  EXPECT_TRUE(after == fresh);
  EXPECT_EQ(orvtsdb({"verify", db}).status, 0);
}

/* Sequence numbers a day apart make the clock jump a day between packets,
 * so the run's chunks spread over years of clock time: migrating it again
 * costs what the chunks replaced cost (this test's time limit would not
 * hold a replacement that walks the span of time), and leaves none of the
 * earlier migration's chunks. */
TEST(PartitionReplacement, ARunWhoseClockJumpsADayPerPacketIsReplacedPromptly) {
  vzu_test::TempRun run(4);
  auto gen = vzu_test::run_program(
      vzu_test::bin_dir() + "/make_sample_run",
      {"--preset", "small", "--wdir", run.wdir(), "--testrun", std::to_string(run.testrun()),
       "--packets", "2000", "--partitions", "1", "--versions", "1"});
  ASSERT_EQ(gen.status, 0) << gen.err;
  std::vector<std::string> args = {"-t", std::to_string(run.testrun())};
  vzu_test::Env env = vzu_test::real_store_env();
  ASSERT_EQ(vzu_test::run_tool(run, args, env).status, 0);

  std::string p = first_partition(run.run_dir());
  long packet = info_field(p + "/testrun.gdf", 5);
  std::string rtg = vzu_test::read_file(p + "/rtgMessage.dat");
  size_t packets = rtg.size() / (size_t)packet;
  ASSERT_GE(packets, 2000u);
  for (size_t k = 1; k < packets; k++) {
    double seq = 1.0 + (double)(k - 1) * 86400;
    std::memcpy(&rtg[k * (size_t)packet + 24], &seq, sizeof seq);  // the sequence number
  }
  vzu_test::write_file(p + "/rtgMessage.dat", rtg);
  auto again = vzu_test::run_tool(run, args, env);
  ASSERT_EQ(again.status, 0) << again.err;
  std::string db = run.run_dir() + "/tsdb/metrics.sqlite";
  EXPECT_EQ(query_int(db, "SELECT count(*) FROM chunks WHERE migration = 1"), 0);
  EXPECT_GT(query_int(db, "SELECT count(*) FROM chunks"), 2000);
  EXPECT_EQ(orvtsdb({"verify", db}).status, 0);
}

/* A run damaged between two migrations: the series and graphs the second
 * did not write keep every sample; those it wrote hold its reading alone
 * (the samples of partitions where the damage made it skip them go with the
 * earlier reading). */
TEST(PerSeriesReplacement, ADamagedRunMigratedAgainKeepsWhatItDidNotWrite) {
  const vzu_test::TempRun &tmpl = template_run();
  ASSERT_FALSE(first_partition(tmpl.run_dir()).empty());
  vzu_test::Env env = vzu_test::real_store_env();
  long tried = 0, lost = 0;
  for (const Family &family : families()) {
    SCOPED_TRACE(family.name);
    vzu_test::TempRun run(tmpl.testrun());
    fs::copy(tmpl.run_dir(), run.run_dir(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    std::vector<std::string> args = {"-t", std::to_string(run.testrun())};
    auto once = vzu_test::run_tool(run, args, env);
    ASSERT_EQ(once.status, 0) << once.err;
    std::string db = run.run_dir() + "/tsdb/metrics.sqlite";
    auto before = keyed(samples(db));
    ASSERT_FALSE(before.empty());

    family.damage(first_partition(run.run_dir()));
    auto again = vzu_test::run_tool(run, args, env);
    auto after = keyed(samples(db));
    long missing = 0, unwritten_lost = 0;
    for (const auto &kv : before) {
      if (after.count(kv.first)) continue;
      missing++;
      // Only a series and graph the second migration wrote may lose samples.
      int64_t sid = std::get<0>(kv.first);
      int graph = std::get<1>(kv.first);
      unwritten_lost += again.status != 0 ||
                        query_int(db, "SELECT count(*) FROM chunks WHERE migration = 2 AND sid = " +
                                          std::to_string(sid) +
                                          " AND graph = " + std::to_string(graph)) == 0;
    }
    tried++;
    lost += unwritten_lost > 0;
    bool told = again.err.find("kept ") != std::string::npos;
    std::printf(
        "[remigration] %s: exit %d, %zu samples before, %zu after, %ld replaced by "
        "nothing, %s\n",
        family.name, again.status, before.size(), after.size(), missing,
        told ? "kept series told" : "nothing kept");
    EXPECT_EQ(unwritten_lost, 0) << again.err;
    EXPECT_EQ(query_int(db,
                        "SELECT count(*) FROM (SELECT sid, graph FROM chunks WHERE migration = 1 "
                        "INTERSECT SELECT sid, graph FROM chunks WHERE migration = 2)"),
              0)
        << "a series and graph holding two readings";
    if (again.status == 0 && told) {
      auto info = orvtsdb({"info", db});
      EXPECT_NE(info.out.find("kept "), std::string::npos) << info.out;
    }
  }
  std::printf("[remigration] %ld damage families, %ld lost samples not rewritten\n", tried, lost);
}

}  // namespace
