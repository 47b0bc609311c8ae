/*
 * read_only_test.cpp - a reading command cannot change a store. Each hostile
 * statement, grouped by the way it would write, is given to `orvtsdb sql`:
 * it must be refused with one line and a usage status, the store file and
 * an attached store keep their bytes, and no file appears next to them.
 * What a reader legitimately does (queries, introspection, attaching
 * another store) still works on the same connection.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <sqlite3.h>

#include <set>

#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;

namespace {

std::set<std::string> entries(const std::string &dir) {
  std::set<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

struct Hostile {
  const char *kind;
  std::string sql;  // OTHER and DIR are replaced by the attached store and the folder
};

class ReadOnlyTest : public testing::Test {
 protected:
  void SetUp() override {
    migrate(5000, 40, 1, 900);  // into `other`, named by ORVTSDB_URL first
    store_ = std::make_unique<TempStore>();
    migrate(1000, 200, 2, 1);
  }

  std::string expand(std::string sql) const {
    for (auto [from, to] :
         {std::pair<std::string, std::string>{"OTHER", other_.db()}, {"DIR", store_->dir()}})
      for (size_t at; (at = sql.find(from)) != std::string::npos;) sql.replace(at, from.size(), to);
    return sql;
  }

  vzu_test::RunResult sql(const std::string &text) {
    return vzu_test::run_program(ORVTSDB_COMMAND, {"sql", store_->db(), expand(text)});
  }

  TempStore other_;
  std::unique_ptr<TempStore> store_;
};

TEST_F(ReadOnlyTest, EveryStatementThatWouldWriteIsRefusedAndNoByteChanges) {
  const std::vector<Hostile> cases = {
      {"rows", "DELETE FROM chunks"},
      {"rows", "PRAGMA query_only=0; DELETE FROM chunks WHERE rowid % 2 = 0"},
      {"rows", "UPDATE groups SET name = 'x'"},
      {"rows", "INSERT INTO chunks SELECT * FROM chunks"},
      {"rows", "WITH x AS (SELECT 1) DELETE FROM series_labels"},
      {"schema", "DROP TABLE series_labels"},
      {"schema", "PRAGMA query_only=false; UPDATE groups SET name = 'x'; DROP TABLE series_labels"},
      {"schema", "CREATE TABLE t(x)"},
      {"schema", "CREATE INDEX ix ON chunks(sid)"},
      {"schema", "ALTER TABLE groups ADD COLUMN z"},
      {"schema", "CREATE TRIGGER tr AFTER INSERT ON groups BEGIN SELECT 1; END"},
      {"schema", "REINDEX"},
      {"schema", "ANALYZE"},
      {"pragma", "PRAGMA writable_schema=1"},
      {"pragma", "PRAGMA journal_mode=WAL"},
      {"pragma", "PRAGMA user_version=7"},
      {"pragma", "PRAGMA auto_vacuum=1"},
      {"pragma", "PRAGMA wal_checkpoint"},
      {"pragma", "PRAGMA optimize"},
      {"file", "VACUUM"},
      {"file", "VACUUM INTO 'DIR/copy.sqlite'"},
      {"file", "ATTACH 'DIR/new.sqlite' AS n"},
      {"file", "ATTACH 'file:DIR/new2.sqlite?mode=rwc' AS n"},
      {"file", "ATTACH ':memory:' AS m; CREATE TABLE m.t(x)"},
      {"extension", "SELECT load_extension('DIR/none')"},
      {"attached", "ATTACH 'OTHER' AS o; DELETE FROM o.chunks"},
      {"attached", "ATTACH 'OTHER' AS o; DROP TABLE o.groups"},
      {"attached", "ATTACH 'OTHER' AS o; PRAGMA o.journal_mode=WAL"},
      {"attached", "ATTACH 'OTHER' AS o; VACUUM o"},
  };
  const std::string before = vzu_test::read_file(store_->db());
  const std::string other_before = vzu_test::read_file(other_.db());
  const auto files = entries(store_->dir()), other_files = entries(other_.dir());
  for (const Hostile &h : cases) {
    SCOPED_TRACE(std::string(h.kind) + ": " + h.sql);
    auto r = sql(h.sql);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    // Refused for what it is, not failing by chance (a missing table, say).
    EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
    EXPECT_EQ(vzu_test::read_file(store_->db()), before);
    EXPECT_EQ(vzu_test::read_file(other_.db()), other_before);
    EXPECT_EQ(entries(store_->dir()), files);
    EXPECT_EQ(entries(other_.dir()), other_files);
  }
  EXPECT_EQ(sql("DELETE FROM chunks").status, 2);
}

TEST_F(ReadOnlyTest, QueriesIntrospectionAndAttachedStoresStillAnswer) {
  auto r = sql("SELECT count(*) FROM samples");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "count(*)\n" + std::to_string(2 * 200 * 5) + "\n");
  r = sql("ATTACH 'OTHER' AS o; SELECT count(*) AS n FROM samples('o')");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "n\n" + std::to_string(40 * 5) + "\n");
  for (const char *q : {"PRAGMA table_info(chunks)", "PRAGMA page_count", "PRAGMA integrity_check",
                        "BEGIN; SELECT 1; COMMIT", "SELECT name FROM sqlite_schema"}) {
    r = sql(q);
    EXPECT_EQ(r.status, 0) << q << ": " << r.err;
  }
  // Table-valued functions, which SQLite connects as tables of the schema.
  r = sql(
      "SELECT (SELECT count(*) FROM json_each('[1,2,3]')), (SELECT count(*) FROM "
      "json_tree('{\"a\":[1]}')), (SELECT count(*) FROM pragma_table_info('chunks'))");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(vzu_test::split_lines(r.out).at(1), "3,3,10");
}

/* An attached store is read by the samples table only in a format this
 * library reads, as the store a command opens. */
TEST_F(ReadOnlyTest, AnAttachedStoreOfANewerFormatIsRefused) {
  const std::string newer = store_->dir() + "/newer.sqlite";
  vzu_test::write_file(newer, vzu_test::read_file(other_.db()));
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(newer.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE store_info SET value = '9' WHERE key = 'format'", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  for (const char *read :
       {"SELECT count(*) FROM samples('n')", "SELECT count(*) FROM samples WHERE store = 'n'"}) {
    auto r = sql("ATTACH '" + newer + "' AS n; " + read);
    EXPECT_EQ(r.status, 1) << read;
    EXPECT_NE(r.err.find(newer + ": store format 9 was written by a newer version"),
              std::string::npos)
        << r.err;
  }
}

/* ATTACH takes a file by its name: a URI's options (another VFS, no
 * locks) are refused even where a file of that very name exists. */
TEST_F(ReadOnlyTest, AttachOfAUriIsRefusedWhateverFileBearsItsName) {
  const std::string dir = store_->dir();
  vzu_test::write_file(dir + "/a.db", vzu_test::read_file(other_.db()));
  for (const char *uri : {"file:a.db?nolock=1", "FILE:a.db?vfs=unix-dotfile"}) {
    vzu_test::write_file(dir + "/" + uri, "");
    auto r = vzu_test::run_program(
        "/bin/sh",
        {"-c", "cd '" + dir + "' && exec '" + ORVTSDB_COMMAND + "' sql '" + store_->db() +
                   "' \"ATTACH '" + uri + "' AS r; SELECT count(*) FROM r.chunks\""});
    EXPECT_EQ(r.status, 2) << uri << ": " << r.err;
    EXPECT_NE(r.err.find("refused ATTACH of '" + std::string(uri) + "'"), std::string::npos)
        << r.err;
  }
}

}  // namespace
