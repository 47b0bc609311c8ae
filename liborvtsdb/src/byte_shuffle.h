/*
 * byte_shuffle.h - the byte shuffle of chunk columns: N 8-byte words become
 * 8 planes of N bytes, plane b holding byte b (from the least significant)
 * of every word, so that the zero high bytes of small deltas lie side by
 * side for the compressor.
 */
#ifndef ORVTSDB_BYTE_SHUFFLE_H
#define ORVTSDB_BYTE_SHUFFLE_H

#include <cstdint>

namespace orvtsdb {

/* Writes the 8 planes of `count` words to dst (8 * count bytes). */
void shuffle_words(const uint64_t *words, int count, uint8_t *dst);

/* The inverse: reads 8 planes of `count` bytes at src back into words. */
void unshuffle_words(const uint8_t *src, int count, uint64_t *words);

}  // namespace orvtsdb

#endif
