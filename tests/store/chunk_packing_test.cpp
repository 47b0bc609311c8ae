/*
 * chunk_packing_test.cpp - the page sums the writer packs chunk rows by are
 * SQLite's own: rows of every size appended to a chunks table leave, in its
 * last page, exactly the free bytes PageFill follows and the file's last
 * page shows, through pages of 4 and 16 KiB and whatever the table held.
 */
#include "chunk_packing.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <random>
#include <string>
#include <vector>

#include "store_checks.h"
#include "store_schema.h"
#include "store_test_support.h"

using namespace orvtsdb;

namespace {

class PackingTest : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(store_.db().c_str(), &db_), SQLITE_OK);
    std::string err;
    exec("PRAGMA page_size=" + std::to_string(GetParam()) + "; BEGIN");
    ASSERT_TRUE(register_check_function(db_, err) && ensure_schema(db_, err)) << err;
    exec("COMMIT");
  }
  void TearDown() override { sqlite3_close(db_); }

  void exec(const std::string &sql) {
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db_);
  }
  int64_t one(const std::string &sql) {
    sqlite3_stmt *s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), SQLITE_OK);
    int64_t v = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    return v;
  }
  int64_t root() { return one("SELECT rootpage FROM sqlite_schema WHERE name = 'chunks'"); }
  /* What dbstat says is unused in the table's last leaf page. */
  int64_t last_page_unused() {
    return one(
        "SELECT unused FROM dbstat WHERE name = 'chunks' AND pagetype = 'leaf' "
        "ORDER BY path DESC LIMIT 1");
  }
  /* Inserts a row as the writer does; its bytes by chunk_row_bytes. */
  size_t insert(int64_t rowid, int64_t sid, int64_t start, int count, size_t blob_len,
                int64_t check) {
    ChunkRowShape row{{sid, 3, 8, start, 10, count, start + (count - 1) * 10, 2}, blob_len, check};
    sqlite3_stmt *s = nullptr;
    EXPECT_EQ(
        sqlite3_prepare_v2(db_, "INSERT INTO chunks VALUES(?,?,?,?,?,?,?,?,?,?)", -1, &s, nullptr),
        SQLITE_OK);
    for (int i = 0; i < 8; i++) sqlite3_bind_int64(s, i + 1, row.ints[i]);
    std::vector<uint8_t> blob(blob_len, 0xa5);
    sqlite3_bind_blob(s, 9, blob.data(), (int)blob.size(), SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 10, check);
    EXPECT_EQ(sqlite3_step(s), SQLITE_DONE);
    sqlite3_finalize(s);
    EXPECT_EQ(sqlite3_last_insert_rowid(db_), rowid);
    return chunk_row_bytes(row, rowid, (size_t)GetParam());
  }

  store_test::TempStore store_;
  sqlite3 *db_ = nullptr;
};

TEST_P(PackingTest, TheLastPageHasTheFreeBytesThePageSumsSay) {
  const size_t page = (size_t)GetParam();
  // An empty table: its root is the one leaf, empty.
  EXPECT_EQ(last_leaf_free_bytes(db_, root(), page), page - PageFill::LEAF_HEADER_BYTES);
  PageFill fill;
  fill.start(page, last_leaf_free_bytes(db_, root(), page));
  std::mt19937_64 rng(9);
  int64_t rowid = 1;
  for (int round = 0; round < 3; round++) {
    exec("BEGIN");
    for (int i = 0; i < 400; i++, rowid++) {
      // Blobs of 1 byte to half a page, checks and times of every width.
      size_t len = 1 + rng() % (page / 2 - 64);
      int64_t check = (int64_t)(rng() >> (rng() % 64));
      fill.add(insert(rowid, 1 + (int64_t)(rng() % 100000), (int64_t)(rng() % 2000000000),
                      1 + (int)(rng() % 4096), len, check));
      ASSERT_EQ((int64_t)fill.left(), last_page_unused()) << "row " << rowid;
    }
    exec("COMMIT");
    // Read back from the file, as a migration starts.
    ASSERT_EQ(last_leaf_free_bytes(db_, root(), page), fill.left());
  }
  // Rows deleted from the last page leave free blocks that count as well.
  exec("DELETE FROM chunks WHERE rowid % 2 = 0 AND rowid > " + std::to_string(rowid - 8));
  EXPECT_EQ((int64_t)last_leaf_free_bytes(db_, root(), page), last_page_unused());
  // A row larger than a page's local room is not one to pack.
  ChunkRowShape big{{1, 0, 0, 0, 10, 1, 0, 1}, page, 7};
  EXPECT_GT(chunk_row_bytes(big, rowid, page), page);
}

INSTANTIATE_TEST_SUITE_P(PageSizes, PackingTest, testing::Values(4096, 16384));

}  // namespace
