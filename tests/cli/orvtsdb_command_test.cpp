/*
 * orvtsdb_command_test.cpp - the `orvtsdb` command as a process, on a store
 * written through the nine calls: each usage error and failure with its exit
 * status and single message, options in any order, the selection options
 * (times as epoch seconds or ISO 8601, labels, roles), the listings as text
 * and JSON, values that read back exactly from CSV, JSON and SQL, and the
 * OpenMetrics text (checked against the format's rules, and backfilled by
 * promtool when it is installed).
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;
using vzu_test::csv_fields;
using vzu_test::RunResult;
using vzu_test::split_lines;

namespace {

const int64_t T0 = 1700000000;  // 2023-11-14 22:13:20 UTC
const int STEPS = 8;

/* Values whose shortest exact text is long or unusual. */
const double EXACT[STEPS] = {0.1 + 0.2,           1.0 / 3, 1e-300, 5e-324, 1.7976931348623157e308,
                             -123456.78901234567, 0.5,     -0.0};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

/* Three groups over STEPS samples 10 s apart: "Web Pages" (a times graph and
 * a sample graph, servers S1 and S2, one missing value), "Db" (one series
 * whose server name needs CSV quoting) and "Exact" (the EXACT values). */
class CommandTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(tsdb_init_migration(T0), 0);
    int web = register_group("Web Pages", {3, 0});
    int db = register_group("Db", {0}, "Host");
    int exact = register_group("Exact", {0});
    Vec a("S1", 2), b("S2", 2), c("x\"y,z", 1), e("E1", 1);
    for (int i = 0; i < STEPS; i++) {
      a.insert(web, {1.5 + i, 1, 2, 3, i == 2 ? TSDB_MISSING_VALUE : 10.0 * i});
      b.insert(web, {2.5, 2, 3, 4, 0.1});
      c.insert(db, {42});
      e.insert(exact, {EXACT[i]});
      tsdb_migration_increment_sample_ex(10);
    }
    ASSERT_EQ(tsdb_exit_migration(T0 + 80), 0);
  }

  RunResult run(std::vector<std::string> args) {
    for (std::string &a : args)
      if (a == "DB") a = store.db();
    return vzu_test::run_program(ORVTSDB_COMMAND, args);
  }

  /* Data lines of a CSV export (header dropped), exit status checked. */
  std::vector<std::string> csv_rows(std::vector<std::string> args) {
    args.insert(args.begin(), {"export", "DB", "--format", "csv"});
    RunResult r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    auto l = split_lines(r.out);
    if (!l.empty()) l.erase(l.begin());
    return l;
  }

  TempStore store;
};

TEST_F(CommandTest, EachUsageErrorAndFailureGivesItsStatusAndOneMessage) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char *message;
  } cases[] = {
      {{}, 2, "subcommand is required"},
      {{"frobnicate", "DB"}, 2, "unknown command 'frobnicate'"},
      {{"info"}, 2, "store is required"},
      {{"info", "DB", "extra"}, 2, "extra"},
      {{"export", "DB"}, 2, "--format"},
      {{"export", "DB", "--format", "xml"}, 2, "xml"},
      {{"export", "DB", "--format", "csv", "--from", "soon"}, 2, "soon"},
      {{"export", "DB", "--format", "csv", "--to", "2023-02-29"}, 2, "2023-02-29"},
      {{"export", "DB", "--format", "csv", "--to", "2023-11-14T24:00"}, 2, "24:00"},
      {{"export", "DB", "--format", "csv", "--to", "2023-11-14T22:13:20."}, 2, "20."},
      {{"export", "DB", "--format", "csv", "--from", "+"}, 2, "+DURATION"},
      {{"export", "DB", "--format", "csv", "--from", "+5x"}, 2, "+5x"},
      {{"export", "DB", "--format", "csv", "--from", "-+5m"}, 2, "-+5m"},
      {{"export", "DB", "--format", "csv", "--from", "1700000010", "--to", "1700000000"},
       2,
       "is after --to"},
      {{"export", "DB", "--format", "csv", "--group", "Nope"}, 1, "no group 'Nope'"},
      {{"export", "DB", "--format", "csv", "--graph", "Nope"}, 1, "no graph 'Nope'"},
      {{"export", "DB", "--format", "csv", "--group", "Db", "--graph", "Graph 1"},
       1,
       "no graph 'Graph 1' in group 'Db'"},
      {{"export", "DB", "--format", "csv", "--label", "Server=S9"}, 1, "Server=S9"},
      {{"export", "DB", "--format", "csv", "--group", "Db", "--label", "Server=S1"},
       1,
       "Server=S1 in group 'Db'"},
      {{"export", "DB", "--format", "csv", "--label", "Server"}, 2, "TAG=VALUE"},
      {{"export", "DB", "--format", "csv", "--role", "fifth"}, 1, "role 'fifth'"},
      {{"series", "DB", "--graph", "Graph 0"}, 2, "--graph"},
      {{"info", "--format", "csv", "DB"}, 2, "csv"},
      {{"info", "/nonexistent/store.sqlite"}, 1, "no store at /nonexistent/store.sqlite"},
      {{"sql", "DB", "SELECT nonsense FROM samples"}, 1, "nonsense"},
      {{"sql", "DB", "DELETE FROM chunks"}, 2, "refused DELETE from chunks"},
      {{"report", "DB", "-o", "/nonexistent/dir/r.html"}, 1, "/nonexistent/dir/r.html"},
      {{"report", "DB", "-o", "/tmp"}, 1, "cannot write /tmp: it is a folder"},
      {{"report", "DB", "-o", ""}, 2, "--output: it needs a file name"},
      {{"report", "DB", "-o", "/dev/null", "--targets", "/tmp"},
       1,
       "cannot read /tmp: it is a folder"},
      {{"dashboard", "DB", "-o", "/nonexistent/d.json"}, 1, "folder /nonexistent does not exist"},
      {{"sql", "DB", "SELECT 1", "--timeout", "nan"}, 2, "not 'nan'"},
      {{"sql", "DB", "SELECT 1", "--timeout", "0"}, 2, "needs seconds above 0"},
      {{"push", "DB", "--url", "http://127.0.0.1:9/w", "--timeout", "abc"},
       2,
       "--timeout: needs a whole number from 1 to 86400, not 'abc'"},
      {{"push", "DB", "--url", "http://127.0.0.1:9/w", "--batch", "0"}, 2, "from 1 to 10000000"},
      {{"push", "DB", "--url", "http://127.0.0.1:9/w", "--retries", "-1"}, 2, "from 0 to 1000"},
      // An unset variable as the run would silently read every run.
      {{"export", "DB", "--format", "csv", "--run", ""}, 2, "--run: it needs a run"},
  };
  for (const Case &c : cases) {
    RunResult r = run(c.args);
    std::string what = testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << what << r.err;
    EXPECT_EQ(split_lines(r.err).size(), 1u) << what << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << what << r.err;
    EXPECT_EQ(r.err.rfind("orvtsdb: ", 0), 0u) << what << r.err;
  }
}

TEST_F(CommandTest, APageGoesThroughALinkOrIsRenamedIntoPlaceWhole) {
  // Through /dev/stdout: the page is written into the link's target, the
  // link itself stays.
  RunResult piped = run({"report", "DB", "-o", "/dev/stdout"});
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_TRUE(std::filesystem::is_symlink("/dev/stdout"));
  // Two reports to one name at once: each writes a file of its own, and
  // the name ends as one whole page with no temporary file beside it.
  std::string page = store.dir() + "/both.html";
  std::vector<std::thread> reports;
  std::vector<RunResult> results(2);
  for (RunResult &r : results)
    reports.emplace_back([&, out = &r] { *out = run({"report", "DB", "-o", page}); });
  for (std::thread &t : reports) t.join();
  for (const RunResult &r : results) ASSERT_EQ(r.status, 0) << r.err;
  std::string text = vzu_test::read_file(page);
  EXPECT_EQ(text.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(text.find("</html>\n"), std::string::npos);
  for (const auto &entry : std::filesystem::directory_iterator(store.dir()))
    EXPECT_EQ(entry.path().filename().string().find("both.html.tmp"), std::string::npos)
        << entry.path();
}

TEST_F(CommandTest, SqlJsonKeepsEveryColumnAndAnEndlessTimeoutIsNone) {
  // Two columns of one name (a join's two sids): neither value replaces the
  // other, and a key taken by another column is not reused.
  RunResult r = run({"sql", "DB", "SELECT 1 AS a, 2 AS a, 3 AS a_2", "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::parse(R"([{"a":1,"a_3":2,"a_2":3}])"));
  for (const char *timeout : {"1e10", "1e300"}) {
    RunResult endless = run({"sql", "DB", "SELECT count(*) FROM samples", "--timeout", timeout});
    EXPECT_EQ(endless.status, 0) << timeout << ": " << endless.err;
  }
}

/* Several statements: a table each, kept apart by a blank line in CSV and
 * text (a statement without columns prints nothing), a document a line in
 * JSON (an empty one for a statement without columns). */
TEST_F(CommandTest, SqlPrintsATableAStatementKeptApart) {
  const std::string sql = "SELECT 1 AS a; BEGIN; SELECT 2 AS b, 3 AS c; COMMIT; SELECT 4 AS d";
  const std::pair<const char *, const char *> formats[] = {
      {"csv", "a\n1\n\nb,c\n2,3\n\nd\n4\n"},
      {"table", "a\n-\n1\n\nb | c\n--+--\n2 | 3\n\nd\n-\n4\n"},
      {"json", "[{\"a\":1}]\n[]\n[{\"b\":2,\"c\":3}]\n[]\n[{\"d\":4}]\n"}};
  for (const auto &[format, out] : formats) {
    RunResult r = run({"sql", "DB", sql, "--format", format});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, out) << format;
  }
}

TEST_F(CommandTest, SqlTableAlignsByCharactersAndStreamsPastItsFirstRows) {
  RunResult r = run({"sql", "DB",
                     "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 10005) "
                     "SELECT x, 'é' AS e, x AS y FROM c",
                     "--format", "table"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 2u + 10005u);
  EXPECT_EQ(lines[0], "x     | e | y");
  EXPECT_EQ(lines[1], "------+---+------");
  EXPECT_EQ(lines[2], "1     | é | 1");
  // Past the rows that set the widths, rows keep them.
  EXPECT_EQ(lines.back(), "10005 | é | 10005");
}

TEST_F(CommandTest, HelpPerCommandVersionAndOptionsInAnyOrder) {
  struct Case {
    std::vector<std::string> args;
    const char *shows;
  } cases[] = {{{"--help"}, "report"},
               {{"export", "--help"}, "--label"},
               {{"sql", "--help"}, "samples"},
               {{"report", "--help"}, "--output"},
               {{"--version"}, "orvtsdb 1."}};
  for (const Case &c : cases) {
    RunResult r = run(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(c.shows), std::string::npos) << r.out;
  }
  RunResult after = run({"export", "DB", "--group", "Db", "--format", "csv"});
  RunResult before = run({"export", "--format", "csv", "--group", "Db", "DB"});
  EXPECT_EQ(before.status, 0) << before.err;
  EXPECT_EQ(before.out, after.out);
}

TEST_F(CommandTest, TimesAsEpochSecondsOrIso8601SelectTheSameSamples) {
  // Each form names 1700000010; --from X --to X keeps the samples at that time.
  for (const char *t :
       {"1700000010", "2023-11-14T22:13:30Z", "2023-11-14 22:13:30", "2023-11-14t22:13:30z",
        "2023-11-14T23:13:30+01:00", "2023-11-14T21:13:30-0100", "2023-11-15T00:13:30+02",
        "1700000010000", "2023-11-14T22:13:30.000Z", "2023-11-14 22:13:30.0", "+10s"}) {
    auto rows = csv_rows({"--from", t, "--to", t});
    EXPECT_EQ(rows.size(), 12u) << t;  // 96 values / 8 steps
    for (const std::string &row : rows) EXPECT_NE(row.find(",1700000010,"), std::string::npos) << t;
  }
  EXPECT_EQ(csv_rows({"--from", "2023-11-14"}).size(), 96u);
}

/* The first and last time of a CSV export's rows. */
std::pair<int64_t, int64_t> time_span(const std::vector<std::string> &rows) {
  std::pair<int64_t, int64_t> span{INT64_MAX, INT64_MIN};
  for (const std::string &row : rows) {
    auto f = csv_fields(row);
    int64_t t = std::stoll(f[f.size() - 2]);
    span = {std::min(span.first, t), std::max(span.second, t)};
  }
  return span;
}

TEST_F(CommandTest, AMomentInsideASecondAndOffsetsFromTheRunsStartNameWholeSeconds) {
  struct Case {
    std::vector<std::string> args;
    int64_t first, last;
  } cases[] = {
      // Milliseconds and fractions: --from starts at the next stored second,
      // --to ends at the second it lies in.
      {{"--from", "1700000010500"}, T0 + 20, T0 + 70},
      {{"--to", "1700000010500"}, T0, T0 + 10},
      {{"--from", "2023-11-14T22:13:30.001Z", "--to", "2023-11-14T22:13:50.999Z"},
       T0 + 20,
       T0 + 30},
      {{"--from", "2023-11-14T23:13:29.5+01:00"}, T0 + 10, T0 + 70},
      // Offsets count from the first stored sample.
      {{"--from", "+10s", "--to", "+30"}, T0 + 10, T0 + 30},
      {{"--from", "+1m"}, T0 + 60, T0 + 70},
      {{"--to", "+0s"}, T0, T0},
      {{"--from", "+15s", "--to", "1700000040"}, T0 + 20, T0 + 40},
  };
  for (const Case &c : cases)
    EXPECT_EQ(time_span(csv_rows(c.args)), std::make_pair(c.first, c.last))
        << testing::PrintToString(c.args);
}

TEST_F(CommandTest, ASelectionThatMatchesNothingIsAnErrorInEveryCommand) {
  struct Case {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {{"export", "DB", "--format", "csv", "--to", "2023-11-14"},
       "is before the store's first sample at 2023-11-14 22:13:20"},
      {{"report", "DB", "--from", "2023-11-15", "-o", "/dev/null"},
       "is after the store's last sample at 2023-11-14 22:14:30"},
      {{"export", "DB", "--format", "json", "--from", "+2h"}, "is after the store's last sample"},
      {{"export", "DB", "--format", "csv", "--to", "-1500"}, "is before the store's first sample"},
      // Inside the run, but between two samples.
      {{"export", "DB", "--format", "openmetrics", "--from", "1700000011", "--to", "1700000019"},
       "no sample of the store is stored from 2023-11-14 22:13:31 to 2023-11-14 22:13:39 (UTC)"},
      {{"export", "DB", "--format", "csv", "--from", "1700000010500", "--to", "1700000011"},
       "no sample of the store is stored from 2023-11-14 22:13:31 to 2023-11-14 22:13:31"},
      {{"report", "DB", "--group", "Db", "--from", "+11s", "--to", "+19s", "-o", "/dev/null"},
       "no sample of group 'Db' is stored from"},
      {{"push", "DB", "--url", "http://127.0.0.1:9/api/v1/write", "--label", "Server=S2", "--from",
        "+1s", "--to", "+9s"},
       "no sample of label Server=S2 is stored from"},
      {{"series", "DB", "--group", "Nope"}, "no group 'Nope'"},
  };
  for (const Case &c : cases) {
    RunResult r = run(c.args);
    std::string what = testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 1) << what << r.err;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(split_lines(r.err).size(), 1u) << what << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << what << r.err;
  }
}

TEST_F(CommandTest, GroupGraphLabelAndRoleNarrowTheExport) {
  struct Case {
    std::vector<std::string> args;
    size_t rows;
  } cases[] = {
      {{}, 96},
      {{"--group", "Web Pages"}, 80},
      {{"--group", "Web Pages", "--graph", "Graph 0"}, 64},
      {{"--graph", "Graph 0"}, 80},  // in every group
      {{"--label", "Server=S1"}, 40},
      {{"--label", "Server=S1", "--label", "Tier=T1"}, 40},
      {{"--role", "avg"}, 16},
      {{"--role", "value"}, 32},
      {{"--role", "max", "--label", "Server=S2", "--from", "1700000030"}, 5},
  };
  for (const Case &c : cases)
    EXPECT_EQ(csv_rows(c.args).size(), c.rows) << testing::PrintToString(c.args);
}

TEST_F(CommandTest, CsvHasAColumnPerTagAndQuotesAsRfc4180) {
  RunResult r = run({"export", "DB", "--format", "csv", "--group", "Db", "--to", "1700000000"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto l = split_lines(r.out);
  ASSERT_EQ(l.size(), 2u) << r.out;
  EXPECT_EQ(l[0], "group,graph,role,sid,customer,application,Tier,Server,time,value");
  EXPECT_EQ(l[1], "Db,Graph 0,value,3,Default,Default,T1,\"x\"\"y,z\",1700000000,42");
  auto missing = csv_rows({"--group", "Web Pages", "--graph", "Graph 1", "--label", "Server=S1",
                           "--from", "1700000020", "--to", "1700000020"});
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(csv_fields(missing[0]).back(), "") << "a missing sample has an empty value";
}

/* A tag named as a fixed column heads its column "tag_<name>", so no two
 * columns of the header share a name. */
TEST(CsvHeader, ATagNamedAsAFixedColumnTakesThePrefixTag) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(T0), 0);
  int gid = register_group("Web", {0});
  tag_val_ptr_t tv[4] = {{(char *)"time", (char *)"t"},
                         {(char *)"tag_time", (char *)"u"},
                         {(char *)"run", (char *)"r"},
                         {(char *)"Value", (char *)"v"}};
  void *id = tsdb_malloc_metric_id_buffer(1);
  char err[TSDB_ERR_MSG_LEN] = "";
  double value = 5;
  ASSERT_EQ(tsdb_insert_bulk_metric_by_mg_gid_ex(tv, nullptr, nullptr, 0, 4, gid, 10, &value, 1, id,
                                                 0, err, 1),
            0)
      << err;
  tsdb_migration_increment_sample_ex(10);
  ASSERT_EQ(tsdb_exit_migration(T0 + 10), 0);
  std::free(id);
  RunResult r = vzu_test::run_program(ORVTSDB_COMMAND, {"export", store.db(), "--format", "csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto l = split_lines(r.out);
  ASSERT_EQ(l.size(), 2u) << r.out;
  EXPECT_EQ(l[0], "group,graph,role,sid,tag_time,tag_time_,tag_run,Value,time,value");
  EXPECT_EQ(l[1], "Web,Graph 0,value,1,t,u,r,v,1700000000,5");
}

TEST_F(CommandTest, ValuesReadBackExactlyFromCsvJsonAndSql) {
  auto rows = csv_rows({"--group", "Exact"});
  ASSERT_EQ(rows.size(), (size_t)STEPS);
  for (int i = 0; i < STEPS; i++)
    EXPECT_TRUE(same_bits(std::strtod(csv_fields(rows[i]).back().c_str(), nullptr), EXACT[i]))
        << rows[i];

  RunResult r = run({"export", "DB", "--format", "json", "--group", "Exact"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto j = nlohmann::json::parse(r.out);
  ASSERT_EQ(j.size(), 1u);
  EXPECT_EQ(j[0]["labels"]["Server"], "E1");
  ASSERT_EQ(j[0]["points"].size(), (size_t)STEPS);
  for (int i = 0; i < STEPS; i++) {
    EXPECT_EQ(j[0]["points"][i][0], T0 + 10 * i);
    EXPECT_TRUE(same_bits(j[0]["points"][i][1].get<double>(), EXACT[i])) << j[0]["points"][i];
  }

  r = run(
      {"sql", "DB", "SELECT time, value FROM samples WHERE group_name = 'Exact' ORDER BY time"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto l = split_lines(r.out);
  ASSERT_EQ(l.size(), 1u + STEPS);
  EXPECT_EQ(l[0], "time,value") << "CSV with a header when stdout is no terminal";
  for (int i = 0; i < STEPS; i++)
    EXPECT_TRUE(same_bits(std::strtod(csv_fields(l[1 + i])[1].c_str(), nullptr), EXACT[i]))
        << l[1 + i];
}

TEST_F(CommandTest, JsonLinesHoldTheJsonExportsObjectsOneALineAndExportSaysWhatItWrote) {
  RunResult doc = run({"export", "DB", "--format", "json", "--from", "+20s"});
  RunResult lines = run({"export", "DB", "--format", "jsonl", "--from", "+20s"});
  ASSERT_EQ(lines.status, 0) << lines.err;
  auto objects = split_lines(lines.out);
  auto j = nlohmann::json::parse(doc.out);
  ASSERT_EQ(objects.size(), j.size());
  for (size_t i = 0; i < objects.size(); i++) EXPECT_EQ(nlohmann::json::parse(objects[i]), j[i]);
  // 6 times of 4 series: S1 and S2 in two graphs (4 roles + 1), Db and Exact
  // in one (1 role): 6 * (2 * 2 + 2) samples, 6 * (2 * 5 + 2) values.
  EXPECT_EQ(lines.err,
            "export: 36 samples (72 values) of 4 series, 2023-11-14 22:13:40 .. 2023-11-14 "
            "22:14:30 UTC (ms 1700000020000 .. 1700000070000), run #1 (store)\n");
  EXPECT_EQ(doc.err, lines.err);
  // Every format says the same of what it read, OpenMetrics and CSV too.
  for (const char *format : {"csv", "openmetrics"})
    EXPECT_EQ(run({"export", "DB", "--format", format, "--from", "+20s"}).err, lines.err) << format;
}

TEST_F(CommandTest, ListingsInTextAndJson) {
  RunResult r = run({"info", "DB"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char *line : {"groups      3", "series      4 (0 ended)", "samples     48",
                           "values      96", "1700000000..1700000070"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

  r = run({"info", "DB", "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto info = nlohmann::json::parse(r.out);
  EXPECT_EQ(info["values"], 96);
  EXPECT_EQ(info["first_time"], T0);
  EXPECT_EQ(info["migrations"].size(), 1u);

  r = run({"groups", "DB", "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto groups = nlohmann::json::parse(r.out);
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0]["name"], "Web Pages");
  EXPECT_EQ(groups[0]["graphs"], nlohmann::json({"Graph 0", "Graph 1"}));
  EXPECT_EQ(groups[0]["series"], 2);

  r = run({"series", "DB", "--format", "json", "--label", "Server=S2"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto series = nlohmann::json::parse(r.out);
  ASSERT_EQ(series.size(), 1u);
  EXPECT_EQ(series[0]["labels"]["Tier"], "T1");
  EXPECT_TRUE(series[0]["ended"].is_null());
  EXPECT_EQ(split_lines(run({"series", "DB", "--group", "Db"}).out).size(), 2u);

  r = run({"sql", "DB",
           "SELECT role, value FROM samples WHERE sid = 2 AND time = 1700000000 "
           "ORDER BY rowid LIMIT 2",
           "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out),
            nlohmann::json::parse(R"([{"role":"avg","value":2.5},{"role":"min","value":2}])"));
  r = run({"sql", "DB", "SELECT 1 AS a, NULL AS b", "--format", "table"});
  EXPECT_EQ(r.out, "a | b\n--+--\n1 |\n");
}

/* A CSV cell is made once and reused while its column holds the same text:
 * every change of text, type or quoting between rows must show. */
TEST_F(CommandTest, SqlCsvCellsFollowEveryChangeFromRowToRow) {
  RunResult r = run({"sql", "DB",
                     "SELECT column1 AS c FROM (VALUES ('a,b'), ('a,b'), ('c'), ('=x'), ('=x'), "
                     "('c'), (NULL), ('c'), ('ab' || char(0) || 'cd'), ('ab'), ('ab' || char(0)), "
                     "(x'00ff'), ('00ff'), (7), ('7'), (2.5), ('2.5'), (''))",
                     "--format", "csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  using namespace std::string_literals;  // the NULs are part of the texts
  EXPECT_EQ(r.out,
            "c\n\"a,b\"\n\"a,b\"\nc\n\"'=x\"\n\"'=x\"\nc\n\nc\nab\0cd\nab\nab\0\n"
            "00ff\n00ff\n7\n7\n2.5\n2.5\n\n"s);
}

/* The samples table gives every row the names and labels of its own series,
 * kept by the table rather than copied into each row: they must stay right
 * across chunks and series, and in aggregates that keep one row's text. */
TEST_F(CommandTest, SamplesTableTextsAreTheSeriesOwn) {
  auto one = [&](const std::string &sql) {
    RunResult r = run({"sql", "DB", sql, "--format", "csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  EXPECT_EQ(one("SELECT count(*) FROM samples s JOIN series x ON x.sid = s.sid JOIN groups g ON "
                "g.gid = x.gid LEFT JOIN graphs h ON h.gid = x.gid AND h.idx = s.graph "
                "WHERE s.labels IS NOT x.labels OR s.group_name IS NOT g.name "
                "OR s.graph_name IS NOT IFNULL(h.name, '')"),
            "count(*)\n0\n");
  EXPECT_EQ(one("SELECT max(labels) a, min(labels) b, max(group_name) c, min(group_name) d "
                "FROM samples"),
            one("SELECT max(labels) a, min(labels) b, max(name) c, min(name) d FROM series "
                "JOIN groups USING (gid)"));
  EXPECT_EQ(one("SELECT DISTINCT sid, labels, role FROM samples ORDER BY 1, 2, 3"),
            one("SELECT DISTINCT s.sid, x.labels, s.role FROM samples s JOIN series x "
                "ON x.sid = s.sid ORDER BY 1, 2, 3"));
}

/* The table narrows its rows by sid, names and time only where SQLite
 * compares as it does: under another collation, or against a bound that is
 * no number, every row SQLite's own comparison keeps comes back (as from
 * a materialized copy, which no constraint reaches). */
TEST_F(CommandTest, SamplesTableKeepsEveryRowSqliteWould) {
  auto one = [&](const std::string &sql) {
    RunResult r = run({"sql", "DB", sql, "--format", "csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  const std::string group = "(SELECT upper(group_name) FROM samples LIMIT 1)";
  for (const std::string &where : std::vector<std::string>{
           "group_name = " + group + " COLLATE NOCASE",
           "group_name = " + group + " || '  ' COLLATE RTRIM",
           "graph_name = upper(graph_name) COLLATE NOCASE", "time < 'abc'", "time < x'00'",
           "time > 'abc'", "time <= '1700000100'", "time >= 1700000000.5", "time < 1700000010.5",
           "sid = '1'", "sid = 1.5"}) {
    SCOPED_TRACE(where);
    EXPECT_EQ(one("SELECT count(*) FROM samples WHERE " + where),
              one("WITH s AS MATERIALIZED (SELECT * FROM samples) SELECT count(*) FROM s WHERE " +
                  where));
  }
  EXPECT_NE(one("SELECT count(*) FROM samples WHERE time < 'abc'"), "count(*)\n0\n");
}

/* The dashboard is made of graphs that hold samples: a transaction group
 * registered without a vector (so without a sample) is no response time to
 * chart; the store's other one is. */
TEST_F(CommandTest, TheDashboardChartsGraphsThatHoldSamples) {
  ASSERT_EQ(tsdb_init_migration(T0 + 1000), 0);
  register_group("Transaction Stats", {3});
  ASSERT_EQ(tsdb_exit_migration(T0 + 1000), 0);
  RunResult r = run({"dashboard", "DB"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string expr = nlohmann::json::parse(r.out)["panels"][0]["targets"][0]["expr"];
  EXPECT_NE(expr.find("web_pages_"), std::string::npos) << expr;
  EXPECT_EQ(r.out.find("transaction_stats"), std::string::npos);
}

TEST_F(CommandTest, OpenMetricsFollowsTheTextFormatRules) {
  RunResult r = run({"export", "DB", "--format", "openmetrics"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto l = split_lines(r.out);
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
    // a gauge's lines carry its name, a summary's its name and _count or _sum
    EXPECT_EQ(l[i].rfind(family, 0), 0u) << l[i];
    EXPECT_NE(std::string("{_").find(l[i][family.size()]), std::string::npos) << l[i];
    std::string series = l[i].substr(0, l[i].rfind('}') + 1);
    long t = std::stol(l[i].substr(l[i].rfind(' ') + 1));
    EXPECT_LT(last_time[series], t) << l[i];
    last_time[series] = t;
  }
  // times: 2 series x 8 x (avg, min, max, count, sum) and the counters'
  // start; sample: 16 less the missing one; Db and Exact 8 each
  EXPECT_EQ(sample_lines, 80 + 2 * 2 + 15 + 8 + 8);
  EXPECT_NE(r.out.find("web_pages_graph_0_max{application=\"Default\",customer=\"Default\","
                       "graph=\"Graph 0\",group=\"Web Pages\",run_id="),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("server=\"S1\",tier=\"T1\"} 2 1700000000\n"), std::string::npos);
  EXPECT_NE(r.out.find("# TYPE web_pages_graph_0 summary\n"), std::string::npos);
  // counts and sums run up over the run (avg 2.5 x count 4 an interval)
  // from 0 an interval before the first sample
  for (const char *line : {"web_pages_graph_0_count{", "web_pages_graph_0_sum{"}) {
    size_t at = r.out.find(line);
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_EQ(r.out.substr(r.out.find('}', at), 15), "} 0 1699999990\n") << line;
  }
  EXPECT_NE(r.out.find("server=\"S2\",tier=\"T1\"} 32 1700000070\n"), std::string::npos);
  EXPECT_NE(r.out.find("server=\"S2\",tier=\"T1\"} 80 1700000070\n"), std::string::npos);
  EXPECT_NE(r.out.find("server=\"x\\\"y,z\",tier=\"T1\"} 42 1700000070"), std::string::npos)
      << r.out;
}

/* HELP text is escaped as a label value is: a double quote too. */
TEST_F(CommandTest, OpenMetricsHelpEscapesQuotesAndBackslashes) {
  ASSERT_EQ(tsdb_init_migration(T0 + 1000), 0);
  int gid = register_group("Say \"hi\" \\ there", {0});
  Vec v("S1");
  v.insert(gid, {1});
  tsdb_migration_increment_sample_ex(10);
  ASSERT_EQ(tsdb_exit_migration(T0 + 1010), 0);
  RunResult r = run({"export", "DB", "--format", "openmetrics", "--group", "Say \"hi\" \\ there"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n# HELP say_hi_there_graph_0 Say \\\"hi\\\" \\\\ there / Graph 0\n"),
            std::string::npos)
      << r.out;
}

TEST_F(CommandTest, AnAlignedOpenMetricsExportMovesEverySampleEitherWay) {
  RunResult plain = run({"export", "DB", "--format", "openmetrics"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  auto samples = [](const std::string &out) {
    std::vector<std::string> lines = split_lines(out);
    return std::count_if(lines.begin(), lines.end(),
                         [](const std::string &l) { return !l.empty() && l[0] != '#'; });
  };
  // Earlier and later than the run: the whole run, moved, with or without --from.
  for (const char *to : {"1600000000", "1800000000"})
    for (bool from : {false, true}) {
      std::vector<std::string> args = {"export",        "DB", "--format", "openmetrics",
                                       "--align-start", to};
      if (from) args.insert(args.end(), {"--from", "1699999000"});
      RunResult r = run(args);
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(samples(r.out), samples(plain.out)) << to << (from ? " --from" : "");
      EXPECT_NE(r.out.find(std::string(" ") + std::string(to, 4)), std::string::npos) << r.out;
    }
  // Moved to the epoch: its closing line's milliseconds start at 0.
  RunResult epoch = run({"export", "DB", "--format", "csv", "--align-start", "0"});
  ASSERT_EQ(epoch.status, 0) << epoch.err;
  EXPECT_NE(epoch.err.find("UTC (ms 0 .. 70000)"), std::string::npos) << epoch.err;
}

TEST_F(CommandTest, PromtoolBackfillsTheOpenMetricsExport) {
  if (std::system("command -v promtool >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "promtool not on PATH (Debian package prometheus)";
  RunResult r = run({"export", "DB", "--format", "openmetrics", "--group", "Web Pages"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string file = store.dir() + "/export.om";
  std::ofstream(file) << r.out;
  RunResult p = vzu_test::run_program("/bin/sh", {"-c",
                                                  "promtool tsdb create-blocks-from "
                                                  "openmetrics " +
                                                      file + " " + store.dir() + "/blocks"});
  EXPECT_EQ(p.status, 0) << p.out << p.err;
}

/* An interval in which no transaction finished keeps its stored zeros, but
 * every export shows its average, minimum and maximum as absent (and its
 * count of 0), as push and compare do: zeros are no response times. */
TEST(EmptyIntervals, ReadAsAbsentInEveryExportFormat) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(T0), 0);
  int gid = register_group("Web", {3});
  Vec v("S1");
  v.insert(gid, {120, 100, 140, 2});
  tsdb_migration_increment_sample_ex(10);
  v.insert(gid, {0, 0, 0, 0});  // no transaction finished
  tsdb_migration_increment_sample_ex(10);
  ASSERT_EQ(tsdb_exit_migration(T0 + 20), 0);
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"export", store.db(), "--format"});
    RunResult r = vzu_test::run_program(ORVTSDB_COMMAND, args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  std::vector<std::string> csv = split_lines(run({"csv", "--from", std::to_string(T0 + 10)}));
  ASSERT_EQ(csv.size(), 5u);
  for (int r = 1; r <= 3; r++) EXPECT_EQ(csv_fields(csv[r]).back(), "") << csv[r];
  EXPECT_EQ(csv_fields(csv[4]).back(), "0") << "the count stays";
  auto json = nlohmann::json::parse(run({"json", "--role", "avg"}));
  EXPECT_EQ(json[0]["points"], nlohmann::json::parse("[[1700000000, 120], [1700000010, null]]"));
  std::vector<std::string> at_empty;
  for (const std::string &l : split_lines(run({"openmetrics"})))
    if (l.size() > 11 && l.compare(l.size() - 11, 11, " 1700000010") == 0) at_empty.push_back(l);
  // only the counters, which it adds 0 to
  ASSERT_EQ(at_empty.size(), 2u);
  EXPECT_EQ(at_empty[0].rfind("web_graph_0_count{", 0), 0u) << at_empty[0];
  EXPECT_NE(at_empty[0].find("} 2 1700000010"), std::string::npos) << at_empty[0];
  EXPECT_EQ(at_empty[1].rfind("web_graph_0_sum{", 0), 0u) << at_empty[1];
  EXPECT_NE(at_empty[1].find("} 240 1700000010"), std::string::npos) << at_empty[1];
  // the stored zeros stay, for whoever asks the store itself; `reading`
  // gives what the readers show: the avg of the interval with transactions.
  RunResult sql = vzu_test::run_program(
      ORVTSDB_COMMAND, {"sql", store.db(), "SELECT COUNT(*) FROM samples WHERE value = 0"});
  EXPECT_EQ(split_lines(sql.out).at(1), "4");
  sql = vzu_test::run_program(ORVTSDB_COMMAND,
                              {"sql", store.db(),
                               "SELECT role, avg(value), avg(reading), count(reading) FROM samples "
                               "GROUP BY role ORDER BY role"});
  EXPECT_EQ(sql.out,
            "role,avg(value),avg(reading),count(reading)\n"
            "avg,60,120,1\ncount,1,1,2\nmax,70,140,1\nmin,50,100,1\n");
}

/* A NaN or infinite value written through the calls is no value to an
 * engine: the OpenMetrics export and push leave it out, add nothing of it to
 * `_count` and `_sum` (one NaN average would make every later sum NaN), and
 * their closing lines say how many they left out. */
TEST(NonFiniteValues, AreLeftOutOfTheEngineOutputsAndCounted) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(T0), 0);
  int gid = register_group("Web", {3});
  Vec v("S1");
  for (int i = 0; i < 6; i++) {
    v.insert(gid, {i == 2 ? NAN : 100.0, 50, i == 4 ? -INFINITY : 150, 2});
    tsdb_migration_increment_sample_ex(10);
  }
  ASSERT_EQ(tsdb_exit_migration(T0 + 60), 0);
  RunResult om = vzu_test::run_program(ORVTSDB_COMMAND,
                                       {"export", store.db(), "--format", "openmetrics"});
  ASSERT_EQ(om.status, 0) << om.err;
  for (const std::string &l : split_lines(om.out)) {
    if (l[0] == '#') continue;
    EXPECT_EQ(l.find("NaN"), std::string::npos) << l;
    EXPECT_EQ(l.find("Inf"), std::string::npos) << l;
  }
  EXPECT_NE(om.out.find("web_graph_0_sum{"), std::string::npos) << om.out;
  // five intervals of avg 100 x count 2; the count counts all six
  EXPECT_NE(om.out.find("} 1000 1700000050\n"), std::string::npos) << om.out;
  EXPECT_NE(om.out.find("} 12 1700000050\n"), std::string::npos) << om.out;
  EXPECT_NE(om.err.find("; 2 non-finite values left out\n"), std::string::npos) << om.err;
  RunResult one = vzu_test::run_program(
      ORVTSDB_COMMAND, {"export", store.db(), "--format", "openmetrics", "--role", "avg"});
  EXPECT_NE(one.err.find("; 1 non-finite value left out\n"), std::string::npos) << one.err;
  RunResult push = vzu_test::run_program(
      ORVTSDB_COMMAND, {"push", store.db(), "--url", "http://127.0.0.1:9/api/v1/write", "--dry-run",
                        "--from", std::to_string(T0 + 30)});
  ASSERT_EQ(push.status, 0) << push.err;
  EXPECT_NE(push.out.find("; 1 non-finite value left out\n"), std::string::npos) << push.out;
}

}  // namespace

namespace {

/* A group whose name is not UTF-8 and a server name that a spreadsheet would
 * run as a formula: every output format still writes them, JSON parses and
 * keeps the stored bytes readable, CSV shows the formula as text. */
TEST(HostileText, NamesThatAreNotUtf8OrFormulasReadBackSafelyEverywhere) {
  TempStore store;
  const std::string bad = "Metric \xff\xfe times";
  ASSERT_EQ(tsdb_init_migration(T0), 0);
  int gid = register_group(bad, {0});
  Vec v("=HYPERLINK(\"http://x\")", 1);
  for (int i = 0; i < 3; i++) {
    v.insert(gid, {1.0 + i});
    tsdb_migration_increment_sample_ex(10);
  }
  ASSERT_EQ(tsdb_exit_migration(T0 + 30), 0);
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin() + 1, store.db());
    return vzu_test::run_program(ORVTSDB_COMMAND, args);
  };
  const std::string hex = "(hex 4d657472696320fffe2074696d6573)";
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"export", "--format", "json"},
           {"groups", "--format", "json"},
           {"info", "--format", "json"},
           {"sql", "SELECT group_name FROM samples LIMIT 1", "--format", "json"}}) {
    RunResult r = run(args);
    ASSERT_EQ(r.status, 0) << args.front() << ": " << r.err;
    EXPECT_TRUE(nlohmann::json::accept(r.out)) << args.front() << ": " << r.out;
    if (args.front() != "info") {
      EXPECT_NE(r.out.find(hex), std::string::npos) << r.out;
    }
  }
  RunResult csv = run({"export", "--format", "csv"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_NE(csv.out.find("\"'=HYPERLINK(\"\"http://x\"\")\""), std::string::npos) << csv.out;
  RunResult om = run({"export", "--format", "openmetrics"});
  ASSERT_EQ(om.status, 0) << om.err;
  EXPECT_EQ(om.out.find('\xff'), std::string::npos);
  std::string page = store.dir() + "/page.html";
  RunResult report = run({"report", "--output", page});
  ASSERT_EQ(report.status, 0) << report.err;
  EXPECT_NE(vzu_test::read_file(page).find(hex), std::string::npos);
}

}  // namespace

namespace {

/* Graphs whose names differ only in what the engine mapping drops (a
 * converted unit) share one metric name: the export writes them as one
 * family, told apart by the graph label, whatever the selection (as push
 * sends them); one whose graph label is also the same would make the same
 * series, and takes its own name everywhere. Each dashboard panel asks for
 * its own graph's series, in the unit its name ends in. */
TEST(SharedEngineName, GraphsOfOneNameShareItsFamilyInTheExportAndKeepApartInTheDashboard) {
  TempStore store;
  ASSERT_EQ(tsdb_init_migration(T0), 0);
  tsdb_metric_group g{};
  std::snprintf(g.group_name, sizeof g.group_name, "Srv");
  g.num_graphs = 6;
  g.group_type = 1;
  std::vector<tsdb_metric_info> graphs(6);
  const char *names[6] = {"CPU (Pct)",     "Load",    "CPU Percent",
                          "Response (ms)", "CPU (%)", "Response Seconds"};
  // a times graph (which a dashboard needs) and a timesStd graph of its name
  const unsigned char types[6] = {0, 0, 0, 3, 0, 4};
  for (int i = 0; i < 6; i++) {
    graphs[i] = tsdb_metric_info{};
    graphs[i].data_type = types[i];
    std::snprintf(graphs[i].graph_name, sizeof graphs[i].graph_name, "%s", names[i]);
  }
  char err[TSDB_ERR_MSG_LEN] = "";
  int gid = tsdb_register_gdf(&g, 6, graphs.data(), err);
  ASSERT_GE(gid, 0) << err;
  Vec v("S1", 6);
  for (int i = 0; i < 2; i++) {
    v.insert(gid, {10.0 + i, 0.5, 20.0 + i, 100, 90, 110, 2, 30.0 + i, 1, 1, 1, 1, 7});
    tsdb_migration_increment_sample_ex(10);
  }
  ASSERT_EQ(tsdb_exit_migration(T0 + 20), 0);
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin() + 1, store.db());
    RunResult r = vzu_test::run_program(ORVTSDB_COMMAND, args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  // the lines of srv_cpu_*: a TYPE line's name, a sample line's name and labels from graph= on
  auto family_lines = [](const std::string &out) {
    std::vector<std::string> lines;
    for (const std::string &l : split_lines(out))
      if (l.rfind("srv_cpu_", 0) == 0 || l.rfind("# TYPE srv_cpu", 0) == 0)
        lines.push_back(l.substr(0, l.find('{')) + (l[0] == '#' ? "" : l.substr(l.find("graph="))));
    return lines;
  };
  const std::string own = "srv_cpu_percent_" + std::to_string(gid) + "_4";
  std::vector<std::string> all = family_lines(run({"export", "--format", "openmetrics"}));
  ASSERT_EQ(all.size(), 8u);
  EXPECT_EQ(all[0], "# TYPE srv_cpu_percent gauge");
  for (int i = 1; i < 5; i++) EXPECT_EQ(all[i].rfind("srv_cpu_percentgraph=", 0), 0u) << all[i];
  EXPECT_NE(all[1].find("graph=\"CPU\""), std::string::npos) << all[1];
  EXPECT_NE(all[3].find("graph=\"CPU Percent\""), std::string::npos) << all[3];
  EXPECT_EQ(all[5], "# TYPE " + own + " gauge");
  EXPECT_EQ(all[6].rfind(own + "graph=\"CPU\"", 0), 0u) << all[6];
  std::vector<std::string> one = family_lines(
      run({"export", "--format", "openmetrics", "--graph", "CPU Percent"}));
  ASSERT_EQ(one.size(), 3u);
  EXPECT_EQ(one[1], all[3]);
  EXPECT_EQ(one[2], all[4]);
  EXPECT_EQ(family_lines(run({"export", "--format", "openmetrics", "--graph", "CPU (%)"}))[1],
            all[6]);
  // The spread only the timesStd graph of a shared name has is in its family.
  std::string text = run({"export", "--format", "openmetrics"});
  EXPECT_NE(text.find("# TYPE srv_response_seconds_spread gauge\n"), std::string::npos) << text;
  EXPECT_NE(text.find("srv_response_seconds_spread{application"), std::string::npos) << text;

  auto dash = nlohmann::json::parse(run({"dashboard"}));
  std::vector<std::string> cpu;
  for (const auto &p : dash["panels"])
    if (p["title"].get<std::string>().rfind("CPU: ", 0) == 0) {
      EXPECT_EQ(p["fieldConfig"]["defaults"]["unit"], "percent");
      cpu.push_back(p["targets"][0]["expr"]);
    }
  ASSERT_EQ(cpu.size(), 3u);
  EXPECT_NE(cpu[0].find("graph=\"CPU\""), std::string::npos) << cpu[0];
  EXPECT_NE(cpu[1].find("graph=\"CPU Percent\""), std::string::npos) << cpu[1];
  EXPECT_EQ(cpu[2].rfind(own + "{", 0), 0u) << cpu[2];
}

}  // namespace
