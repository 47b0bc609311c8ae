/*
 * store_damage_test.cpp - a damaged store is never read as valid output.
 *
 * A small generated run is migrated once; each damage of the table below is
 * made on a copy of its store (a row field of a chunk, a name, a label, a
 * dropped table or index, a chunk too many, a wrong format, the facts, a
 * migration's total), some with their row checks made valid again so that
 * only the sums can tell. Every damaged copy is then given to `export`,
 * `report`, `push` (to a real VictoriaMetrics) and `verify`: each must exit
 * non-zero, the readers with one line naming the store, verify with its
 * fault lines. A command that exits 0 reads wrong. The table of results is
 * printed with the count of cases and of wrong reads.
 */
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>

#include "engine_support.h"
#include "store_checks.h"

using namespace engine_test;
using namespace vzu_test;
namespace fs = std::filesystem;

namespace {

struct Damage {
  const char *what;
  // Run on the copy: %C is the rowid of the damaged chunk, %CHECK_<table>%
  // the row check of a table's rows.
  std::string sql;
};

/* The chunk every chunk damage is made on: the second of a series that has
 * one before and one after it. */
const char *const CHUNK =
    "(SELECT c.rowid FROM chunks c WHERE (SELECT count(*) FROM chunks d WHERE d.sid = c.sid "
    "AND d.graph = c.graph) >= 3 ORDER BY c.sid, c.graph, c.start_time LIMIT 1 OFFSET 1)";

std::string expand(std::string sql) {
  for (const orvtsdb::CheckedTable &t : orvtsdb::checked_tables()) {
    std::string name = std::string("%CHECK_") + t.name + "%";
    for (size_t at; (at = sql.find(name)) != std::string::npos;)
      sql.replace(at, name.size(), t.check());
  }
  for (size_t at; (at = sql.find("%C")) != std::string::npos;) sql.replace(at, 2, CHUNK);
  return sql;
}

/* "PAGE <b-tree>": the first page of that table or index garbled, as a
 * torn write leaves it (a leaf whose cells point nowhere); "BYTE <b-tree>
 * <text>": in that page, the second byte of the first `text` changed (a
 * cell that still reads, with another value). 1 when done. */
int garble_page(sqlite3 *c, const std::string &db, const std::string &damage, std::string &why) {
  std::string tree = damage.substr(5), text;
  if (damage.rfind("BYTE ", 0) == 0) {
    text = tree.substr(tree.find(' ') + 1);
    tree = tree.substr(0, tree.find(' '));
  }
  sqlite3_stmt *s = nullptr;
  int64_t page = 0, size = 0;
  std::string sql =
      "SELECT min(pageno), (SELECT page_size FROM pragma_page_size) FROM dbstat "
      "WHERE name = '" +
      tree + "'";
  if (sqlite3_prepare_v2(c, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
      sqlite3_step(s) == SQLITE_ROW)
    page = sqlite3_column_int64(s, 0), size = sqlite3_column_int64(s, 1);
  sqlite3_finalize(s);
  std::FILE *f = page > 1 ? std::fopen(db.c_str(), "r+b") : nullptr;
  if (!f) {
    why = "no page of " + tree;
    return -1;
  }
  std::vector<unsigned char> bytes(2048);
  long at = (long)((page - 1) * size);
  if (text.empty()) {
    bytes = {0x0d, 0, 0, 0, 0x50, 0x50, 0x50, 0x50};
    for (size_t i = 8; i < 2048; i++) bytes.push_back((unsigned char)i);
  } else {
    bytes.resize((size_t)size);
    std::string page_bytes;
    if (std::fseek(f, at, SEEK_SET) == 0 && std::fread(bytes.data(), bytes.size(), 1, f) == 1)
      page_bytes.assign(bytes.begin(), bytes.end());
    size_t found = page_bytes.find(text);
    if (found == std::string::npos) {
      std::fclose(f);
      why = "no '" + text + "' in the first page of " + tree;
      return -1;
    }
    bytes = {(unsigned char)'~'};
    at += (long)found + 1;
  }
  bool written = std::fseek(f, at, SEEK_SET) == 0 &&
                 std::fwrite(bytes.data(), bytes.size(), 1, f) == 1;
  written = std::fclose(f) == 0 && written;
  if (!written) why = "cannot write " + db;
  return written ? 1 : -1;
}

/* Runs sql on the store file `db` ("PAGE <b-tree>": see garble_page); the
 * number of rows it changed, or -1 with SQLite's reason on failure. */
int damage(const std::string &db, const std::string &sql, std::string &why) {
  sqlite3 *c = nullptr;
  int changed = -1;
  if (sql.rfind("PAGE ", 0) == 0 || sql.rfind("BYTE ", 0) == 0) {
    if (sqlite3_open(db.c_str(), &c) == SQLITE_OK) changed = garble_page(c, db, sql, why);
  } else if (sqlite3_open(db.c_str(), &c) == SQLITE_OK &&
             orvtsdb::register_check_function(c, why)) {
    int before = sqlite3_total_changes(c);
    char *msg = nullptr;
    if (sqlite3_exec(c, sql.c_str(), nullptr, nullptr, &msg) == SQLITE_OK)
      changed = sqlite3_total_changes(c) - before;
    else
      why = msg ? msg : sqlite3_errmsg(c);
    sqlite3_free(msg);
  }
  sqlite3_close(c);
  return changed;
}

/* Drops and DDL change no rows: they count as one change. */
bool changes_rows(const std::string &sql) { return sql.rfind("DROP", 0) != 0; }

const std::vector<Damage> &damages() {
  static const std::vector<Damage> table = {
      // Each field of a chunk row.
      {"chunk sid", "UPDATE chunks SET sid = sid + 1 WHERE rowid = %C"},
      {"chunk graph", "UPDATE chunks SET graph = graph + 1 WHERE rowid = %C"},
      {"chunk data_type", "UPDATE chunks SET data_type = data_type + 1 WHERE rowid = %C"},
      {"chunk start_time out of every window",
       "UPDATE chunks SET start_time = start_time - 86400000 WHERE rowid = %C"},
      {"chunk step", "UPDATE chunks SET step = step * 2 WHERE rowid = %C"},
      {"chunk count", "UPDATE chunks SET count = count - 1 WHERE rowid = %C"},
      {"chunk end_time", "UPDATE chunks SET end_time = end_time + 1 WHERE rowid = %C"},
      {"chunk migration", "UPDATE chunks SET migration = migration + 1 WHERE rowid = %C"},
      {"chunk row gone", "DELETE FROM chunks WHERE rowid = %C"},
      // Names, descriptions, labels, tags: as a flipped bit leaves them.
      {"group name",
       "UPDATE groups SET name = name || 's' WHERE gid = (SELECT min(gid) FROM "
       "groups)"},
      {"group description",
       "UPDATE groups SET description = 'x' || IFNULL(description, '') WHERE gid = (SELECT "
       "max(gid) FROM groups)"},
      {"group hierarchy",
       "UPDATE groups SET hierarchy = 'Tier>Host' WHERE gid = (SELECT "
       "min(gid) FROM groups)"},
      {"graph name",
       "UPDATE graphs SET name = name || 's' WHERE gid = (SELECT min(gid) FROM "
       "graphs) AND idx = 0"},
      {"graph description",
       "UPDATE graphs SET description = 'x' || IFNULL(description, '') WHERE idx = 0 AND gid = "
       "(SELECT max(gid) FROM graphs)"},
      {"series labels text",
       "UPDATE series SET labels = substr(labels, 1, length(labels) - 1) || 'Z' WHERE sid = "
       "(SELECT min(sid) FROM series)"},
      {"series moved to another group",
       "UPDATE series SET gid = (SELECT max(gid) FROM groups) WHERE sid = (SELECT min(sid) FROM "
       "series)"},
      {"label tag",
       "UPDATE series_labels SET tag = tag || 's' WHERE sid = (SELECT max(sid) FROM "
       "series) AND pos = 0"},
      {"label value",
       "UPDATE series_labels SET value = value || 's' WHERE sid = (SELECT max(sid) FROM series) "
       "AND pos = (SELECT max(pos) FROM series_labels WHERE sid = (SELECT max(sid) FROM series))"},
      {"label value, its check made valid",
       "UPDATE series_labels SET value = value || 's' WHERE sid = (SELECT min(sid) FROM series) "
       "AND pos = 0; UPDATE series_labels SET row_check = %CHECK_series_labels%"},
      {"label row gone",
       "DELETE FROM series_labels WHERE sid = (SELECT min(sid) FROM series) "
       "AND pos = 0"},
      // The tables themselves.
      {"table series_labels dropped", "DROP TABLE series_labels"},
      {"table series_facts dropped", "DROP TABLE series_facts"},
      {"index chunks_by_series dropped", "DROP INDEX chunks_by_series"},
      // Chunks too many, with valid row checks: only the facts can tell.
      {"orphan chunk",
       "INSERT INTO chunks SELECT 99999, graph, data_type, start_time, step, count, end_time, "
       "migration, data, NULL FROM chunks WHERE rowid = %C; UPDATE chunks SET row_check = "
       "%CHECK_chunks% WHERE sid = 99999"},
      {"overlapping chunk",
       "INSERT INTO chunks SELECT sid, graph, data_type, start_time + step, step, count, "
       "end_time + step, migration, data, NULL FROM chunks WHERE rowid = %C; UPDATE chunks SET "
       "row_check = %CHECK_chunks% WHERE row_check IS NULL"},
      {"duplicate chunk", "INSERT INTO chunks SELECT * FROM chunks WHERE rowid = %C"},
      // The format.
      {"format 1", "UPDATE store_info SET value = '1' WHERE key = 'format'"},
      {"format 5", "UPDATE store_info SET value = '5' WHERE key = 'format'"},
      // An older format claimed: the checks must not turn off with it.
      {"format 3 claimed", "UPDATE store_info SET value = '3' WHERE key = 'format'"},
      {"format 2 claimed", "UPDATE store_info SET value = '2' WHERE key = 'format'"},
      {"format 3 claimed, its check made valid",
       "UPDATE store_info SET value = '3' WHERE key = 'format'; UPDATE store_info SET row_check "
       "= %CHECK_store_info%"},
      {"store_info check", "UPDATE store_info SET row_check = row_check + 1"},
      // Runs.
      {"series moved to another run, its check made valid",
       "UPDATE series SET run = run + 1 WHERE sid = (SELECT min(sid) FROM series); UPDATE series "
       "SET row_check = %CHECK_series%"},
      {"run id", "UPDATE runs SET run = 'f' || substr(run, 2)"},
      {"run row gone", "DELETE FROM runs"},
      {"format x", "UPDATE store_info SET value = 'x' WHERE key = 'format'"},
      // The facts and the migrations' totals.
      {"facts row altered",
       "UPDATE series_facts SET samples = samples - 1 WHERE sid = (SELECT "
       "min(sid) FROM series_facts) AND graph = 0"},
      {"facts row altered, its check made valid",
       "UPDATE series_facts SET last_time = last_time - 10 WHERE sid = (SELECT max(sid) FROM "
       "series_facts); UPDATE series_facts SET row_check = %CHECK_series_facts%"},
      {"facts row gone",
       "DELETE FROM series_facts WHERE sid = (SELECT max(sid) FROM "
       "series_facts) AND graph = 0"},
      // A run's summary.
      {"summary value", "UPDATE run_summaries SET value = value * 2 WHERE metric = 'mean'"},
      {"summary of another run, its check made valid",
       "UPDATE run_summaries SET run = run + 7; UPDATE run_summaries SET row_check = "
       "%CHECK_run_summaries%"},
      {"summary row gone",
       "DELETE FROM run_summaries WHERE metric = 'p95' AND series = (SELECT max(series) FROM "
       "run_summaries)"},
      {"summary version row gone", "DELETE FROM run_summaries WHERE metric = ''"},
      {"summary batches cut, its check made valid",
       "UPDATE run_summaries SET batches = substr(batches, 1, 24) WHERE metric = 'mean'; UPDATE "
       "run_summaries SET row_check = %CHECK_run_summaries%"},
      // A page of an index the store's own check does not scan, which the
      // listings of what is selected read.
      {"groups' name index page garbled", "PAGE sqlite_autoindex_groups_1"},
      {"a group's name altered in its index", "BYTE sqlite_autoindex_groups_1 Transaction Stats"},
      {"migration total", "UPDATE migrations SET stored_samples = stored_samples + 1"},
      {"migration total, its check made valid",
       "UPDATE migrations SET stored_samples = stored_samples - 7; UPDATE migrations SET "
       "row_check = %CHECK_migrations%"},
  };
  return table;
}

struct Outcome {
  int status;
  size_t lines;  // of standard error (readers) or of fault lines (verify)
};

/* A reader read right when it failed with one line; verify when it failed
 * with fault lines, or with one line when it refuses the store outright (a
 * format it does not read). */
bool read_right(const std::string &command, const Outcome &o) {
  return o.status != 0 && (command == "verify" ? o.lines >= 1 : o.lines == 1);
}

TEST(StoreDamage, EveryDamageIsAnErrorInEveryReaderAndInVerify) {
  TempRun run(5121);
  generate_and_migrate(run);
  std::string store = run.run_dir() + "/tsdb/metrics.sqlite";
  std::string orvtsdb = bin_dir() + "/orvtsdb";
  ASSERT_EQ(run_program(orvtsdb, {"verify", store}, clean_env()).status, 0);
  EngineProcess vm;
  std::string why = start_victoria_metrics(vm, run.wdir() + "/vm");
  if (why.find("not installed") != std::string::npos) GTEST_SKIP() << why;
  ASSERT_EQ(why, "");
  // The undamaged store reads in every command.
  std::string page = run.wdir() + "/report.html";
  auto commands = [&](const std::string &db) -> std::vector<std::vector<std::string>> {
    return {{"export", db, "--format", "csv"},
            {"report", db, "-o", page},
            {"push", db, "--url", vm.base() + "/api/v1/write", "--batch", "100000"},
            {"verify", db}};
  };
  for (const auto &args : commands(store))
    ASSERT_EQ(run_program(orvtsdb, args, clean_env()).status, 0) << args[0];

  int tried = 0, wrong = 0;
  std::printf("%-42s %-10s %-10s %-10s %-10s\n", "damage", "export", "report", "push", "verify");
  for (const Damage &d : damages()) {
    SCOPED_TRACE(d.what);
    std::string copy = run.wdir() + "/damaged.sqlite";
    fs::copy_file(store, copy, fs::copy_options::overwrite_existing);
    std::string err;
    int changed = damage(copy, expand(d.sql), err);
    ASSERT_GE(changed, 0) << err;
    if (changes_rows(d.sql)) {
      ASSERT_GT(changed, 0) << "the damage changed nothing";
    }
    tried++;
    std::printf("%-42s", d.what);
    for (const auto &args : commands(copy)) {
      RunResult r = run_program(orvtsdb, args, clean_env());
      size_t lines = 0;
      for (const std::string &l : split_lines(r.out))
        lines += args[0] == "verify" && l.rfind("fault: ", 0) == 0;
      if (lines == 0) lines = split_lines(r.err).size();
      bool right = read_right(args[0], {r.status, lines});
      wrong += !right;
      std::printf(" %-10s", right ? "error" : ("WRONG(" + std::to_string(r.status) + ")").c_str());
      EXPECT_TRUE(right) << args[0] << " exit " << r.status << "\n"
                         << r.out.substr(0, 400) << r.err;
      // The message names the store.
      if (!r.err.empty()) {
        EXPECT_NE(r.err.find(copy), std::string::npos) << args[0] << ": " << r.err;
      }
    }
    std::printf("\n");
  }
  std::printf("damages tried: %d, command runs: %d, read wrong: %d\n", tried, tried * 4, wrong);
  EXPECT_EQ(wrong, 0);
}

/* info prints totals, not samples: it holds them against the facts, the
 * chunk rows' checks included, so a row read other than written (its check
 * read from other bytes) is no total. */
TEST(StoreDamage, InfoHoldsTheChunkRowsChecksAgainstTheFacts) {
  TempRun run(5122);
  generate_and_migrate(run);
  std::string store = run.run_dir() + "/tsdb/metrics.sqlite";
  std::string copy = run.wdir() + "/damaged.sqlite";
  fs::copy_file(store, copy, fs::copy_options::overwrite_existing);
  std::string why;
  ASSERT_EQ(
      damage(copy, expand("UPDATE chunks SET row_check = row_check + 1 WHERE rowid = %C"), why), 1)
      << why;
  std::string orvtsdb = bin_dir() + "/orvtsdb";
  ASSERT_EQ(run_program(orvtsdb, {"info", store}, clean_env()).status, 0);
  RunResult r = run_program(orvtsdb, {"info", copy}, clean_env());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.err.find(copy + ": the store is damaged: its chunk rows give checks summing to"),
            std::string::npos)
      << r.err;
  // A field that is no number, or counts past what a total holds, is no total either.
  for (const char *sql : {"UPDATE chunks SET end_time = 'zz' WHERE rowid = %C",
                          "UPDATE chunks SET count = 9200000000000000000 WHERE rowid IN "
                          "(%C, (SELECT max(rowid) FROM chunks))"}) {
    fs::copy_file(store, copy, fs::copy_options::overwrite_existing);
    ASSERT_GE(damage(copy, expand(sql), why), 1) << why;
    r = run_program(orvtsdb, {"info", copy}, clean_env());
    EXPECT_EQ(r.status, 1) << sql << "\n" << r.out;
    EXPECT_NE(r.err.find(copy + ": the store is damaged: "), std::string::npos) << r.err;
  }
}

/* sql shows the tables as they are stored, damaged or not, but its samples
 * table decodes the chunk rows: like every reader of samples, it holds a
 * series' rows against its facts first, so a damaged row is an error, never
 * a gap or a sample read past its chunk, over the whole store and over a
 * window starting at the damaged chunk's end. The rows printed before it
 * are whole rows. */
TEST(StoreDamage, TheSamplesTableRefusesEveryDamagedChunkRow) {
  TempRun run(5123);
  generate_and_migrate(run);
  std::string store = run.run_dir() + "/tsdb/metrics.sqlite";
  std::string orvtsdb = bin_dir() + "/orvtsdb";
  RunResult end = run_program(
      orvtsdb, {"sql", store, "SELECT end_time FROM chunks WHERE rowid = " + expand("%C")},
      clean_env());
  ASSERT_EQ(end.status, 0) << end.err;
  std::vector<std::string> lines = split_lines(end.out);
  ASSERT_EQ(lines.size(), 2u) << end.out;
  // The last one is a plain walk, which sql reads a chunk at a time.
  const std::vector<std::string> queries = {
      "SELECT count(*), sum(value) FROM samples",
      "SELECT count(*), sum(value) FROM samples WHERE time >= " + lines[1],
      "SELECT * FROM samples"};
  for (const std::string &q : queries)
    ASSERT_EQ(run_program(orvtsdb, {"sql", store, q}, clean_env()).status, 0) << q;
  int tried = 0;
  for (const Damage &d : damages()) {
    if (std::string(d.what).rfind("chunk ", 0) != 0) continue;
    SCOPED_TRACE(d.what);
    std::string copy = run.wdir() + "/damaged.sqlite";
    fs::copy_file(store, copy, fs::copy_options::overwrite_existing);
    std::string why;
    ASSERT_EQ(damage(copy, expand(d.sql), why), 1) << why;
    tried++;
    for (const std::string &q : queries) {
      RunResult r = run_program(orvtsdb, {"sql", copy, q}, clean_env());
      EXPECT_EQ(r.status, 1) << q << "\n" << r.out.substr(0, 400);
      EXPECT_TRUE(r.out.empty() || r.out.back() == '\n') << q;
      EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
      EXPECT_NE(r.err.find(copy + ": damaged store: series "), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(tried, 9);
}

}  // namespace
