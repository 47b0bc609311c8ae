/*
 * store_facts.h - the facts `info` shows (also the summary of the report).
 */
#ifndef ORVTSDB_STORE_FACTS_H
#define ORVTSDB_STORE_FACTS_H

#include <sqlite3.h>

#include <string>

#include "value_text.h"

namespace orvtsdb_cli {

/* store, bytes, migrations (array), first_time/last_time (null when empty),
 * groups, graphs, series, ended_series, chunks, chunk_bytes, samples, values.
 * Dies (status 1) on an SQLite error. */
Json store_facts(sqlite3 *db, const std::string &path);

}  // namespace orvtsdb_cli

#endif
