/*
 * export_checks_test.cpp - export checks the chunk rows of everything it
 * selected before it writes its first line: a misfiled chunk row of the
 * series it would write last leaves standard output empty in every format.
 * What it cannot know before reading (a damaged chunk blob) ends the output
 * with a line saying the export is incomplete, so that a consumer reading
 * from a pipe sees it, not only the exit status.
 */
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <map>

#include "store_checks.h"
#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;

namespace {

class ExportChecksTest : public testing::Test {
 protected:
  void SetUp() override { migrate(1000, 2000, 6, 1); }

  vzu_test::RunResult export_as(const std::string &format) {
    return vzu_test::run_program(ORVTSDB_COMMAND, {"export", store_.db(), "--format", format}, {},
                                 60000);
  }

  /* Runs sql on the store with check_of() available. */
  void change(const std::string &sql) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(store_.db().c_str(), &db), SQLITE_OK);
    std::string err;
    ASSERT_TRUE(orvtsdb::register_check_function(db, err)) << err;
    char *msg = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg), SQLITE_OK) << msg;
    sqlite3_free(msg);
    sqlite3_close(db);
  }

  /* The rowid of the last chunk export reads: last graph, last series. */
  int64_t last_chunk() {
    return query_int(store_.db(),
                     "SELECT rowid FROM chunks ORDER BY graph DESC, sid DESC, "
                     "start_time DESC LIMIT 1");
  }

  TempStore store_;
};

TEST_F(ExportChecksTest, AMisfiledChunkRowWritesNothing) {
  ASSERT_EQ(export_as("csv").status, 0);
  // The row moved to the series read just before its own, later than that
  // one's samples, its check made to hold again: only the facts of the two
  // series tell, and export meets them last.
  change(
      "UPDATE chunks SET sid = (SELECT max(sid) FROM chunks WHERE sid < (SELECT max(sid) "
      "FROM chunks)), start_time = start_time + 100000, end_time = end_time + 100000 "
      "WHERE rowid = " +
      std::to_string(last_chunk()) + "; UPDATE chunks SET row_check = " +
      orvtsdb::row_check_sql("chunks") + " WHERE rowid = " + std::to_string(last_chunk()));
  for (const char *format : {"csv", "openmetrics", "json", "jsonl"}) {
    SCOPED_TRACE(format);
    auto r = export_as(format);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(vzu_test::split_lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("damaged store"), std::string::npos) << r.err;
  }
}

TEST_F(ExportChecksTest, ADamagedBlobFoundPartWaySaysSoOnTheOutput) {
  std::map<std::string, std::string> whole;
  for (const char *format : {"csv", "openmetrics", "json", "jsonl"})
    whole[format] = export_as(format).out;
  // One byte in the middle of the last chunk's blob: its rows and facts
  // hold, its checksum does not.
  damage_chunk_blob(store_.db(), last_chunk());
  for (const char *format : {"csv", "openmetrics", "json", "jsonl"}) {
    SCOPED_TRACE(format);
    auto r = export_as(format);
    EXPECT_EQ(r.status, 1);
    ASSERT_GT(r.out.size(), 100000u);  // what came before the damage is out already
    auto lines = vzu_test::split_lines(r.out);
    EXPECT_EQ(lines.back().rfind("export incomplete: " + store_.db() + ": damaged store", 0), 0u)
        << lines.back();
    EXPECT_NE(r.err.find("damaged store"), std::string::npos) << r.err;
    // What came before is the start of the undamaged export, as far as its
    // blocks of 64 KiB were cut by then: nothing held back, nothing torn.
    size_t before = r.out.rfind("\nexport incomplete: ");
    ASSERT_NE(before, std::string::npos);
    EXPECT_EQ(whole[format].compare(0, before, r.out, 0, before), 0);
    EXPECT_GE(before, 1u << 16);
    EXPECT_LT(before, whole[format].size());
  }
}

}  // namespace
