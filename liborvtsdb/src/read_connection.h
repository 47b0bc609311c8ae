/*
 * read_connection.h - opening a store for reading, right after a crash too,
 * on a connection that cannot change it.
 *
 * A migration killed part-way leaves a hot rollback journal; SQLite rolls it
 * back on the next open that may write the file. So a reader first opens the
 * store read-write when the file allows it, only to let that recovery happen,
 * and closes it again. Everything a reader then runs, user SQL included, runs
 * on a second connection that cannot write anything:
 *   - opened read-only, so SQLite refuses any write to the store and to every
 *     store ATTACHed to it (an ATTACHed file opens with the same flags);
 *   - in defensive mode, so the schema cannot be edited through
 *     `writable_schema` and the like;
 *   - with an authorizer that refuses, while a statement is prepared, every
 *     kind of write, DDL, ATTACH of anything but an existing store file, and
 *     every PRAGMA that is not a plain query;
 *   - and prepare_reading_statement() refuses what SQLite itself does not
 *     call read-only (VACUUM INTO writes a new file; the authorizer has no
 *     code for it).
 * Each layer alone has a hole (a read-only open still lets VACUUM INTO write
 * a new file and an in-memory ATTACH take tables; an authorizer does not see
 * VACUUM); together they close them. The `samples` table is registered
 * on the connection.
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

/* What a reader says when the store stays locked past the busy timeout. */
std::string busy_text();

/* What the authorizer of this thread's reading connection refused last
 * ("DELETE from chunks", ...), and forgets it: empty when nothing was. */
std::string take_refusal();

}  // namespace orvtsdb

#endif
