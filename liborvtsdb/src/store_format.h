/*
 * store_format.h - the number of the on-disk format this library writes and
 * reads. FORMAT.md (beside this folder) describes the format and every
 * version of it; a change to the tables or the chunk blobs changes this
 * number and that page together.
 */
#ifndef ORVTSDB_STORE_FORMAT_H
#define ORVTSDB_STORE_FORMAT_H

#include <cstdint>

namespace orvtsdb {

/* Kept in store_info ('format', as text) and in byte 0 of every chunk blob. */
constexpr uint8_t STORE_FORMAT = 2;

}  // namespace orvtsdb

#endif
