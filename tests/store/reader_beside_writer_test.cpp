/*
 * reader_beside_writer_test.cpp - a reader reads one snapshot of the store
 * from its first check to its last, whatever another process does meanwhile:
 * a write that wants to commit part-way waits for the reader (and the
 * reader sees none of it), a lock taken part-way by another connection
 * delays the reader or makes it say "busy, try again", and a lock held from
 * before the start is that one line, never a list of faults.
 */
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "migration.h"
#include "store_reading.h"
#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace store_test;

namespace {

class ReaderBesideWriterTest : public testing::Test {
 protected:
  void SetUp() override { migrate(1000, 3000, 20, 1); }

  vzu_test::RunResult orvtsdb(const std::vector<std::string> &args, const vzu_test::Env &env = {}) {
    return vzu_test::run_program(ORVTSDB_COMMAND, args, env, 60000);
  }

  /* A connection of another writer, waiting `busy_ms` for a lock. */
  sqlite3 *writer(int busy_ms) {
    sqlite3 *db = nullptr;
    EXPECT_EQ(sqlite3_open(store_.db().c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, busy_ms);
    return db;
  }

  /* Every fault audit_store finds on a fresh reading connection. */
  std::vector<std::string> audit() {
    std::string path, err;
    sqlite3 *db = orvtsdb::open_store_for_reading(store_.db(), &path, err);
    EXPECT_NE(db, nullptr) << err;
    std::vector<std::string> faults;
    orvtsdb::audit_store(db, 100, [&](const std::string &f) { faults.push_back(f); });
    sqlite3_close(db);
    return faults;
  }

  /* Leaves the journal of a writer killed part-way: a child process changes
   * every chunk row with a cache too small to hold the change, so pages
   * reach the file, and ends without committing or rolling back. */
  void leave_hot_journal() {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      sqlite3 *w = nullptr;
      bool ok = sqlite3_open(store_.db().c_str(), &w) == SQLITE_OK &&
                sqlite3_exec(w,
                             "PRAGMA cache_size = 1; BEGIN IMMEDIATE; "
                             "UPDATE chunks SET row_check = (row_check & 65535) + 1",
                             nullptr, nullptr, nullptr) == SQLITE_OK;
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat journal;
    ASSERT_EQ(stat((store_.db() + "-journal").c_str(), &journal), 0);
    ASSERT_GT(journal.st_size, 0);
  }

  TempStore store_;
};

TEST_F(ReaderBesideWriterTest, AWriteCommittingPartWayWaitsForTheReadersSnapshot) {
  ASSERT_EQ(audit(), std::vector<std::string>{});
  std::string path, err;
  sqlite3 *reader = orvtsdb::open_store_for_reading(store_.db(), &path, err);
  ASSERT_NE(reader, nullptr) << err;
  // Part-way: another process removes chunk rows (what a re-migration does
  // before it writes their replacements) and tries to commit.
  sqlite3 *w = writer(200);
  ASSERT_EQ(sqlite3_exec(w, "BEGIN IMMEDIATE; DELETE FROM chunks WHERE rowid % 3 = 0", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(w, "COMMIT", nullptr, nullptr, nullptr), SQLITE_BUSY);
  // The reader's checks and reads see the store as it was.
  std::vector<std::string> faults;
  orvtsdb::StoreAudit a = orvtsdb::audit_store(reader, 100,
                                               [&](const std::string &f) { faults.push_back(f); });
  EXPECT_EQ(faults, std::vector<std::string>{});
  // 3000 samples in chunks of CHUNK_SAMPLES, per series and graph
  EXPECT_EQ(a.chunks, 20 * 2 * ((3000 + orvtsdb::CHUNK_SAMPLES - 1) / orvtsdb::CHUNK_SAMPLES));
  orvtsdb::StoreTotals t;
  ASSERT_TRUE(orvtsdb::store_totals(reader, t, err)) << err;
  EXPECT_EQ(t.samples, 20 * 2 * 3000);
  sqlite3_close(reader);
  // Once the reader is done the write commits, and a reader after it sees
  // what it did (here: damage).
  EXPECT_EQ(sqlite3_exec(w, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(w);
  EXPECT_FALSE(audit().empty());
}

/* A reader between statements (as sql reads, each statement a snapshot of
 * its own) meets the journal of a writer killed meanwhile: its read-only
 * connection cannot roll it back, the store's reader does it aside, and
 * the next read sees the store as it was. */
TEST_F(ReaderBesideWriterTest, AJournalLeftBetweenStatementsIsRolledBackAndReadOn) {
  std::string path, err;
  sqlite3 *reader = orvtsdb::open_store_for_reading(store_.db(), &path, err);
  ASSERT_NE(reader, nullptr) << err;
  ASSERT_TRUE(orvtsdb::end_snapshot(reader, err)) << err;
  sqlite3_stmt *s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(reader, "SELECT count(*), sum(row_check & 65535) FROM chunks", -1,
                               &s, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  const int64_t rows = sqlite3_column_int64(s, 0), sum = sqlite3_column_int64(s, 1);
  sqlite3_reset(s);
  leave_hot_journal();
  EXPECT_EQ(sqlite3_step(s) & 0xff, SQLITE_READONLY);
  sqlite3_reset(s);
  ASSERT_TRUE(orvtsdb::roll_back_left_journal(reader, err)) << err;
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int64(s, 0), rows);
  EXPECT_EQ(sqlite3_column_int64(s, 1), sum);
  sqlite3_finalize(s);
  sqlite3_close(reader);
  EXPECT_EQ(audit(), std::vector<std::string>{});
}

TEST_F(ReaderBesideWriterTest, ALockTakenPartWayDelaysTheReaderOrMakesItBusyNeverFaulty) {
  // verify and export started while another connection takes the exclusive
  // lock after 0 to 150 ms and holds it for 300 ms: each either waits and
  // answers right, or says the store is busy; it never lists faults.
  const std::string csv = orvtsdb({"export", store_.db(), "--format", "csv"}).out;
  ASSERT_GT(csv.size(), 100000u);
  int busy = 0, answered = 0;
  for (int delay_ms : {0, 5, 20, 50, 150}) {
    for (const char *timeout : {"5000", "50"}) {
      for (const char *command : {"verify", "export"}) {
        SCOPED_TRACE(std::string(command) + " lock after " + std::to_string(delay_ms) +
                     " ms, busy timeout " + timeout);
        std::thread locker([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
          sqlite3 *w = writer(10000);
          if (sqlite3_exec(w, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            sqlite3_exec(w, "COMMIT", nullptr, nullptr, nullptr);
          }
          sqlite3_close(w);
        });
        std::vector<std::string> args = {command, store_.db()};
        if (std::string(command) == "export") args.insert(args.end(), {"--format", "csv"});
        auto r = orvtsdb(args, {{"ORVTSDB_BUSY_TIMEOUT_MS", timeout}});
        locker.join();
        EXPECT_EQ(r.out.find("fault:"), std::string::npos) << r.out.substr(0, 400);
        if (r.status == 0) {
          answered++;
          if (std::string(command) == "export") {
            EXPECT_EQ(r.out, csv);
          } else {
            EXPECT_NE(r.out.find(", 0 faults"), std::string::npos) << r.out;
          }
        } else {
          busy++;
          EXPECT_EQ(r.status, 1);
          EXPECT_EQ(r.out, "");
          EXPECT_EQ(r.err, "orvtsdb: " + store_.db() +
                               ": the store is busy (another process holds its lock); try again\n");
        }
      }
    }
  }
  std::printf("%d answered, %d busy\n", answered, busy);
  EXPECT_GT(answered, 0);
  // A lock held from before the start, longer than the reader waits.
  sqlite3 *w = writer(1000);
  ASSERT_EQ(sqlite3_exec(w, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  for (const char *command : {"verify", "info", "sql"}) {
    std::vector<std::string> args = {command, store_.db()};
    if (std::string(command) == "sql") args.push_back("SELECT 1");
    auto r = orvtsdb(args, {{"ORVTSDB_BUSY_TIMEOUT_MS", "100"}});
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_EQ(r.out, "") << command;
    EXPECT_EQ(r.err, "orvtsdb: " + store_.db() +
                         ": the store is busy (another process holds its lock); try again\n")
        << command;
  }
  sqlite3_close(w);
}

}  // namespace
