/*
 * read_connection.h - opening a store for reading, right after a crash too.
 *
 * A migration killed part-way leaves a hot rollback journal; SQLite rolls it
 * back on the next open that may write the file. So a reader opens the store
 * read-write when the file allows it (read-only otherwise) and then makes
 * the connection query-only: the reader recovers the last committed state
 * but none of its statements can change the store. The `samples` table is
 * registered on the connection.
 */
#ifndef ORVTSDB_READ_CONNECTION_H
#define ORVTSDB_READ_CONNECTION_H

#include <sqlite3.h>

#include <string>

namespace orvtsdb {

/* Opens the store file `path` for reading. Null with a reason naming the
 * store in err when there is no file, it is not a store of this format, or
 * it stays locked past ORVTSDB_BUSY_TIMEOUT_MS. Close with sqlite3_close. */
sqlite3 *open_for_reading(const std::string &path, std::string &err);

}  // namespace orvtsdb

#endif
