/*
 * old_blob_stores_test.cpp - stores written by earlier releases, each with
 * the chunk blob format of its day, stay readable by every reading command
 * and give back the very export they gave then; a new migration into one
 * writes its chunks in the current blob format beside the old ones, which
 * still read and verify, and the old run reads apart from the new one.
 *
 * Both stores hold the same run (make_sample_run --preset small --groups 5
 * --vectors 2 --packets 8 --partitions 2 --versions 2): format2_store/ as
 * migrated by the last release writing blobs of format 2, format3_store/ by
 * the last one writing format 3. format2_store/expected.csv is
 * `orvtsdb export metrics.sqlite --format csv` of each, byte for byte the
 * same, so it is kept once.
 */
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <ostream>

#include "store_format.h"
#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;
using vzu_test::RunResult;

namespace {

const std::string STORES = OLD_STORES_DIR;
const std::string EXPECTED_CSV = STORES + "/format2_store/expected.csv";

/* A fixture store and byte 0 of its blobs, in hex as blob_formats() says it. */
struct OldStore {
  const char *dir;
  const char *blob_format;
  friend void PrintTo(const OldStore &s, std::ostream *os) { *os << s.dir; }
};

std::string hex_byte(int b) {
  char s[3];
  std::snprintf(s, sizeof s, "%02X", b);
  return s;
}

class OldBlobStoreTest : public testing::TestWithParam<OldStore> {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(STORES + "/" + GetParam().dir + "/metrics.sqlite", store.db());
  }

  RunResult run(std::vector<std::string> args) {
    for (std::string &a : args)
      if (a == "DB") a = store.db();
    return vzu_test::run_program(ORVTSDB_COMMAND, args);
  }

  std::string export_csv() {
    RunResult r = run({"export", "DB", "--format", "csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  /* The blob formats the store holds, as byte 0 in hex ("02", "03"). */
  std::string blob_formats() {
    RunResult r = run({"sql", "DB",
                       "SELECT group_concat(f) FROM (SELECT DISTINCT hex(substr(data, 1, 1)) f "
                       "FROM chunks ORDER BY f)"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  TempStore store;
};

TEST_P(OldBlobStoreTest, EveryReadingCommandReadsItAndTheExportIsUnchanged) {
  ASSERT_EQ(blob_formats(), std::string("group_concat(f)\n") + GetParam().blob_format + "\n");
  EXPECT_EQ(export_csv(), vzu_test::read_file(EXPECTED_CSV));
  for (std::vector<std::string> args : {std::vector<std::string>{"info", "DB"},
                                        {"groups", "DB"},
                                        {"series", "DB"},
                                        {"verify", "DB"},
                                        {"compare", "DB", "DB"},
                                        {"export", "DB", "--format", "openmetrics"},
                                        {"export", "DB", "--format", "json"},
                                        {"report", "DB", "-o", store.dir() + "/report.html"}}) {
    RunResult r = run(args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    EXPECT_FALSE(r.out.empty()) << args[0];
  }
  RunResult sql = run({"sql", "DB", "SELECT count(*), count(value) FROM samples"});
  ASSERT_EQ(sql.status, 0) << sql.err;
  EXPECT_NE(sql.out.find("2042,1812"), std::string::npos) << sql.out;
  // Such a store keeps no run labels: label says so and writes nothing.
  std::string bytes = vzu_test::read_file(store.db());
  RunResult label = run({"label", "DB", "build=1"});
  EXPECT_EQ(label.status, 1);
  EXPECT_NE(label.err.find("a store of an older format keeps no run labels"), std::string::npos)
      << label.err;
  EXPECT_EQ(vzu_test::read_file(store.db()), bytes);
}

TEST_P(OldBlobStoreTest, ANewMigrationWritesTheNewBlobsBesideTheOldOnes) {
  const std::vector<std::string> old_rows = {
      "sql", "DB",
      "SELECT group_name, labels, graph_name, role, time, value FROM samples "
      "WHERE time < 1800000000"};
  std::string before = run(old_rows).out;
  migrate(1800000000, 300, 3, 7.25);
  std::string old_format = GetParam().blob_format, now = hex_byte(orvtsdb::CHUNK_BLOB_FORMAT);
  std::string formats = blob_formats();
  EXPECT_NE(formats.find(old_format == now ? now : old_format + "," + now), std::string::npos)
      << formats;
  RunResult v = run({"verify", "DB"});
  EXPECT_EQ(v.status, 0) << v.out << v.err;
  // The old run's samples read as before; the new ones read back exactly.
  RunResult old = run(old_rows);
  ASSERT_EQ(old.status, 0) << old.err;
  EXPECT_GT(old.out.size(), 100000u);
  EXPECT_EQ(old.out, before);
  auto s = samples(store.db(), "WHERE time >= 1800000000 AND role = 'value'");
  ASSERT_FALSE(s.empty());
  for (const Sample &x : s) ASSERT_TRUE(x.value.has_value());
  // Upgraded, the store holds two runs: the old one reads apart as it did,
  // and a reader that judges one run asks which.
  EXPECT_EQ(run({"export", "DB", "--format", "csv", "--run", "1"}).out,
            vzu_test::read_file(EXPECTED_CSV));
  RunResult report = run({"report", "DB", "-o", store.dir() + "/report.html"});
  EXPECT_EQ(report.status, 1);
  EXPECT_NE(report.err.find("holds 2 runs"), std::string::npos) << report.err;
}

/* The upgrade of a format 3 store computes the checks of the rows it
 * rewrites anew: damage there must stop it first, or the store would verify
 * clean with series of another group and chunks of altered times. */
TEST(Format3Store, ADamagedOneIsRefusedAndLeftAsItWas) {
  for (const char *damage :
       {"UPDATE series SET gid = 2 WHERE sid = 4",
        "UPDATE series SET created = created + 1 WHERE sid = 4",
        "UPDATE chunks SET end_time = end_time + 1 WHERE rowid = 48",
        "UPDATE series_facts SET samples = samples + 1 WHERE sid = 1 AND graph = 0"}) {
    SCOPED_TRACE(damage);
    TempStore store;
    std::filesystem::copy_file(STORES + "/format3_store/metrics.sqlite", store.db());
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(store.db().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, damage, nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_changes(db), 1);
    sqlite3_close(db);
    std::string bytes = vzu_test::read_file(store.db());
    EXPECT_EQ(tsdb_init_migration(1800000000), -1);
    EXPECT_EQ(vzu_test::read_file(store.db()), bytes);
    EXPECT_EQ(vzu_test::run_program(ORVTSDB_COMMAND, {"verify", store.db()}).status, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, OldBlobStoreTest,
                         testing::Values(OldStore{"format2_store", "02"},
                                         OldStore{"format3_store", "03"}),
                         [](const testing::TestParamInfo<OldStore> &p) {
                           return std::string(p.param.dir);
                         });

}  // namespace
