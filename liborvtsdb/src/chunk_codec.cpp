/*
 * chunk_codec.cpp - XOR + byte shuffle + zstd for chunk columns (layout in
 * chunk_codec.h).
 */
#include "chunk_codec.h"

#include <zstd.h>

#include <cstring>

#include "orvtsdb.h"

namespace orvtsdb {

namespace {

constexpr int MAX_ROLES = 5;

uint64_t bits_of(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

void put_u32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

uint32_t get_u32(const uint8_t *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* XOR with the previous value, then spread the 8 bytes over 8 planes. */
void shuffle_column(const double *base, size_t stride, int count, uint8_t *dst) {
  uint64_t prev = 0;
  for (int i = 0; i < count; i++) {
    uint64_t b = bits_of(base[(size_t)i * stride]);
    uint64_t x = b ^ prev;
    prev = b;
    for (int k = 0; k < 8; k++) dst[(size_t)k * count + i] = (uint8_t)(x >> (8 * k));
  }
}

void unshuffle_column(const uint8_t *src, int count, double *out) {
  uint64_t prev = 0;
  for (int i = 0; i < count; i++) {
    uint64_t x = 0;
    for (int k = 0; k < 8; k++) x |= (uint64_t)src[(size_t)k * count + i] << (8 * k);
    prev ^= x;
    std::memcpy(&out[i], &prev, sizeof prev);
  }
}

}  // namespace

bool is_missing(double v) { return bits_of(v) == bits_of(TSDB_MISSING_VALUE); }

ChunkEncoder::ChunkEncoder(int level) : cctx_(ZSTD_createCCtx()), level_(level) {}

ChunkEncoder::~ChunkEncoder() { ZSTD_freeCCtx(cctx_); }

bool ChunkEncoder::encode(const double *base, size_t sample_stride, size_t role_stride,
                          int roles, int count, std::string &err) {
  if (roles < 1 || roles > MAX_ROLES || count < 1) {
    err = "chunk shape out of range";
    return false;
  }
  size_t plain_bytes = (size_t)roles * count * 8;
  if (plain_.size() < plain_bytes) plain_.resize(plain_bytes);
  for (int r = 0; r < roles; r++)
    shuffle_column(base + r * role_stride, sample_stride, count, plain_.data() + (size_t)r * count * 8);
  size_t bound = CHUNK_HEADER_BYTES + ZSTD_compressBound(plain_bytes);
  if (out_.size() < bound) out_.resize(bound);
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
  size_t plain_bytes = (size_t)roles * count * 8;
  if (count == 0 || count > (1u << 24)) {
    err = "chunk sample count out of range";
    return false;
  }
  if (plain_.size() < plain_bytes) plain_.resize(plain_bytes);
  size_t n = ZSTD_decompressDCtx(dctx_, plain_.data(), plain_bytes, p + CHUNK_HEADER_BYTES,
                                 len - CHUNK_HEADER_BYTES);
  if (ZSTD_isError(n) || n != plain_bytes) {
    err = ZSTD_isError(n) ? std::string("zstd: ") + ZSTD_getErrorName(n) : "chunk truncated";
    return false;
  }
  if (values_.size() < (size_t)roles * count) values_.resize((size_t)roles * count);
  for (int r = 0; r < roles; r++)
    unshuffle_column(plain_.data() + (size_t)r * count * 8, (int)count,
                     values_.data() + (size_t)r * count);
  roles_ = roles;
  count_ = (int)count;
  return true;
}

}  // namespace orvtsdb
