/*
 * orvtsdb_command_test.cpp - the `orvtsdb` command on a store written through
 * the nine calls: exit statuses, info, the two export formats (OpenMetrics
 * checked against the text format rules, and backfilled by promtool when it is
 * installed) and SQL over the `samples` table.
 */
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "store_test_support.h"

using namespace store_test;

namespace {

struct Result {
  int status;
  std::string out, err;
};

std::string slurp(const std::string &path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

Result run(const TempStore &store, const std::string &args) {
  std::string out = store.dir() + "/out", err = store.dir() + "/err";
  int rc = std::system((std::string(ORVTSDB_COMMAND) + " " + args + " >" + out + " 2>" + err).c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(out), slurp(err)};
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

/* A store with two groups: "Web Pages" (a times graph and a sample graph, two
 * servers, one value missing) and "Db" (one series with an awkward name). */
class CommandTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(tsdb_init_migration(1700000000), 0);
    int web = register_group("Web Pages", {3, 0});
    int db = register_group("Db", {0}, "Host");
    Vec a("S1", 2), b("S2", 2), c("x\"y\\z", 1);
    c.tier = "ignored";
    for (int i = 0; i < 5; i++) {
      a.insert(web, {1.5 + i, 1, 2, 3, i == 2 ? TSDB_MISSING_VALUE : 10.0 * i});
      b.insert(web, {2.5, 2, 3, 4, 0.1});
      c.insert(db, {42});
      tsdb_migration_increment_sample_ex(10);
    }
    ASSERT_EQ(tsdb_exit_migration(1700000050), 0);
  }
  TempStore store;
};

TEST_F(CommandTest, UsageAndFailuresGiveTheirExitStatusAndOneMessage) {
  Result r = run(store, "--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: orvtsdb"), std::string::npos);
  for (const char *bad : {"", "frobnicate x", "info", "export " , "info a b"}) {
    r = run(store, bad);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
  }
  EXPECT_EQ(run(store, "export " + store.db()).status, 2);
  EXPECT_EQ(run(store, "export " + store.db() + " --format xml").status, 2);
  EXPECT_EQ(run(store, "export " + store.db() + " --format csv --from soon").status, 2);
  r = run(store, "info " + store.dir() + "/nothing.sqlite");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no store at"), std::string::npos);
  r = run(store, "sql " + store.db() + " 'SELECT nonsense FROM samples'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines(r.err).size(), 1u);
  EXPECT_EQ(run(store, "sql " + store.db() + " 'DELETE FROM chunks'").status, 1) << "read-only";
}

TEST_F(CommandTest, InfoGroupsAndSeriesTellWhatIsStored) {
  Result r = run(store, "info " + store.db());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("groups      2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("series      3 (0 ended)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("samples     25"), std::string::npos) << r.out;  // 2x2x5 + 5
  EXPECT_NE(r.out.find("values      55"), std::string::npos) << r.out;  // 2x5x5 + 5
  EXPECT_NE(r.out.find("1700000000..1700000040"), std::string::npos) << r.out;
  r = run(store, "series " + store.db() + " --group Db");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines(r.out).size(), 2u) << r.out;
  EXPECT_EQ(run(store, "groups " + store.db()).status, 0);
}

TEST_F(CommandTest, CsvHasOneLinePerSeriesGraphTimeAndRole) {
  Result r = run(store, "export " + store.db() + " --format csv");
  ASSERT_EQ(r.status, 0) << r.err;
  auto l = lines(r.out);
  ASSERT_EQ(l.size(), 1u + 55);
  EXPECT_EQ(l[0], "group,graph,role,sid,labels,time,value");
  EXPECT_EQ(l[1], "Db,Graph 0,value,3,\"customer=Default,application=Default,Tier=ignored,"
                  "Server=x\"\"y\\\\z\",1700000000,42");
  EXPECT_NE(r.out.find("Web Pages,Graph 1,value,1,"), std::string::npos);
  EXPECT_NE(r.out.find(",1700000020,\n"), std::string::npos) << "missing kept empty";
  r = run(store, "export " + store.db() +
                     " --format csv --group 'Web Pages' --graph 'Graph 0' --from 1700000010 "
                     "--to 1700000020");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines(r.out).size(), 1u + 2 * 4 * 2);
}

TEST_F(CommandTest, OpenMetricsFollowsTheTextFormatRules) {
  Result r = run(store, "export " + store.dir() + "/store.sqlite --format openmetrics");
  ASSERT_EQ(r.status, 0) << r.err;
  auto l = lines(r.out);
  ASSERT_FALSE(l.empty());
  EXPECT_EQ(l.back(), "# EOF");
  std::set<std::string> families;
  std::string family;
  std::map<std::string, long> last_time;
  int sample_lines = 0;
  for (size_t i = 0; i + 1 < l.size(); i++) {
    if (l[i].rfind("# TYPE ", 0) == 0) {
      family = l[i].substr(7, l[i].find(' ', 7) - 7);
      EXPECT_TRUE(families.insert(family).second) << "family interleaved: " << family;
      EXPECT_EQ(family.find_first_not_of(
                    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_:"),
                std::string::npos);
      continue;
    }
    if (l[i][0] == '#') continue;
    sample_lines++;
    EXPECT_EQ(l[i].rfind(family + "{", 0), 0u) << l[i];
    std::string series = l[i].substr(0, l[i].rfind('}') + 1);
    long t = std::stol(l[i].substr(l[i].rfind(' ') + 1));
    EXPECT_LT(last_time[series], t) << l[i];
    last_time[series] = t;
  }
  EXPECT_EQ(sample_lines, 54);  // the missing sample left out
  EXPECT_TRUE(families.count("Web_Pages_Graph_0"));
  EXPECT_NE(r.out.find("Web_Pages_Graph_0{customer=\"Default\",application=\"Default\","
                       "Tier=\"T1\",Server=\"S1\",role=\"max\"} 2 1700000000"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Server=\"x\\\"y\\\\z\"} 42 1700000040"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Server=\"S2\"} 0.1 1700000000"), std::string::npos) << r.out;
}

TEST_F(CommandTest, PromtoolBackfillsTheOpenMetricsExport) {
  if (std::system("command -v promtool >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "promtool not on PATH (Debian package prometheus)";
  Result r = run(store, "export " + store.db() + " --format openmetrics");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string file = store.dir() + "/export.om", blocks = store.dir() + "/blocks";
  std::ofstream(file) << r.out;
  std::string cmd = "promtool tsdb create-blocks-from openmetrics " + file + " " + blocks +
                    " >" + store.dir() + "/promtool.log 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << slurp(store.dir() + "/promtool.log");
}

TEST_F(CommandTest, SqlReadsDecodedSamples) {
  Result r = run(store, "sql " + store.db() +
                            " \"SELECT count(*), sum(value IS NULL) FROM samples; "
                            "SELECT role, value FROM samples WHERE group_name = 'Web Pages' "
                            "AND sid = 2 AND time = 1700000040 ORDER BY rowid\"");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "count(*)|sum(value IS NULL)\n55|1\nrole|value\navg|2.5\nmin|2.0\nmax|3.0\n"
            "count|4.0\nvalue|0.1\n");
}

}  // namespace
