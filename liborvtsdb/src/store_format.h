/*
 * store_format.h - the numbers of the on-disk formats this library writes
 * and reads. FORMAT.md (beside this folder) describes them and every
 * version of them; a change to the tables changes STORE_FORMAT, a change to
 * the chunk blobs CHUNK_BLOB_FORMAT, each with that page.
 */
#ifndef ORVTSDB_STORE_FORMAT_H
#define ORVTSDB_STORE_FORMAT_H

#include <cstdint>

namespace orvtsdb {

/* Kept in store_info ('format', as text): the tables and their checks. */
constexpr int STORE_FORMAT = 4;

/* The first store format whose rows carry checks and whose series carry
 * facts. */
constexpr int FIRST_CHECKED_STORE_FORMAT = 3;

/* The oldest store format still read; a migration upgrades it in place. */
constexpr int OLDEST_READ_STORE_FORMAT = 2;

/* Byte 0 of every chunk blob written: 5, segments of columns. A store
 * holds blobs of earlier formats beside these; the chunk codec reads each by
 * its own byte 0. */
constexpr uint8_t CHUNK_BLOB_FORMAT = 5;

}  // namespace orvtsdb

#endif
