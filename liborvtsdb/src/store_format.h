/*
 * store_format.h - the numbers of the on-disk formats this library writes:
 * the store's (its tables) and the chunk blobs'. FORMAT.md (beside this
 * folder) describes both and every version of them; a change to the tables
 * or to the chunk blobs changes its number and that page together.
 */
#ifndef ORVTSDB_STORE_FORMAT_H
#define ORVTSDB_STORE_FORMAT_H

#include <cstdint>

namespace orvtsdb {

/* Kept in store_info ('format', as text). */
constexpr uint8_t STORE_FORMAT = 2;

/* Byte 0 of every chunk blob written. A store holds blobs of earlier
 * formats beside these; the chunk codec reads each by its own byte 0. */
constexpr uint8_t CHUNK_BLOB_FORMAT = 3;

}  // namespace orvtsdb

#endif
