/*
 * store_checks.h - what binds the store's rows to their content, so that a
 * reader finds a damaged row instead of reading it as something else.
 *
 * Every row of the store's tables carries `row_check`, an XXH3-64 of the
 * table's name and the row's other columns (not a chunk's blob, which has a
 * check of its own). The SQL function check_of(table, column, ...) computes
 * it; the one expression per table below is used by the writer, by the
 * upgrade of an older store and by every reader, so all three agree. For the
 * chunk rows it inserts, the writer hashes the same bytes without SQL
 * (chunk_row_check), and so do the readers that list chunk rows
 * (chunk_row_checks_out); a test holds them against each other.
 *
 * The series_facts table records, per series and graph, its chunk count,
 * time span, sample and value counts and the sum of its chunk rows' checks:
 * a reader lists a series' rows without their blobs, holds them against the
 * facts, and only then reads the blobs it needs. A lost, extra, moved or
 * altered row changes a sum.
 */
#ifndef ORVTSDB_STORE_CHECKS_H
#define ORVTSDB_STORE_CHECKS_H

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sqlite_stmt.h"
#include "store_format.h"

namespace orvtsdb {

/* Registers check_of() on db. false with SQLite's reason in err. */
bool register_check_function(sqlite3 *db, std::string &err);

/* A column a row check covers, and the store format that added it. */
struct CheckedColumn {
  CheckedColumn(const char *n, int format = FIRST_CHECKED_STORE_FORMAT) : name(n), since(format) {}
  const char *name;
  int since;
};

/* One checked table: its name, an expression naming one row (for
 * messages), the columns its row check covers, in order, and the store
 * format that first checked its rows. */
struct CheckedTable {
  const char *name;
  const char *key;
  std::vector<CheckedColumn> columns;
  int since = FIRST_CHECKED_STORE_FORMAT;
  /* check_of('<name>', <prefix><column>, ...): the row check computed from
   * the row's columns as a store of `format` has them, each named through
   * `prefix` ("c." in a join). */
  std::string check(const std::string &prefix = "", int format = 0) const;
};

/* Every checked table, metadata first, chunks and facts last (with those
 * a store of an older format lacks: see `since`). */
const std::vector<CheckedTable> &checked_tables();

/* The checked table named `table`; null for a table without a check. */
const CheckedTable *checked_table(const std::string &table);

/* checked_tables()'s `table` .check(prefix); "" for a table without one. */
std::string row_check_sql(const std::string &table, const std::string &prefix = "");

/* "UPDATE <table> SET row_check = <its check> WHERE <where>": the statement
 * that gives the rows `where` selects their checks, once they are written. */
std::string row_check_update(const std::string &table, const std::string &where);

/* The check of a chunks row with these columns: what check_of() gives for
 * it, computed without SQL, so that the writer knows it as it inserts. */
int64_t chunk_row_check(int64_t sid, int64_t graph, int64_t data_type, int64_t start_time,
                        int64_t step, int64_t count, int64_t end_time, int64_t migration);

/* The time of the last sample of a chunk row of `count` samples from
 * `start` every `step` seconds, in *end; false when the row cannot be one
 * (a step or count below 1, or an end past what 64 bits hold). */
inline bool chunk_end_time(int64_t start, int64_t step, int64_t count, int64_t *end) {
  int64_t span = 0;
  return step > 0 && count > 0 && !__builtin_mul_overflow(count - 1, step, &span) &&
         !__builtin_add_overflow(start, span, end);
}

/* Whether the chunks row at columns first..first+8 of s's current row (sid,
 * graph, data_type, start_time, step, count, end_time, migration and
 * row_check, in this order) carries its check: what `row_check IS
 * check_of('chunks', ...)` gives, without a call into SQL for every row a
 * reader lists. False with *readable false (err says why) when SQLite could
 * not give a column's bytes. */
bool chunk_row_checks_out(sqlite3_stmt *s, int first, bool *readable, std::string &err);

/* The facts of one series and graph, gathered from its chunk rows in time
 * order (add), or read from series_facts. */
struct SeriesFacts {
  int64_t chunks = 0, first = 0, last = 0, samples = 0, values = 0;
  uint64_t rows_sum = 0;  // sum of the rows' checks, modulo 2^64

  /* Adds a chunk row. */
  void add(int64_t start, int64_t end, int64_t count, int data_type, int64_t row_check);
  /* What differs from `stored` ("" when they agree), for messages. */
  std::string differences(const SeriesFacts &stored) const;
};

/* The facts of every graph of a series, by graph position. */
using FactsOfSeries = std::map<int, SeriesFacts>;

/* Keeps series_facts right on a connection that writes: gathers a series'
 * facts from its chunk rows, reads the recorded ones, and writes new ones.
 * Statements are prepared once (prepare) and used for many series. */
class FactsKeeper {
 public:
  bool prepare(sqlite3 *db, std::string &err);
  /* The facts of series sid's chunk rows, leaving out those of migration
   * `skip` (-1: none). false when a row's check does not hold; the rows of
   * migration `written`, which this connection wrote in its open
   * transaction, are not checked again. */
  bool gather(int64_t sid, int64_t skip, FactsOfSeries &out, std::string &err,
              int64_t written = -1);
  /* The recorded facts of series sid. false when a facts row's check does
   * not hold. */
  bool recorded(int64_t sid, FactsOfSeries &out, std::string &err);
  /* Replaces the recorded facts of series sid by `facts`. */
  bool write(int64_t sid, const FactsOfSeries &facts, std::string &err);
  /* Gathers and writes the facts of series sid (see gather for `written`). */
  bool refresh(int64_t sid, int64_t written, std::string &err);
  /* "" when the facts gathered from the rows of series sid (leaving out
   * migration `skip`) agree with those recorded, else what differs. */
  bool compare(int64_t sid, int64_t skip, std::string *differs, std::string &err);

 private:
  sqlite3 *db_ = nullptr;
  Stmt rows_, facts_, del_, ins_;
};

/* The identity text of a tag/value list, as series.labels holds it:
 * "tag=value" pairs joined by ",", with "\", "=" and "," escaped by "\". */
std::string labels_text(const std::vector<std::pair<std::string, std::string>> &tags);

}  // namespace orvtsdb

#endif
