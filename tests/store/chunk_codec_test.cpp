/*
 * chunk_codec_test.cpp - chunks round-trip bit for bit whatever the values,
 * strides and sizes, keep the column layout of blobs already written (byte
 * planes included), and damaged, moved or unchecked blobs are refused
 * instead of misread.
 */
#include "chunk_codec.h"
#include "byte_shuffle.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "orvtsdb.h"

using namespace orvtsdb;

namespace {

uint64_t bits(double v) {
  uint64_t b;
  std::memcpy(&b, &v, 8);
  return b;
}

constexpr uint64_t SEED = 0x5eed;

/* The column bytes of a blob whose frame starts at `header`, before
 * compression. */
std::vector<uint8_t> columns_of(const uint8_t *blob, size_t len, size_t header) {
  std::vector<uint8_t> plain(4096);
  size_t n = ZSTD_decompress(plain.data(), plain.size(), blob + header, len - header);
  plain.resize(ZSTD_isError(n) ? 0 : n);
  return plain;
}

TEST(ChunkCodec, RoundTripsEveryBitPatternFromSampleMajorRows) {
  std::mt19937_64 rng(42);
  ChunkEncoder enc;
  ChunkDecoder dec;
  std::string err;
  for (int trial = 0; trial < 200; trial++) {
    int total = 1 + rng() % 12, roles = 1 + rng() % 5, count = 1 + rng() % 300;
    int offset = roles <= total ? (int)(rng() % (total - roles + 1)) : 0;
    if (roles > total) total = roles;
    std::vector<double> buf((size_t)total * count);
    for (double &v : buf) {
      uint64_t r = rng();
      switch (r % 6) {
        case 0: v = TSDB_MISSING_VALUE; break;
        case 1: v = std::numeric_limits<double>::quiet_NaN(); break;
        case 2: std::memcpy(&v, &r, 8); break;  // any pattern, NaN payloads included
        case 3: v = -0.0; break;
        default: v = (double)(r % 100000) / 1000.0;
      }
    }
    ASSERT_TRUE(enc.encode(SEED, buf.data() + offset, total, 1, roles, count, err)) << err;
    ASSERT_TRUE(dec.decode(SEED, enc.data(), enc.size(), err)) << err;
    ASSERT_EQ(dec.roles(), roles);
    ASSERT_EQ(dec.count(), count);
    for (int r = 0; r < roles; r++)
      for (int i = 0; i < count; i++)
        ASSERT_EQ(bits(dec.column(r)[i]), bits(buf[(size_t)i * total + offset + r]));
  }
}

TEST(ChunkCodec, RoleMajorInputAndSlowValuesCompressWell) {
  std::vector<double> cols(2 * 128);
  for (int i = 0; i < 128; i++) {
    cols[i] = 100.0 + i * 0.001;
    cols[128 + i] = 5;
  }
  ChunkEncoder enc;
  ChunkDecoder dec;
  std::string err;
  ASSERT_TRUE(enc.encode(SEED, cols.data(), 1, 128, 2, 128, err));
  EXPECT_LT(enc.size(), 2 * 128 * 8 / 3);
  ASSERT_TRUE(dec.decode(SEED, enc.data(), enc.size(), err));
  EXPECT_EQ(std::vector<double>(dec.values(), dec.values() + 256), cols);
}

// The planes are part of the blob format: plane b holds byte b of every word,
// whichever block path (16, 8 or single words) a count takes.
TEST(ChunkCodec, ByteShufflePutsByteBOfEveryWordInPlaneB) {
  std::mt19937_64 rng(3);
  for (int count = 1; count <= 50; count++) {
    std::vector<uint64_t> words(count), back(count);
    for (auto &w : words) w = rng();
    std::vector<uint8_t> planes(8 * count);
    shuffle_words(words.data(), count, planes.data());
    for (int i = 0; i < count; i++)
      for (int b = 0; b < 8; b++)
        ASSERT_EQ(planes[b * count + i], (uint8_t)(words[i] >> (8 * b))) << count << " " << i;
    unshuffle_words(planes.data(), count, back.data());
    ASSERT_EQ(back, words) << count;
  }
}

// A blob as the first release of the store wrote it (11 samples: one block of
// 8 and a tail of 3; a 2-decimal column with a missing sample, a column of any
// doubles), without a checksum: refused, but its columns are still the ones
// written today for the same values.
TEST(ChunkCodec, ColumnsKeepTheirLayoutAndUncheckedBlobsAreRefused) {
  const uint8_t blob[] = {
      0x01, 0x02, 0x0b, 0x00, 0x00, 0x00, 0x28, 0xb5, 0x2f, 0xfd, 0x20, 0xb4, 0x6d, 0x03,
      0x00, 0x14, 0x06, 0x03, 0x10, 0x00, 0xc4, 0xed, 0xed, 0x72, 0x00, 0xdb, 0x72, 0xed,
      0xed, 0x72, 0xed, 0x09, 0x4d, 0x4d, 0x9c, 0x00, 0x9b, 0x9c, 0x4d, 0x4d, 0x9c, 0x4d,
      0x00, 0x55, 0x55, 0x9a, 0xcf, 0xc7, 0x92, 0x1c, 0x86, 0xdc, 0x13, 0x41, 0x55, 0x55,
      0x99, 0xcc, 0x71, 0x24, 0xc7, 0x5e, 0x8e, 0x42, 0x6e, 0x55, 0x55, 0x99, 0xcc, 0x1c,
      0x49, 0x71, 0xe8, 0xc4, 0x08, 0xe4, 0x55, 0x55, 0x99, 0xcc, 0xc7, 0x92, 0x1c, 0x85,
      0xed, 0x21, 0x46, 0x48, 0x84, 0xdc, 0x10, 0xe4, 0xd5, 0x05, 0x19, 0x0c, 0x07, 0x02,
      0x7c, 0x05, 0x0e, 0x02, 0x06, 0x3f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x03, 0x00, 0xa0, 0x60, 0x12, 0x45, 0x14, 0x2f, 0x01, 0x3c};
  constexpr int N = 11;
  std::vector<double> want(2 * N);
  for (int i = 0; i < N; i++) {
    want[i] = i == 4 ? TSDB_MISSING_VALUE : 12.5 + i * 0.25 - (i % 3) * 100;
    want[N + i] = 1.0 / (i + 3);
  }
  ChunkDecoder dec;
  std::string err;
  EXPECT_FALSE(dec.decode(SEED, blob, sizeof blob, err));
  EXPECT_NE(err.find("without a checksum"), std::string::npos) << err;
  ChunkEncoder enc;
  ASSERT_TRUE(enc.encode(SEED, want.data(), 1, N, 2, N, err));
  EXPECT_EQ(columns_of(enc.data(), enc.size(), CHUNK_HEADER_BYTES),
            columns_of(blob, sizeof blob, 6));
  ASSERT_TRUE(dec.decode(SEED, enc.data(), enc.size(), err)) << err;
  for (int i = 0; i < 2 * N; i++) EXPECT_EQ(bits(dec.values()[i]), bits(want[i])) << i;
}

TEST(ChunkCodec, DamagedOrForeignBlobsAreRefused) {
  double v[4] = {1, 2, 3, 4};
  ChunkEncoder enc;
  ChunkDecoder dec;
  std::string err;
  ASSERT_TRUE(enc.encode(SEED, v, 1, 4, 1, 4, err));
  std::vector<uint8_t> blob(enc.data(), enc.data() + enc.size());
  EXPECT_FALSE(dec.decode(SEED, blob.data(), blob.size() - 3, err));
  EXPECT_FALSE(dec.decode(SEED, blob.data(), 3, err));
  EXPECT_FALSE(dec.decode(SEED, nullptr, 0, err));
  EXPECT_FALSE(dec.decode(SEED + 1, blob.data(), blob.size(), err)) << "a blob of another row";
  // Every single-bit flip, header and check included, is caught by the check.
  for (size_t bit = 0; bit < blob.size() * 8; bit++) {
    auto bad = blob;
    bad[bit / 8] ^= (uint8_t)(1u << (bit % 8));
    ASSERT_FALSE(dec.decode(SEED, bad.data(), bad.size(), err)) << bit;
  }
  EXPECT_FALSE(enc.encode(SEED, v, 1, 4, 6, 4, err));
  EXPECT_FALSE(enc.encode(SEED, v, 1, 4, 1, 0, err));
}

}  // namespace
