/*
 * sql_scan_test.cpp - `orvtsdb sql` reads a plain scan of the samples table
 * (its rows as they are, nothing else) from the table's cursor a chunk at a
 * time: it is taken for such statements only, and prints byte for byte what
 * SQLite's own steps print - every kind of cell, every projection, a damaged
 * chunk's rows and message included.
 */
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cmath>

#include "samples_scan.h"
#include "store_reading.h"
#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;

namespace {

const int64_t T0 = 1700000000;

/* A times graph (a missing value, a NaN, an infinity, intervals without
 * transactions) and a sample graph, on servers whose names need quoting,
 * over enough samples for several chunks a series. */
class SqlScanTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(tsdb_init_migration(T0), 0);
    int web = register_group("Web, \"Pages\"", {3, 0});
    Vec a("S1", 2), b("x\"y,z\nw", 2);
    for (int i = 0; i < 3000; i++) {
      double avg = i % 97 == 5 ? NAN : i % 89 == 7 ? INFINITY : 0.1 * i;
      a.insert(web, {avg, 1, 2, i % 13 == 0 ? 0.0 : 3, i % 50 == 2 ? TSDB_MISSING_VALUE : -0.0});
      b.insert(web, {2.5, 2, 3, 4, 1e-300 * i});
      tsdb_migration_increment_sample_ex(10);
    }
    ASSERT_EQ(tsdb_exit_migration(T0 + 30000), 0);
  }

  vzu_test::RunResult sql(const std::string &text) {
    return vzu_test::run_program(ORVTSDB_COMMAND, {"sql", store_.db(), text, "--format", "csv"});
  }

  TempStore store_;
};

/* Where two outputs part: the first line that differs, with its number
 * (empty when they are the same), rather than a diff of megabytes. */
std::string first_difference(const std::string &a, const std::string &b) {
  if (a == b) return "";
  std::vector<std::string> x = vzu_test::split_lines(a), y = vzu_test::split_lines(b);
  size_t i = 0;
  while (i < x.size() && i < y.size() && x[i] == y[i]) i++;
  return "line " + std::to_string(i + 1) + ": '" + (i < x.size() ? x[i] : "(none)") +
         "' against '" + (i < y.size() ? y[i] : "(none)") + "'";
}

/* A constraint that keeps every row makes the statement no plain scan:
 * its rows come from SQLite's steps alone. */
const std::string EVERY_ROW = " WHERE time > -9000000000000000000";

TEST_F(SqlScanTest, APlainScanPrintsWhatSqlitesStepsPrint) {
  ASSERT_GT(query_int(store_.db(), "SELECT count(*) FROM chunks"), 4);
  for (const std::string columns :
       {"*", "time, value, role", "reading, labels, sid, sid", "value", "graph_name, graph"}) {
    SCOPED_TRACE(columns);
    vzu_test::RunResult plain = sql("SELECT " + columns + " FROM samples");
    vzu_test::RunResult stepped = sql("SELECT " + columns + " FROM samples" + EVERY_ROW);
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(first_difference(plain.out, stepped.out), "");
    EXPECT_GT(plain.out.size(), 6000u * 4);
  }
  // A statement after another, and a scan after one that was not plain.
  vzu_test::RunResult twice = sql("SELECT * FROM samples; SELECT 1 AS one; SELECT * FROM samples");
  vzu_test::RunResult stepped = sql("SELECT * FROM samples" + EVERY_ROW +
                                    "; SELECT 1 AS one; SELECT * FROM samples" + EVERY_ROW);
  ASSERT_EQ(twice.status, 0) << twice.err;
  EXPECT_EQ(first_difference(twice.out, stepped.out), "");
}

TEST_F(SqlScanTest, ADamagedChunkStopsBothAtTheSameRowWithTheSameMessage) {
  damage_chunk_blob(store_.db(), query_int(store_.db(),
                                           "SELECT rowid FROM chunks ORDER BY rowid LIMIT 1 "
                                           "OFFSET (SELECT count(*) / 2 FROM chunks)"));
  vzu_test::RunResult plain = sql("SELECT * FROM samples");
  vzu_test::RunResult stepped = sql("SELECT * FROM samples" + EVERY_ROW);
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.status, stepped.status);
  EXPECT_EQ(plain.err, stepped.err);
  EXPECT_EQ(first_difference(plain.out, stepped.out), "");
  EXPECT_GT(plain.out.size(), 1000u) << "rows before the damaged chunk";
}

TEST_F(SqlScanTest, OnlyAStatementThatReadsTheRowsAsTheyAreIsAPlainScan) {
  std::string path, err;
  sqlite3 *db = orvtsdb::open_store_for_reading(store_.db(), &path, err);
  ASSERT_NE(db, nullptr) << err;
  const std::pair<std::string, std::vector<int>> plain[] = {
      {"SELECT * FROM samples", {0, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"select time, value, value, sid from samples;", {5, 6, 6, 0}},
      {"SELECT reading AS r FROM temp.samples", {8}},
  };
  const std::string not_plain[] = {
      "SELECT * FROM samples WHERE sid = 1",
      "SELECT * FROM samples LIMIT 5",
      "SELECT * FROM samples ORDER BY time",
      "SELECT DISTINCT role FROM samples",
      "SELECT value + 0 FROM samples",
      "SELECT *, store FROM samples",
      "SELECT * FROM samples('main')",
      "SELECT a.* FROM samples a JOIN samples b ON a.sid = b.sid",
      "WITH s AS MATERIALIZED (SELECT * FROM samples) SELECT * FROM s",
      "SELECT * FROM json_each('[1, 2]')",
      "SELECT sid FROM series",
  };
  auto scan_of = [&](const std::string &text, std::vector<int> &columns) {
    sqlite3_stmt *s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, text.c_str(), -1, &s, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    EXPECT_EQ(sqlite3_step(s), SQLITE_ROW) << sqlite3_errmsg(db);
    bool found = orvtsdb::plain_samples_scan(db, s, columns) != nullptr;
    sqlite3_finalize(s);
    return found;
  };
  for (const auto &[text, expected] : plain) {
    std::vector<int> columns;
    EXPECT_TRUE(scan_of(text, columns)) << text;
    EXPECT_EQ(columns, expected) << text;
  }
  for (const std::string &text : not_plain) {
    std::vector<int> columns;
    EXPECT_FALSE(scan_of(text, columns)) << text;
  }
  sqlite3_close(db);
}

}  // namespace
