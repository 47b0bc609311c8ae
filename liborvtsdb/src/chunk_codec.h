/*
 * chunk_codec.h - the compressed form of one chunk: the consecutive samples of
 * one series and graph, every element role kept as its own column.
 *
 * The blob's layout (header, check, column forms) is written down once, in
 * FORMAT.md. Blobs are written in format CHUNK_BLOB_FORMAT; blobs of the
 * earlier checked formats, which older stores hold, are read as well. The
 * check is tested before anything else on every decode: a flipped bit
 * anywhere in the blob, or a blob moved to another row, is a refused chunk,
 * never other numbers; so is a blob of another format.
 *
 * A ChunkEncoder / ChunkDecoder owns its zstd context and scratch space and
 * reuses them: after warm-up no call allocates. Not thread-safe; one per user.
 */
#ifndef ORVTSDB_CHUNK_CODEC_H
#define ORVTSDB_CHUNK_CODEC_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "store_format.h"

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace orvtsdb {

constexpr size_t CHUNK_HEADER_BYTES = 14;

/* The seed that binds a chunk's check to its row: the same five values must
 * be given to encode and decode. */
uint64_t chunk_seed(int64_t sid, int64_t graph, int64_t data_type, int64_t start, int64_t step);
/* zstd's first fast level: without entropy coding of literals it compresses
 * the shuffled columns about twice as fast as level 1, for about 1% more
 * bytes (the low bytes that stay literals are close to random anyway). */
constexpr int CHUNK_ZSTD_LEVEL = -1;

struct ColumnReader;

class ChunkEncoder {
 public:
  explicit ChunkEncoder(int level = CHUNK_ZSTD_LEVEL);
  ~ChunkEncoder();
  ChunkEncoder(const ChunkEncoder &) = delete;
  ChunkEncoder &operator=(const ChunkEncoder &) = delete;

  /* Encodes `count` samples of `roles` columns: value i of role r is
   * base[i * sample_stride + r * role_stride] (a sample-major buffer of
   * `total` elements: total, 1; role-major columns: 1, count). The blob stays
   * valid until the next call; its check is bound to `seed` (chunk_seed).
   * Returns false with a reason in err when zstd fails or the shape is out of
   * range. */
  bool encode(uint64_t seed, const double *base, size_t sample_stride, size_t role_stride,
              int roles, int count, std::string &err);
  /* Encodes `count` samples as above into one segment of a blob (its count
   * and its columns, no header): seal_chunk_blob makes a blob of segments
   * laid one after the other behind CHUNK_HEADER_BYTES. */
  bool encode_segment(const double *base, size_t sample_stride, size_t role_stride, int roles,
                      int count, std::string &err);
  const uint8_t *data() const { return out_.data(); }
  size_t size() const { return out_size_; }

 private:
  struct Decimal;
  bool put_segment(size_t from, const double *base, size_t sample_stride, size_t role_stride,
                   int roles, int count, std::string &err);
  size_t put_column(const double *base, size_t stride, int n, uint8_t *dst);
  bool to_integers(const double *base, size_t stride, int n, int e, int near_e, Decimal &d);
  bool to_near_integers(const double *base, size_t stride, int n, int e, Decimal &d);
  void to_bit_patterns(const double *base, size_t stride, int n, Decimal &d);
  uint8_t *put_corrections(int n, Decimal &d, uint8_t *p);
  size_t put_decimal(const double *base, size_t stride, int n, Decimal &d, uint8_t *dst);
  size_t put_xor(const double *base, size_t stride, int n, uint8_t *dst);
  size_t compress_words(int n);

  // First: when it cannot be allocated, no zstd context is left behind.
  std::unique_ptr<Decimal> decimal_;
  ZSTD_CCtx_s *cctx_;
  int level_;
  std::vector<uint64_t> words_;
  std::vector<uint8_t> plain_, zbuf_, out_;
  size_t out_size_ = 0;
};

class ChunkDecoder {
 public:
  ChunkDecoder();
  ~ChunkDecoder();
  ChunkDecoder(const ChunkDecoder &) = delete;
  ChunkDecoder &operator=(const ChunkDecoder &) = delete;

  /* Decodes a blob into role-major columns: value i of role r is
   * values()[r * count() + i]. Returns false with a reason in err for a blob
   * whose check does not match `seed` or that is not a well-formed chunk.
   * Results stay valid until the next call. */
  bool decode(uint64_t seed, const void *blob, size_t len, std::string &err);
  int roles() const { return roles_; }
  int count() const { return count_; }
  const double *values() const { return values_.data(); }
  const double *column(int role) const { return values_.data() + (size_t)role * count_; }

 private:
  bool decode_columns(uint8_t format, const uint8_t *body, size_t len, int roles, int n,
                      std::string &err);
  bool get_columns(bool near_allowed, bool segments, ColumnReader &in, int roles, int n, int count,
                   int at, std::string &err);
  bool decode_segments(const uint8_t *body, size_t len, int roles, int n, std::string &err);
  bool decode_one_frame(const uint8_t *body, size_t len, int roles, int n, std::string &err);
  bool get_xor(ColumnReader &in, int n, double *out);
  bool get_decimal(ColumnReader &in, int n, double *out, bool near, bool bit_pattern = false);
  bool get_corrections(ColumnReader &in, int n);
  bool get_residuals(ColumnReader &in, int order, int n);
  bool get_words(const uint8_t *frame, size_t len, int n);

  ZSTD_DCtx_s *dctx_;
  std::vector<uint8_t> plain_, frame_plain_;
  std::vector<uint64_t> words_, corrections_;
  std::vector<uint32_t> positions_;
  std::vector<std::pair<uint32_t, uint64_t>> exceptions_;
  std::vector<double> values_;
  int roles_ = 0;
  int count_ = 0;
};

/* Writes the header of the blob of `len` bytes at `blob` whose segments
 * (ChunkEncoder::encode_segment) lie from CHUNK_HEADER_BYTES on and hold
 * `count` samples of `roles` columns in all; its check is bound to `seed`. */
void seal_chunk_blob(uint8_t *blob, size_t len, int roles, uint32_t count, uint64_t seed);

/* True for the missing-sample marker, compared bit for bit. */
bool is_missing(double v);

}  // namespace orvtsdb

#endif
