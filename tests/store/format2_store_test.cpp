/*
 * format2_store_test.cpp - a store written before chunk blobs of format 3
 * (format2_store/: make_sample_run --preset small --groups 5 --vectors 2
 * --packets 8 --partitions 2 --versions 2, migrated by that release) stays
 * readable by every reading command and gives back the very export it gave
 * then; a new migration into it writes its chunks in the current blob format
 * beside the old ones, which still read and verify.
 *
 * format2_store/expected.csv is `orvtsdb export metrics.sqlite --format csv`
 * of that release.
 */
#include <gtest/gtest.h>

#include <filesystem>

#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;
using vzu_test::RunResult;

namespace {

const std::string FIXTURE = FORMAT2_STORE_DIR;

class Format2StoreTest : public testing::Test {
 protected:
  void SetUp() override { std::filesystem::copy_file(FIXTURE + "/metrics.sqlite", store.db()); }

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

TEST_F(Format2StoreTest, EveryReadingCommandReadsItAndTheExportIsUnchanged) {
  ASSERT_NE(blob_formats().find("02"), std::string::npos);
  EXPECT_EQ(export_csv(), vzu_test::read_file(FIXTURE + "/expected.csv"));
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
}

TEST_F(Format2StoreTest, ANewMigrationWritesTheNewBlobsBesideTheOldOnes) {
  const std::vector<std::string> old_rows = {
      "sql", "DB",
      "SELECT group_name, labels, graph_name, role, time, value FROM samples "
      "WHERE time < 1800000000"};
  std::string before = run(old_rows).out;
  migrate(1800000000, 300, 3, 7.25);
  std::string formats = blob_formats();
  EXPECT_NE(formats.find("02,03"), std::string::npos) << formats;
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
}

}  // namespace
