/*
 * e2e_migration_test.cpp - end-to-end: generate a sample run, migrate it with
 * the real tool into the real store (found through the tool's RUNPATH), and
 * compare every stored sample with what the generator says the store must
 * hold; also a migration in two partition ranges followed by a re-run, the
 * -G option, and the tool's totals line against the store's count of inserts.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <tuple>

#include "vzu_test_support.h"

using namespace vzu_test;
namespace fs = std::filesystem;

namespace {

/* Series, graph, role and time of one stored value. */
using SampleKey = std::tuple<std::string, std::string, std::string, std::string, long long>;
/* A value, or nothing for a missing sample. */
using Samples = std::map<SampleKey, std::optional<double>>;

/* What make_sample_run printed and wrote. */
struct Generated {
  Samples expected;
  long long inserts = 0, missing = 0, store_inserts = 0;
  std::vector<std::string> partitions;
};

/* The number that follows `label` and one blank in text, or -1. */
long long number_after(const std::string &text, const std::string &label) {
  size_t at = text.find(label + " ");
  return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + label.size() + 1);
}

Samples read_expected(const std::string &path) {
  Samples s;
  for (const std::string &line : split_lines(read_file(path))) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    std::string t, g, series, graph, role, v;
    std::getline(in, t, '\t'), std::getline(in, g, '\t'), std::getline(in, series, '\t');
    std::getline(in, graph, '\t'), std::getline(in, role, '\t'), std::getline(in, v);
    s[{g, series, graph, role, std::stoll(t)}] = v == "missing"
                                                     ? std::nullopt
                                                     : std::optional<double>(std::stod(v));
  }
  return s;
}

Generated generate(const TempRun &run, const std::vector<std::string> &extra = {}) {
  std::string expect = run.wdir() + "/expected.tsv";
  std::vector<std::string> args = {"--preset", "small",     "--wdir",
                                   run.wdir(), "--testrun", std::to_string(run.testrun()),
                                   "--expect", expect};
  args.insert(args.end(), extra.begin(), extra.end());
  RunResult r = run_program(bin_dir() + "/make_sample_run", args, real_store_env());
  EXPECT_EQ(r.status, 0) << r.err;
  Generated g;
  g.expected = read_expected(expect);
  g.inserts = number_after(r.out, "samples inserted");
  g.missing = number_after(r.out, "missing samples");
  g.store_inserts = number_after(r.out, "store        inserts");
  for (auto &e : fs::directory_iterator(run.run_dir()))
    if (e.is_directory() && e.path().filename() != "tsdb")
      g.partitions.push_back(e.path().filename());
  std::sort(g.partitions.begin(), g.partitions.end());
  return g;
}

RunResult migrate(const TempRun &run, std::vector<std::string> args) {
  args.insert(args.begin(), {"-t", std::to_string(run.testrun())});
  auto env = real_store_env();
  env.push_back({"TW_WDIR", run.wdir()});
  RunResult r = run_program(tool_path(), args, env);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return r;
}

RunResult store_sql(const TempRun &run, const std::string &sql) {
  RunResult r = run_program(bin_dir() + "/orvtsdb", {"sql", run.run_dir(), sql}, real_store_env());
  EXPECT_EQ(r.status, 0) << r.err;
  return r;
}

/* The fields of one line of `orvtsdb sql`'s CSV (RFC 4180 quoting). */
std::vector<std::string> split_csv(const std::string &line) {
  std::vector<std::string> f(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); i++) {
    if (quoted && line[i] == '"' && i + 1 < line.size() && line[i + 1] == '"')
      f.back() += line[++i];
    else if (line[i] == '"')
      quoted = !quoted;
    else if (line[i] == ',' && !quoted)
      f.emplace_back();
    else
      f.back() += line[i];
  }
  return f;
}

Samples stored_samples(const TempRun &run) {
  RunResult r = store_sql(run,
                          "SELECT group_name, labels, graph_name, role, time, value FROM samples");
  Samples s;
  std::vector<std::string> lines = split_lines(r.out);
  for (size_t i = 1; i < lines.size(); i++) {  // line 0 names the columns
    std::vector<std::string> f = split_csv(lines[i]);
    if (f.size() != 6) {
      ADD_FAILURE() << "unexpected store row: " << lines[i];
      continue;
    }
    SampleKey k{f[0], f[1], f[2], f[3], std::stoll(f[4])};
    EXPECT_EQ(s.count(k), 0u) << "duplicate sample " << lines[i];
    s[k] = f[5].empty() ? std::nullopt : std::optional<double>(std::stod(f[5]));
  }
  return s;
}

std::string describe(const SampleKey &k) {
  return std::get<0>(k) + " / " + std::get<1>(k) + " / " + std::get<2>(k) + " / " + std::get<3>(k) +
         " @ " + std::to_string(std::get<4>(k));
}

/* Every expected sample is stored with its value (missing as missing); the
 * store may hold more samples only as missing ones (gaps it fills). */
void expect_store_matches(const Samples &expected, const Samples &stored) {
  int reported = 0;
  auto report = [&](const std::string &what) {
    if (++reported <= 10) ADD_FAILURE() << what;
  };
  for (const auto &[k, v] : expected) {
    auto it = stored.find(k);
    if (it == stored.end()) {
      report("not stored: " + describe(k));
    } else if (v.has_value() != it->second.has_value()) {
      report("missing on one side only: " + describe(k));
    } else if (v && std::fabs(*v - *it->second) > 1e-9 * std::fmax(1.0, std::fabs(*v))) {
      report("value " + std::to_string(*it->second) + ", expected " + std::to_string(*v) + ": " +
             describe(k));
    }
  }
  for (const auto &[k, v] : stored)
    if (v && !expected.count(k)) report("unexpected sample: " + describe(k));
  EXPECT_EQ(reported, 0) << reported << " differences";
}

std::vector<long long> totals_line_sums(const std::string &out) {
  const std::string label = "total number of sample inserted so far is [";
  std::vector<long long> sums;
  for (size_t at = out.find(label); at != std::string::npos; at = out.find(label, at + 1))
    sums.push_back(std::atoll(out.c_str() + at + label.size()));
  return sums;
}

long long store_inserts(const TempRun &run) {
  RunResult r = store_sql(run, "SELECT sum(inserts) FROM migrations");
  std::vector<std::string> lines = split_lines(r.out);
  return lines.size() == 2 ? std::stoll(lines[1]) : -1;
}

/* Every sample as generated, and the totals line against generator and store. */
TEST(EndToEnd, MigrationStoresEverySampleAsGeneratedAndCountsThem) {
  TempRun run(4321);
  Generated gen = generate(run);
  ASSERT_GT(gen.expected.size(), 10000u);
  RunResult r = migrate(run, {});
  EXPECT_NE(r.out.find("starting db_upload of TR4321\n"), std::string::npos);
  expect_store_matches(gen.expected, stored_samples(run));
  std::vector<long long> sums = totals_line_sums(r.out);
  ASSERT_EQ(sums.size(), gen.partitions.size());
  EXPECT_EQ(sums.back(), gen.inserts);
  std::string missing = "total number of missing sample so far is [" + std::to_string(gen.missing) +
                        "]";
  EXPECT_NE(r.out.rfind(missing), std::string::npos) << r.out;
  /* The store counts the inserts that reached it: the totals line's count
   * without the generator vectors left out, plus the deleted vectors' flushes. */
  EXPECT_EQ(store_inserts(run), gen.store_inserts);
}

/* Two partition ranges add up to the whole run; a re-run then replaces the
 * run's samples without duplicates (walking the folders the first runs added),
 * and a re-run of a first or a middle range alone leaves every sample of the
 * partitions after it (their first one included). */
TEST(EndToEnd, TwoPartitionRangesAddUpAndARerunReplacesThem) {
  TempRun run(4323);
  Generated gen = generate(run);
  ASSERT_GE(gen.partitions.size(), 3u);
  const std::string &last = gen.partitions.back();
  migrate(run, {"-s", gen.partitions.front(), "-e", gen.partitions[gen.partitions.size() - 2]});
  RunResult second = migrate(run, {"-s", last});
  EXPECT_NE(second.out.find("In partition [" + run.path(last) + "]"), std::string::npos);
  Samples first = stored_samples(run);
  expect_store_matches(gen.expected, first);
  EXPECT_EQ(split_lines(store_sql(run, "SELECT count(*) FROM migrations").out).back(), "2");
  migrate(run, {});
  Samples again = stored_samples(run);
  expect_store_matches(gen.expected, again);
  EXPECT_EQ(first.size(), again.size());
  for (const std::string &p : {gen.partitions[0], gen.partitions[1]}) {
    migrate(run, {"-s", p, "-e", p});
    expect_store_matches(gen.expected, stored_samples(run));
  }
}

/* A version whose raw sample file holds no packets: the next version's
 * first packet lands at the clock where the version before it ended, and a
 * vector deleted and declared again across them writes that time twice.
 * The later write wins and the store passes verify. */
TEST(EndToEnd, AVersionWithoutPacketsLeavesAStoreVerifyAccepts) {
  TempRun run(4327);
  Generated gen = generate(run);
  std::ofstream(run.path(gen.partitions.front()) + "/rtgMessage.dat.1", std::ios::trunc);
  migrate(run, {});
  RunResult v = run_program(bin_dir() + "/orvtsdb", {"verify", run.run_dir()}, real_store_env());
  EXPECT_EQ(v.status, 0) << v.out << v.err;
  EXPECT_EQ(split_lines(store_sql(run,
                                  "SELECT count(*) FROM (SELECT sid, graph, role, time FROM "
                                  "samples GROUP BY 1, 2, 3, 4 HAVING count(*) > 1)")
                            .out)
                .back(),
            "0");
}

TEST(EndToEnd, IncludeGeneratorOptionStoresEveryGenerator) {
  TempRun run(4325);
  Generated gen = generate(run, {"--with-generators"});
  migrate(run, {"-G", "1"});
  Samples stored = stored_samples(run);
  expect_store_matches(gen.expected, stored);
  bool generator = false;
  for (const auto &[k, v] : stored)
    generator |= std::get<1>(k).find("Generator=gen") != std::string::npos;
  EXPECT_TRUE(generator);
}

}  // namespace
