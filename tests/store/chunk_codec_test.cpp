/*
 * chunk_codec_test.cpp - chunks round-trip bit for bit whatever the values,
 * strides and sizes, and damaged blobs are refused instead of misread.
 */
#include "chunk_codec.h"

#include <gtest/gtest.h>

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
    ASSERT_TRUE(enc.encode(buf.data() + offset, total, 1, roles, count, err)) << err;
    ASSERT_TRUE(dec.decode(enc.data(), enc.size(), err)) << err;
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
  ASSERT_TRUE(enc.encode(cols.data(), 1, 128, 2, 128, err));
  EXPECT_LT(enc.size(), 2 * 128 * 8 / 3);
  ASSERT_TRUE(dec.decode(enc.data(), enc.size(), err));
  EXPECT_EQ(std::vector<double>(dec.values(), dec.values() + 256), cols);
}

TEST(ChunkCodec, DamagedOrForeignBlobsAreRefused) {
  double v[4] = {1, 2, 3, 4};
  ChunkEncoder enc;
  ChunkDecoder dec;
  std::string err;
  ASSERT_TRUE(enc.encode(v, 1, 4, 1, 4, err));
  std::vector<uint8_t> blob(enc.data(), enc.data() + enc.size());
  EXPECT_FALSE(dec.decode(blob.data(), blob.size() - 3, err));
  EXPECT_FALSE(dec.decode(blob.data(), 3, err));
  EXPECT_FALSE(dec.decode(nullptr, 0, err));
  auto bad = blob;
  bad[0] = 9;
  EXPECT_FALSE(dec.decode(bad.data(), bad.size(), err));
  bad = blob;
  bad[2] = 5;  // claims 5 samples
  EXPECT_FALSE(dec.decode(bad.data(), bad.size(), err));
  EXPECT_FALSE(enc.encode(v, 1, 4, 6, 4, err));
  EXPECT_FALSE(enc.encode(v, 1, 4, 1, 0, err));
}

}  // namespace
