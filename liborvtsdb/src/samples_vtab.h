/*
 * samples_vtab.h - the `samples` table: every stored sample as a row, decoded
 * from the chunks on the fly, so that plain SQL reads the store.
 *
 *   samples(sid, group_name, graph_name, graph, role, time, value, labels,
 *           store HIDDEN)
 *
 * One row per series, graph, time stamp and role; value is NULL for a missing
 * sample. Equality on sid, group_name, graph_name and bounds on time narrow
 * the chunks read. Read-only.
 *
 * The table lives in the connection's temp schema and reads the main store;
 * samples('r2') (or WHERE store = 'r2') reads the store attached as r2.
 * Naming it r2.samples is "no such table", never the main store's rows.
 */
#ifndef ORVTSDB_SAMPLES_VTAB_H
#define ORVTSDB_SAMPLES_VTAB_H

#include <sqlite3.h>

namespace orvtsdb {

/* Makes `samples` available on db (creates temp.samples: call it before the
 * connection is made query-only), with the function check_of that its reads
 * hold the rows against. SQLITE_OK or SQLite's error code. */
int register_samples_table(sqlite3 *db);

}  // namespace orvtsdb

#endif
