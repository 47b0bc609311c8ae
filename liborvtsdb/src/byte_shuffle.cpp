/*
 * byte_shuffle.cpp - the shuffle as block transposes: 16 words at a time in
 * SSE2 registers where the compiler targets them, 8 at a time in general
 * registers otherwise, and byte by byte for the last few words.
 */
#include "byte_shuffle.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvtsdb {

namespace {

/* Swaps the bytes of x and y selected by `mask` << shift and `mask`: the
 * step of an 8 x 8 byte transpose that exchanges blocks of shift / 8 bytes. */
[[gnu::always_inline]] inline void swap_blocks(uint64_t &x, uint64_t &y, int shift, uint64_t mask) {
  uint64_t t = ((x >> shift) ^ y) & mask;
  y ^= t;
  x ^= t << shift;
}

/* Transposes an 8 x 8 byte matrix held as 8 words: afterwards byte j of
 * w[k] is what byte k of w[j] was. Three rounds swap 4-, 2- and 1-byte
 * blocks, a few shifts and masks per word instead of one store per byte. */
[[gnu::always_inline]] inline void transpose8x8(uint64_t w[8]) {
  swap_blocks(w[0], w[4], 32, 0x00000000FFFFFFFFull);
  swap_blocks(w[1], w[5], 32, 0x00000000FFFFFFFFull);
  swap_blocks(w[2], w[6], 32, 0x00000000FFFFFFFFull);
  swap_blocks(w[3], w[7], 32, 0x00000000FFFFFFFFull);
  swap_blocks(w[0], w[2], 16, 0x0000FFFF0000FFFFull);
  swap_blocks(w[1], w[3], 16, 0x0000FFFF0000FFFFull);
  swap_blocks(w[4], w[6], 16, 0x0000FFFF0000FFFFull);
  swap_blocks(w[5], w[7], 16, 0x0000FFFF0000FFFFull);
  swap_blocks(w[0], w[1], 8, 0x00FF00FF00FF00FFull);
  swap_blocks(w[2], w[3], 8, 0x00FF00FF00FF00FFull);
  swap_blocks(w[4], w[5], 8, 0x00FF00FF00FF00FFull);
  swap_blocks(w[6], w[7], 8, 0x00FF00FF00FF00FFull);
}

/* One block of 8 words (8 x 8 bytes) to its 8 places in the planes. */
void shuffle8(const uint64_t *words, int count, uint8_t *dst) {
  uint64_t t[8];
  std::memcpy(t, words, sizeof t);
  transpose8x8(t);
#pragma GCC unroll 8
  for (int k = 0; k < 8; k++) std::memcpy(dst + (size_t)k * count, &t[k], 8);
}

void unshuffle8(const uint8_t *src, int count, uint64_t *words) {
  uint64_t t[8];
#pragma GCC unroll 8
  for (int k = 0; k < 8; k++) std::memcpy(&t[k], src + (size_t)k * count, 8);
  transpose8x8(t);
  std::memcpy(words, t, sizeof t);
}

#if defined(__SSE2__)
/* Interleaves the bytes of x and y: x takes the low halves', y the high
 * halves'. On 8 registers paired by one bit of their index, this moves the
 * top bit of a byte's position into that register bit and the register bit
 * into the bottom of the position. */
[[gnu::always_inline]] inline void interleave(__m128i &x, __m128i &y) {
  __m128i lo = _mm_unpacklo_epi8(x, y);
  y = _mm_unpackhi_epi8(x, y);
  x = lo;
}

/* One interleaving round over v[0..7], pairing registers whose index
 * differs in `bit`. */
[[gnu::always_inline]] inline void interleave_round(__m128i v[8], int bit) {
#pragma GCC unroll 8
  for (int r = 0; r < 8; r++)
    if (!(r & bit)) interleave(v[r], v[r | bit]);
}

/* 16 words: a byte sits at register w3 w2 w1, position w0 k2 k1 k0 (word w,
 * byte k). Rounds on register bits 4, 2, 1, 4 turn that into register
 * k0 k2 k1, position w3 w2 w1 w0: each plane's 16 bytes in one register. */
void shuffle16(const uint64_t *words, int count, uint8_t *dst) {
  __m128i v[8];
#pragma GCC unroll 8
  for (int r = 0; r < 8; r++)
    v[r] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(words + 2 * r));
  interleave_round(v, 4);
  interleave_round(v, 2);
  interleave_round(v, 1);
  interleave_round(v, 4);
#pragma GCC unroll 8
  for (int k = 0; k < 8; k++)
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + (size_t)k * count),
                     v[(k & 1) << 2 | k >> 1]);
}

/* Planes to words: register k2 k1 k0, position w3 w2 w1 w0; rounds on bits
 * 4, 2, 1 give register w3 w2 w1, position w0 k2 k1 k0. */
void unshuffle16(const uint8_t *src, int count, uint64_t *words) {
  __m128i v[8];
#pragma GCC unroll 8
  for (int k = 0; k < 8; k++)
    v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + (size_t)k * count));
  interleave_round(v, 4);
  interleave_round(v, 2);
  interleave_round(v, 1);
#pragma GCC unroll 8
  for (int r = 0; r < 8; r++) _mm_storeu_si128(reinterpret_cast<__m128i *>(words + 2 * r), v[r]);
}
#endif

// The block paths move whole words to and from the planes.
static_assert(std::endian::native == std::endian::little, "little-endian host expected");

}  // namespace

void shuffle_words(const uint64_t *words, int count, uint8_t *dst) {
  int i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= count; i += 16) shuffle16(words + i, count, dst + i);
#endif
  for (; i + 8 <= count; i += 8) shuffle8(words + i, count, dst + i);
  for (; i < count; i++)
    for (int k = 0; k < 8; k++) dst[(size_t)k * count + i] = (uint8_t)(words[i] >> (8 * k));
}

void unshuffle_words(const uint8_t *src, int count, uint64_t *words) {
  int i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= count; i += 16) unshuffle16(src + i, count, words + i);
#endif
  for (; i + 8 <= count; i += 8) unshuffle8(src + i, count, words + i);
  for (; i < count; i++) {
    uint64_t w = 0;
    for (int k = 0; k < 8; k++) w |= (uint64_t)src[(size_t)k * count + i] << (8 * k);
    words[i] = w;
  }
}

}  // namespace orvtsdb
