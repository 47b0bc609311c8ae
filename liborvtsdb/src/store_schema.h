/*
 * store_schema.h - the SQLite tables of the store, shared by the writer and
 * the read side. FORMAT.md describes them.
 */
#ifndef ORVTSDB_STORE_SCHEMA_H
#define ORVTSDB_STORE_SCHEMA_H

#include <sqlite3.h>

#include <string>
#include <vector>

namespace orvtsdb {

/* Creates the tables when absent (inside the caller's transaction). Returns
 * false with SQLite's reason in err. */
bool ensure_schema(sqlite3 *db, std::string &err);

/* Whether the tables exist (a store, possibly without migrations). */
bool has_schema(sqlite3 *db);

/* True when the store's format is one this library reads (store_format.h:
 * OLDEST_READ_STORE_FORMAT to STORE_FORMAT), with it in *format when given;
 * else false with a reason in err: an older or a newer format, or no store
 * at all. `schema` names the attached store to look at (main: the store
 * db opened). */
bool check_format(sqlite3 *db, std::string &err, int *format = nullptr,
                  const std::string &schema = "main");

/* name quoted as an SQL identifier ("r2" -> "\"r2\"", a quote doubled). */
std::string quoted_identifier(const std::string &name);

/* What differs between the tables, columns and indexes of db and those this
 * library makes for a store of `format`, and chunk blobs of a newer format
 * than `format` holds (one line each; empty when nothing does): a table,
 * column or blob newer than the format the store claims is damage, never a
 * reason to read it as the older format. err is set when they cannot be
 * compared. */
std::vector<std::string> schema_faults(sqlite3 *db, int format, std::string &err);

/* Brings a store of an older `format` read by this library up to
 * STORE_FORMAT inside the caller's transaction: from format 2 it reads every
 * chunk (a damaged one stops it) and adds the row checks and the series'
 * facts; from either it adds the runs and gives every series its run (a
 * series an older store shared between runs is split, one per run). The
 * caller has held the store against the shape of `format` (schema_faults).
 * false with a reason in err. */
bool upgrade_store(sqlite3 *db, int format, std::string &err);

/* Adds to a store of STORE_FORMAT the tables that came later within that
 * format and that it lacks (run_summaries), inside the caller's
 * transaction. */
bool add_later_tables(sqlite3 *db, std::string &err);

/* Whether db holds a table named `name`. */
bool has_table(sqlite3 *db, const char *name);

/* SQLite's reason for the last failed call on db, led by the cause a
 * person acts on: a full disk, or a write the file system refused. */
std::string failure_text(sqlite3 *db);

/* Runs one statement without results; false with SQLite's reason in err. */
bool exec_sql(sqlite3 *db, const char *sql, std::string &err);

}  // namespace orvtsdb

#endif
