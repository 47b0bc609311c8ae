/*
 * store_schema.h - the SQLite tables of the store, shared by the writer and
 * the read side. FORMAT.md describes them.
 */
#ifndef ORVTSDB_STORE_SCHEMA_H
#define ORVTSDB_STORE_SCHEMA_H

#include <sqlite3.h>

#include <string>

namespace orvtsdb {

/* Creates the tables when absent (inside the caller's transaction). Returns
 * false with SQLite's reason in err. */
bool ensure_schema(sqlite3 *db, std::string &err);

/* Whether the tables exist (a store, possibly without migrations). */
bool has_schema(sqlite3 *db);

/* True when the store's format is STORE_FORMAT (store_format.h); else false
 * with a reason in err: an older or a newer format, or no store at all. */
bool check_format(sqlite3 *db, std::string &err);

/* Runs one statement without results; false with SQLite's reason in err. */
bool exec_sql(sqlite3 *db, const char *sql, std::string &err);

/* Text of a role of a data type's family ("value", "avg", ...), or "value". */
const char *role_name(int data_type, int role);

/* Element count of a data type, or 0 for a number outside the table. */
int role_count(int data_type);

}  // namespace orvtsdb

#endif
