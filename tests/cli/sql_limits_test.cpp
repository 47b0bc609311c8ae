/*
 * sql_limits_test.cpp - SQL given to `orvtsdb sql` cannot reach the
 * process, run without end or take the machine's memory: functions outside
 * the reader's list are refused as the statement is prepared (the
 * full-text tokenizer's address and the jump through it included), an
 * endless query stops at --timeout with exit 1 and one line, streamed JSON
 * stays small while it runs, and a huge value is refused by the length
 * limit. What a reader legitimately calls still answers.
 */
#include <gtest/gtest.h>

#include <sqlite3.h>

#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;

namespace {

const char *const ENDLESS = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) ";

class SqlLimitsTest : public testing::Test {
 protected:
  void SetUp() override { migrate(1000, 200, 2, 1); }

  vzu_test::RunResult sql(const std::vector<std::string> &args) {
    std::vector<std::string> all = {"sql", store_.db()};
    all.insert(all.end(), args.begin(), args.end());
    return vzu_test::run_program(ORVTSDB_COMMAND, all, {}, 60000);
  }

  /* The command under a 512 MiB address space, its output thrown away.
   * Under AddressSanitizer, which maps terabytes of shadow memory, there is
   * no such limit: the query's own limits still have to give their message. */
  vzu_test::RunResult sql_in_512_mib(const std::string &args) {
#if defined(__SANITIZE_ADDRESS__)
    const std::string limit;
#else
    const std::string limit = "ulimit -v 524288; ";
#endif
    return vzu_test::run_program("/bin/sh",
                                 {"-c", limit + "exec '" + ORVTSDB_COMMAND + "' sql '" +
                                            store_.db() + "' " + args + " > /dev/null"},
                                 {}, 60000);
  }

  TempStore store_;
};

TEST_F(SqlLimitsTest, FunctionsOutsideTheReadersListAreRefusedBeforeTheyRun) {
  // A file with a full-text table of its own, as any attached file may hold.
  std::string fts = store_.dir() + "/fts.sqlite";
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(fts.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE VIRTUAL TABLE t USING fts3(x); INSERT INTO t VALUES('hello')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::pair<const char *, std::string> cases[] = {
      {"fts3_tokenizer", "SELECT hex(fts3_tokenizer('simple'))"},
      {"fts3_tokenizer", "ATTACH '" + fts +
                             "' AS a; SELECT fts3_tokenizer('simple', x'4141414141414141'); "
                             "SELECT * FROM a.t WHERE t MATCH 'hello'"},
      {"load_extension", "SELECT load_extension('" + store_.dir() + "/none')"},
      {"fts3_tokenizer", "SELECT count(*) FROM samples WHERE fts3_tokenizer('simple') IS NULL"},
  };
  for (const auto &[function, text] : cases) {
    SCOPED_TRACE(text);
    auto r = sql({text});
    EXPECT_EQ(r.status, 2) << r.err;  // refused, not crashed (128 + signal)
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(std::string("refused function ") + function + "()"), std::string::npos)
        << r.err;
  }
  // What a reader calls still answers: core, aggregate, date, math, JSON.
  auto r = sql(
      {"SELECT count(*), abs(-2), date(0, 'unixepoch'), json_object('a', 1), "
       "round(pi(), 2), max(time) - min(time) FROM samples"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(vzu_test::split_lines(r.out).at(1), "2000,2,1970-01-01,\"{\"\"a\"\":1}\",3.14,1990");
}

TEST_F(SqlLimitsTest, AnEndlessQueryStopsAtItsTimeoutInEveryFormat) {
  for (const char *format : {"csv", "json", "table"}) {
    SCOPED_TRACE(format);
    auto r = sql(
        {"--timeout", "1", "--format", format, std::string(ENDLESS) + "SELECT max(x) FROM c"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "orvtsdb: sql: stopped after 1 s, the time the SQL may take (--timeout)\n");
  }
  // Rows without end, as JSON: written as they come, so the process stays
  // small until the limit stops it.
  for (const char *format : {"json", "csv"}) {
    SCOPED_TRACE(format);
    auto r = sql_in_512_mib(std::string("--timeout 2 --format ") + format + " \"" + ENDLESS +
                            "SELECT x, 'row' AS what FROM c\"");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("stopped after 2 s"), std::string::npos) << r.err;
  }
  EXPECT_EQ(sql({"--timeout", "0", "SELECT 1"}).status, 2);
  // One call that runs long (its cost grows with the square of its text's
  // length): SQLite never looks at the time inside it.
  auto r = sql({"--timeout", "1",
                "SELECT instr(printf('%.*c', 2000000, 'a'), printf('%.*c', 1000000, 'a') || 'b')"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "orvtsdb: sql: stopped after 1 s, the time the SQL may take (--timeout)\n");
}

/* check_of hashes its values where they lie: large ones take no memory
 * beside SQLite's own. */
TEST_F(SqlLimitsTest, ARowCheckOfLargeValuesCopiesNone) {
  std::string args;
  for (int i = 0; i < 5; i++) args += std::string(i ? ", " : "") + "zeroblob(60000000)";
  auto r = sql_in_512_mib("\"SELECT check_of(" + args + ")\"");
  EXPECT_EQ(r.status, 0) << r.err;
}

/* A table sets its widths from its first rows, but never holds more than
 * a bounded number of bytes of them: rows of 10 MB stream past 64 MiB. */
TEST_F(SqlLimitsTest, ATableOfHugeRowsStreams) {
  auto r = sql_in_512_mib(
      "--format table \"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < "
      "60) SELECT x, printf('%.*c', 10000000, 'v') AS v FROM c\"");
  EXPECT_EQ(r.status, 0) << r.err;
}

/* Every byte of a text is printed, a NUL among them, in every format. */
TEST_F(SqlLimitsTest, TextKeepsEveryByte) {
  const std::string nul("a\0b", 3);
  const std::pair<const char *, std::string> cases[] = {
      {"csv", "t\n" + nul + "\n"},
      {"json", "[{\"t\":\"a\\u0000b\"}]\n"},
      {"table", "t\n---\n" + nul + "\n"},
  };
  for (const auto &[format, want] : cases) {
    auto r = sql({"--format", format, "SELECT 'a' || char(0) || 'b' AS t"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want) << format;
  }
}

TEST_F(SqlLimitsTest, AHugeValueIsRefusedByTheLengthLimit) {
  for (const char *text : {"SELECT zeroblob(900000000)", "SELECT length(zeroblob(900000000))",
                           "SELECT length(replace(hex(zeroblob(60000000)), '0', 'xy'))"}) {
    SCOPED_TRACE(text);
    auto r = sql_in_512_mib(std::string("\"") + text + "\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "orvtsdb: sql: a value would be longer than 64 MiB, the longest a query "
              "may make\n");
  }
}

}  // namespace
