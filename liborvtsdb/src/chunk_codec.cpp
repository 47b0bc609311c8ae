/*
 * chunk_codec.cpp - column modes + byte shuffle + zstd for chunk columns
 * (layout in chunk_codec.h).
 */
#include "chunk_codec.h"

#include <zstd.h>

#include <cmath>
#include <cstring>

#include "orvtsdb.h"

namespace orvtsdb {

namespace {

constexpr int MAX_ROLES = 5;
constexpr int MAX_DECIMALS = 4;
constexpr double POW10[MAX_DECIMALS + 1] = {1, 10, 100, 1000, 10000};
constexpr double EXACT_INT_LIMIT = 9007199254740992.0;  // 2^53
constexpr uint8_t MODE_DOUBLE = 0;

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

size_t bitmap_bytes(int count) { return ((size_t)count + 7) / 8; }

/* Most bytes one column can take in the plain (uncompressed) form. */
size_t column_bound(int count) { return 1 + bitmap_bytes(count) + (size_t)count * 8; }

void shuffle_word(uint8_t *dst, int count, int i, uint64_t w) {
  for (int k = 0; k < 8; k++) dst[(size_t)k * count + i] = (uint8_t)(w >> (8 * k));
}

uint64_t unshuffle_word(const uint8_t *src, int count, int i) {
  uint64_t w = 0;
  for (int k = 0; k < 8; k++) w |= (uint64_t)src[(size_t)k * count + i] << (8 * k);
  return w;
}

/* The smallest d for which every present value is exactly m / 10^d, or -1. */
int decimals_of(const double *base, size_t stride, int count) {
  for (int d = 0; d <= MAX_DECIMALS; d++) {
    int i = 0;
    for (; i < count; i++) {
      double v = base[(size_t)i * stride];
      if (bits_of(v) == MISSING_BITS) continue;
      // -0.0 has no integer form: m = 0 would give back +0.0.
      if (v == 0.0 && std::signbit(v)) return -1;
      double x = v * POW10[d];
      // The same arithmetic as get_column(), so a pass means an exact return.
      if (!(std::fabs(x) < EXACT_INT_LIMIT) ||
          bits_of((double)(int64_t)std::nearbyint(x) / POW10[d]) != bits_of(v))
        break;
    }
    if (i == count) return d;
  }
  return -1;
}

/* Writes one column in its mode; returns the bytes written. */
size_t put_column(const double *base, size_t stride, int count, uint8_t *dst) {
  int d = decimals_of(base, stride, count);
  dst[0] = (uint8_t)(d < 0 ? MODE_DOUBLE : 1 + d);
  uint8_t *words = dst + 1;
  if (d < 0) {
    uint64_t prev = 0;
    for (int i = 0; i < count; i++) {
      uint64_t b = bits_of(base[(size_t)i * stride]);
      shuffle_word(words, count, i, b ^ prev);
      prev = b;
    }
    return 1 + (size_t)count * 8;
  }
  uint8_t *missing = words;
  words += bitmap_bytes(count);
  std::memset(missing, 0, bitmap_bytes(count));
  int64_t prev = 0;
  for (int i = 0; i < count; i++) {
    double v = base[(size_t)i * stride];
    int64_t m = prev;
    if (bits_of(v) == MISSING_BITS)
      missing[i / 8] |= (uint8_t)(1u << (i % 8));
    else
      m = (int64_t)std::nearbyint(v * POW10[d]);
    uint64_t delta = (uint64_t)m - (uint64_t)prev;
    shuffle_word(words, count, i, (delta << 1) ^ (uint64_t)((int64_t)delta >> 63));
    prev = m;
  }
  return 1 + bitmap_bytes(count) + (size_t)count * 8;
}

/* Reads one column back; returns the bytes used, or 0 when they run short. */
size_t get_column(const uint8_t *src, size_t avail, int count, double *out) {
  if (avail < 1 || src[0] > 1 + MAX_DECIMALS) return 0;
  int mode = src[0];
  size_t need = mode == MODE_DOUBLE ? 1 + (size_t)count * 8 : column_bound(count);
  if (avail < need) return 0;
  if (mode == MODE_DOUBLE) {
    uint64_t prev = 0;
    for (int i = 0; i < count; i++) {
      prev ^= unshuffle_word(src + 1, count, i);
      std::memcpy(&out[i], &prev, sizeof prev);
    }
    return need;
  }
  const uint8_t *missing = src + 1, *words = missing + bitmap_bytes(count);
  double p = POW10[mode - 1];
  uint64_t m = 0;
  for (int i = 0; i < count; i++) {
    uint64_t z = unshuffle_word(words, count, i);
    m += (z >> 1) ^ (0 - (z & 1));
    out[i] = (missing[i / 8] >> (i % 8)) & 1 ? TSDB_MISSING_VALUE : (double)(int64_t)m / p;
  }
  return need;
}

}  // namespace

bool is_missing(double v) { return bits_of(v) == MISSING_BITS; }

ChunkEncoder::ChunkEncoder(int level) : cctx_(ZSTD_createCCtx()), level_(level) {}

ChunkEncoder::~ChunkEncoder() { ZSTD_freeCCtx(cctx_); }

bool ChunkEncoder::encode(const double *base, size_t sample_stride, size_t role_stride,
                          int roles, int count, std::string &err) {
  if (roles < 1 || roles > MAX_ROLES || count < 1) {
    err = "chunk shape out of range";
    return false;
  }
  size_t bound = (size_t)roles * column_bound(count);
  if (plain_.size() < bound) plain_.resize(bound);
  size_t plain_bytes = 0;
  for (int r = 0; r < roles; r++)
    plain_bytes += put_column(base + r * role_stride, sample_stride, count,
                              plain_.data() + plain_bytes);
  size_t out_bound = CHUNK_HEADER_BYTES + ZSTD_compressBound(plain_bytes);
  if (out_.size() < out_bound) out_.resize(out_bound);
  out_[0] = CHUNK_FORMAT;
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
  return true;
}

ChunkDecoder::ChunkDecoder() : dctx_(ZSTD_createDCtx()) {}

ChunkDecoder::~ChunkDecoder() { ZSTD_freeDCtx(dctx_); }

bool ChunkDecoder::decode(const void *blob, size_t len, std::string &err) {
  const uint8_t *p = static_cast<const uint8_t *>(blob);
  if (!p || len < CHUNK_HEADER_BYTES || p[0] != CHUNK_FORMAT || p[1] < 1 ||
      p[1] > MAX_ROLES) {
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
  size_t used = 0;
  for (int r = 0; r < roles; r++) {
    size_t k = get_column(plain_.data() + used, n - used, (int)count,
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
