/*
 * chunk_codec.cpp - column modes + byte shuffle + zstd for chunk columns
 * (the layout is in FORMAT.md).
 */
#include "chunk_codec.h"

#include <xxhash.h>
#include <zstd.h>

#include <cmath>
#include <cstring>

#include "byte_shuffle.h"
#include "orvtsdb.h"

namespace orvtsdb {

namespace {

constexpr int MAX_ROLES = 5;
constexpr int MAX_DECIMALS = 4;
constexpr double POW10[MAX_DECIMALS + 1] = {1, 10, 100, 1000, 10000};
constexpr double EXACT_INT_LIMIT = 9007199254740992.0;  // 2^53
constexpr uint8_t MODE_DOUBLE = 0;
/* Byte 0 of the first release's blobs, which carried no check. */
constexpr uint8_t UNCHECKED_FORMAT = 1;

uint64_t bits_of(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

const uint64_t MISSING_BITS = bits_of(TSDB_MISSING_VALUE);

void put_u32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

uint32_t get_u32(const uint8_t *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void put_u64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = (uint8_t)(v >> (8 * i));
}

uint64_t get_u64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

/* The check of a blob of `len` bytes: its frame, seeded with its first six
 * bytes and the row's seed. */
uint64_t blob_check(const uint8_t *blob, size_t len, uint64_t seed) {
  uint64_t head = (uint64_t)blob[0] | (uint64_t)blob[1] << 8 | (uint64_t)get_u32(blob + 2) << 16;
  return XXH3_64bits_withSeed(blob + CHUNK_HEADER_BYTES, len - CHUNK_HEADER_BYTES,
                              seed ^ XXH3_64bits(&head, sizeof head));
}

size_t bitmap_bytes(int count) { return ((size_t)count + 7) / 8; }

/* Most bytes one column can take in the plain (uncompressed) form. */
size_t column_bound(int count) { return 1 + bitmap_bytes(count) + (size_t)count * 8; }

/* nearbyint() for |x| < 2^53 (ties to even) without a call into libm.
 * Below 2^51, adding and taking away 1.5 * 2^52 leaves x rounded by the
 * FPU's own round-to-nearest (ties to even); above, x - trunc(x) is exact. */
[[gnu::always_inline]] inline int64_t round_even(double x) {
  constexpr double SHIFTER = 6755399441055744.0;  // 1.5 * 2^52
  if (std::fabs(x) < 2251799813685248.0) {        // 2^51
    return (int64_t)((x + SHIFTER) - SHIFTER);    // kept as written: no -ffast-math here
  }
  int64_t m = (int64_t)x;
  double r = x - (double)m;
  if (r > 0.5 || (r == 0.5 && (m & 1))) return m + 1;
  if (r < -0.5 || (r == -0.5 && (m & 1))) return m - 1;
  return m;
}

/* Whether v is exactly m / 10^d for an integer m (then put in *m), by the
 * same arithmetic as get_column(), so a pass means an exact return. -0.0
 * never passes: m = 0 gives back +0.0. */
[[gnu::always_inline]] inline bool scaled_int(double v, int d, int64_t *m) {
  double x = v * POW10[d];
  if (!(std::fabs(x) < EXACT_INT_LIMIT)) return false;
  *m = round_even(x);
  return bits_of((double)*m / POW10[d]) == bits_of(v);
}

/* Fills words with the zigzag deltas of m = v * 10^d (a missing value
 * repeats the previous m) and sets the missing bitmap; false as soon as a
 * present value has no exact form at d. */
bool scale_column(const double *base, size_t stride, int count, int d, uint64_t *words,
                  uint8_t *missing) {
  std::memset(missing, 0, bitmap_bytes(count));
  int64_t prev = 0;
  for (int i = 0; i < count; i++) {
    double v = base[(size_t)i * stride];
    int64_t m = prev;
    if (bits_of(v) == MISSING_BITS)
      missing[i / 8] |= (uint8_t)(1u << (i % 8));
    else if (!scaled_int(v, d, &m))
      return false;
    uint64_t delta = (uint64_t)m - (uint64_t)prev;
    words[i] = (delta << 1) ^ (uint64_t)((int64_t)delta >> 63);
    prev = m;
  }
  return true;
}

/* The smallest d a value needs, or -1 when none up to MAX_DECIMALS does. */
int decimals_of(double v) {
  int64_t m;
  for (int d = 0; d <= MAX_DECIMALS; d++)
    if (scaled_int(v, d, &m)) return d;
  return -1;
}

/* The smallest d for which every present value is exactly m / 10^d (words
 * then hold the deltas of m, missing the bitmap), or -1. No d below the
 * first present value's own can pass, so the search starts there and
 * usually ends with that one pass. */
int integer_mode(const double *base, size_t stride, int count, uint64_t *words, uint8_t *missing) {
  int i = 0;
  while (i < count && bits_of(base[(size_t)i * stride]) == MISSING_BITS) i++;
  int d = i < count ? decimals_of(base[(size_t)i * stride]) : 0;
  if (d < 0) return -1;
  for (; d <= MAX_DECIMALS; d++)
    if (scale_column(base, stride, count, d, words, missing)) return d;
  return -1;
}

/* Writes one column in its mode using `words` (count entries) as scratch;
 * returns the bytes written. */
size_t put_column(const double *base, size_t stride, int count, uint64_t *words, uint8_t *dst) {
  uint8_t *missing = dst + 1;
  int d = integer_mode(base, stride, count, words, missing);
  dst[0] = (uint8_t)(d < 0 ? MODE_DOUBLE : 1 + d);
  if (d >= 0) {
    shuffle_words(words, count, missing + bitmap_bytes(count));
    return 1 + bitmap_bytes(count) + (size_t)count * 8;
  }
  uint64_t prev = 0;
  for (int i = 0; i < count; i++) {
    uint64_t b = bits_of(base[(size_t)i * stride]);
    words[i] = b ^ prev;
    prev = b;
  }
  shuffle_words(words, count, dst + 1);
  return 1 + (size_t)count * 8;
}

/* Reads one column back using `words` (count entries) as scratch; returns
 * the bytes used, or 0 when they run short. */
size_t get_column(const uint8_t *src, size_t avail, int count, uint64_t *words, double *out) {
  if (avail < 1 || src[0] > 1 + MAX_DECIMALS) return 0;
  int mode = src[0];
  size_t need = mode == MODE_DOUBLE ? 1 + (size_t)count * 8 : column_bound(count);
  if (avail < need) return 0;
  if (mode == MODE_DOUBLE) {
    unshuffle_words(src + 1, count, words);
    uint64_t prev = 0;
    for (int i = 0; i < count; i++) {
      prev ^= words[i];
      std::memcpy(&out[i], &prev, sizeof prev);
    }
    return need;
  }
  const uint8_t *missing = src + 1;
  unshuffle_words(missing + bitmap_bytes(count), count, words);
  double p = POW10[mode - 1];
  uint64_t m = 0;
  for (int i = 0; i < count; i++) {
    uint64_t z = words[i];
    m += (z >> 1) ^ (0 - (z & 1));
    out[i] = (missing[i / 8] >> (i % 8)) & 1 ? TSDB_MISSING_VALUE : (double)(int64_t)m / p;
  }
  return need;
}

}  // namespace

bool is_missing(double v) { return bits_of(v) == MISSING_BITS; }

uint64_t chunk_seed(int64_t sid, int64_t graph, int64_t data_type, int64_t start, int64_t step) {
  int64_t place[5] = {sid, graph, data_type, start, step};
  return XXH3_64bits(place, sizeof place);
}

ChunkEncoder::ChunkEncoder(int level) : cctx_(ZSTD_createCCtx()), level_(level) {}

ChunkEncoder::~ChunkEncoder() { ZSTD_freeCCtx(cctx_); }

bool ChunkEncoder::encode(uint64_t seed, const double *base, size_t sample_stride,
                          size_t role_stride, int roles, int count, std::string &err) {
  if (!cctx_) {
    err = "out of memory for the chunk compressor";
    return false;
  }
  if (roles < 1 || roles > MAX_ROLES || count < 1) {
    err = "chunk shape out of range";
    return false;
  }
  size_t bound = (size_t)roles * column_bound(count);
  if (plain_.size() < bound) plain_.resize(bound);
  size_t plain_bytes = 0;
  if (words_.size() < (size_t)count) words_.resize(count);
  for (int r = 0; r < roles; r++)
    plain_bytes += put_column(base + r * role_stride, sample_stride, count, words_.data(),
                              plain_.data() + plain_bytes);
  size_t out_bound = CHUNK_HEADER_BYTES + ZSTD_compressBound(plain_bytes);
  if (out_.size() < out_bound) out_.resize(out_bound);
  out_[0] = CHUNK_BLOB_FORMAT;
  out_[1] = (uint8_t)roles;
  put_u32(&out_[2], (uint32_t)count);
  size_t n = ZSTD_compressCCtx(cctx_, out_.data() + CHUNK_HEADER_BYTES,
                               out_.size() - CHUNK_HEADER_BYTES, plain_.data(), plain_bytes,
                               level_);
  if (ZSTD_isError(n)) {
    err = std::string("zstd: ") + ZSTD_getErrorName(n);
    return false;
  }
  out_size_ = CHUNK_HEADER_BYTES + n;
  put_u64(&out_[6], blob_check(out_.data(), out_size_, seed));
  return true;
}

ChunkDecoder::ChunkDecoder() : dctx_(ZSTD_createDCtx()) {}

ChunkDecoder::~ChunkDecoder() { ZSTD_freeDCtx(dctx_); }

bool ChunkDecoder::decode(uint64_t seed, const void *blob, size_t len, std::string &err) {
  const uint8_t *p = static_cast<const uint8_t *>(blob);
  if (!dctx_) {
    err = "out of memory for the chunk decompressor";
    return false;
  }
  if (p && len > 0 && p[0] == UNCHECKED_FORMAT) {
    err = "chunk written without a checksum by an older version (migrate the run again)";
    return false;
  }
  if (!p || len < CHUNK_HEADER_BYTES || get_u64(p + 6) != blob_check(p, len, seed)) {
    err = "checksum mismatch (the chunk is damaged)";
    return false;
  }
  if (p[0] != CHUNK_BLOB_FORMAT || p[1] < 1 || p[1] > MAX_ROLES) {
    err = "not a chunk of a known format";
    return false;
  }
  int roles = p[1];
  uint32_t count = get_u32(p + 2);
  if (count == 0 || count > (1u << 24)) {
    err = "chunk sample count out of range";
    return false;
  }
  size_t bound = (size_t)roles * column_bound((int)count);
  if (plain_.size() < bound) plain_.resize(bound);
  size_t n = ZSTD_decompressDCtx(dctx_, plain_.data(), bound, p + CHUNK_HEADER_BYTES,
                                 len - CHUNK_HEADER_BYTES);
  if (ZSTD_isError(n)) {
    err = std::string("zstd: ") + ZSTD_getErrorName(n);
    return false;
  }
  if (values_.size() < (size_t)roles * count) values_.resize((size_t)roles * count);
  if (words_.size() < count) words_.resize(count);
  size_t used = 0;
  for (int r = 0; r < roles; r++) {
    size_t k = get_column(plain_.data() + used, n - used, (int)count, words_.data(),
                          values_.data() + (size_t)r * count);
    if (k == 0) {
      err = "chunk truncated";
      return false;
    }
    used += k;
  }
  roles_ = roles;
  count_ = (int)count;
  return true;
}

}  // namespace orvtsdb
