/*
 * chunk_codec_test.cpp - chunks round-trip bit for bit whatever the values
 * (every bit pattern class, the sample runs' values), strides and sizes;
 * decimals pack small and full-precision doubles no larger than their XOR
 * form; averages of decimals keep near-decimal form; blobs of format 2 still
 * read; damaged, moved or unchecked blobs are refused instead of misread.
 */
#include "chunk_codec.h"
#include "byte_shuffle.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <xxhash.h>

#include "orvtsdb.h"
#include "orvtsdb_data_types.h"
#include "sample_plan.h"
#include "sample_values.h"
#include "vzu_test_support.h"

using namespace orvtsdb;

namespace {

uint64_t bits(double v) {
  uint64_t b;
  std::memcpy(&b, &v, 8);
  return b;
}

constexpr uint64_t SEED = 0x5eed;

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

/* Byte 0 of a blob, its format. */
int blob_format(const ChunkEncoder &enc) { return enc.size() ? enc.data()[0] : -1; }

/* The check FORMAT.md defines, over bytes 14.. with bytes 0..5 and the seed. */
void stamp_check(std::vector<uint8_t> &blob, uint64_t seed) {
  uint64_t head = 0;
  for (int i = 5; i >= 0; i--) head = head << 8 | blob[i];
  head = (head & 0xffff) | (head >> 16) << 16;
  uint64_t check = XXH3_64bits_withSeed(blob.data() + CHUNK_HEADER_BYTES,
                                        blob.size() - CHUNK_HEADER_BYTES,
                                        seed ^ XXH3_64bits(&head, sizeof head));
  for (int i = 0; i < 8; i++) blob[6 + i] = (uint8_t)(check >> (8 * i));
}

// Blobs of the first release (11 samples: one block of 8 and a tail of 3; a
// 2-decimal column with a missing sample, a column of any doubles) carry no
// check and are refused. The same columns with a check are what format 2
// wrote: stores keep such blobs, so they still decode, bit for bit.
TEST(ChunkCodec, UncheckedBlobsAreRefusedAndFormat2BlobsStillRead) {
  const uint8_t frame[] = {
      0x28, 0xb5, 0x2f, 0xfd, 0x20, 0xb4, 0x6d, 0x03, 0x00, 0x14, 0x06, 0x03, 0x10, 0x00, 0xc4,
      0xed, 0xed, 0x72, 0x00, 0xdb, 0x72, 0xed, 0xed, 0x72, 0xed, 0x09, 0x4d, 0x4d, 0x9c, 0x00,
      0x9b, 0x9c, 0x4d, 0x4d, 0x9c, 0x4d, 0x00, 0x55, 0x55, 0x9a, 0xcf, 0xc7, 0x92, 0x1c, 0x86,
      0xdc, 0x13, 0x41, 0x55, 0x55, 0x99, 0xcc, 0x71, 0x24, 0xc7, 0x5e, 0x8e, 0x42, 0x6e, 0x55,
      0x55, 0x99, 0xcc, 0x1c, 0x49, 0x71, 0xe8, 0xc4, 0x08, 0xe4, 0x55, 0x55, 0x99, 0xcc, 0xc7,
      0x92, 0x1c, 0x85, 0xed, 0x21, 0x46, 0x48, 0x84, 0xdc, 0x10, 0xe4, 0xd5, 0x05, 0x19, 0x0c,
      0x07, 0x02, 0x7c, 0x05, 0x0e, 0x02, 0x06, 0x3f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x03, 0x00, 0xa0, 0x60, 0x12, 0x45, 0x14, 0x2f, 0x01, 0x3c};
  constexpr int N = 11;
  std::vector<double> want(2 * N);
  for (int i = 0; i < N; i++) {
    want[i] = i == 4 ? TSDB_MISSING_VALUE : 12.5 + i * 0.25 - (i % 3) * 100;
    want[N + i] = 1.0 / (i + 3);
  }
  std::vector<uint8_t> unchecked = {0x01, 0x02, N, 0, 0, 0};
  unchecked.insert(unchecked.end(), frame, frame + sizeof frame);
  ChunkDecoder dec;
  std::string err;
  EXPECT_FALSE(dec.decode(SEED, unchecked.data(), unchecked.size(), err));
  EXPECT_NE(err.find("without a checksum"), std::string::npos) << err;

  std::vector<uint8_t> v2 = {0x02, 0x02, N, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  v2.insert(v2.end(), frame, frame + sizeof frame);
  stamp_check(v2, SEED);
  ASSERT_TRUE(dec.decode(SEED, v2.data(), v2.size(), err)) << err;
  ASSERT_EQ(dec.count(), N);
  for (int i = 0; i < 2 * N; i++) EXPECT_EQ(bits(dec.values()[i]), bits(want[i])) << i;
  v2.back() ^= 1;
  EXPECT_FALSE(dec.decode(SEED, v2.data(), v2.size(), err));
}

/* A column of n values of one kind of data, with exceptions at `rate`. */
std::vector<double> column(std::mt19937_64 &rng, int kind, int n, double rate) {
  std::vector<double> c(n);
  double level = (double)(rng() % 100000), walk = 0;
  int e = (int)(rng() % 7);
  const double p10[] = {1, 10, 100, 1000, 1e4, 1e5, 1e6};
  for (int i = 0; i < n; i++) {
    walk += (double)((int64_t)(rng() % 21) - 10);
    switch (kind) {
      case 0: c[i] = std::round(level + walk) / p10[e]; break;     // a decimal with e places
      case 1: c[i] = level + 37.0 * i; break;                      // a counter
      case 2: c[i] = (level + walk) / 3.0; break;                  // full precision
      case 3: c[i] = 5; break;                                     // constant
      case 5: c[i] = (2251799813685248.0 + walk) / p10[e]; break;  // k about 2^51: both paths
      default: c[i] = std::round((level + walk) * 1e3) * 1e-3;     // rounded by a multiplication
    }
    if ((double)(rng() % 10000) < rate * 10000) {
      uint64_t r = rng();
      switch (r % 8) {
        case 0: c[i] = TSDB_MISSING_VALUE; break;
        case 1: c[i] = std::numeric_limits<double>::quiet_NaN(); break;
        case 2: c[i] = -0.0; break;
        case 3: c[i] = std::numeric_limits<double>::denorm_min() * (double)(r >> 40); break;
        case 4: c[i] = (r & 8 ? -1 : 1) * std::numeric_limits<double>::infinity(); break;
        case 5:
          c[i] = std::ldexp(1.0 + (double)(r >> 12) / 4503599627370496.0, (int)(r >> 54) - 512);
          break;
        case 6: c[i] = 1e300 * (double)(r >> 50); break;
        default: std::memcpy(&c[i], &r, 8);  // any pattern, NaN payloads included
      }
    }
  }
  return c;
}

// Columns of every kind of data, from none to many exceptions of every bit
// pattern class, in chunks of every size up to the largest written: bit for
// bit, and the decimal kinds far below 8 bytes a value.
TEST(ChunkCodec, EveryKindOfColumnRoundTripsBitForBit) {
  std::mt19937_64 rng(7);
  ChunkEncoder enc;
  ChunkDecoder dec;
  std::string err;
  const double rates[] = {0, 0.002, 0.05, 0.3, 1};
  for (int trial = 0; trial < 600; trial++) {
    int roles = 1 + (int)(rng() % 5);
    int n = trial % 3 == 0 ? 1 + (int)(rng() % 8) : 1 + (int)(rng() % 512);
    std::vector<double> cols;
    for (int r = 0; r < roles; r++) {
      auto c = column(rng, (int)(rng() % 6), n, rates[rng() % 5]);
      cols.insert(cols.end(), c.begin(), c.end());
    }
    ASSERT_TRUE(enc.encode(SEED, cols.data(), 1, n, roles, n, err)) << err;
    EXPECT_EQ(blob_format(enc), CHUNK_BLOB_FORMAT);
    ASSERT_TRUE(dec.decode(SEED, enc.data(), enc.size(), err)) << err;
    ASSERT_EQ(dec.count(), n);
    for (size_t i = 0; i < cols.size(); i++)
      ASSERT_EQ(bits(dec.values()[i]), bits(cols[i])) << trial << " " << i;
  }
}

TEST(ChunkCodec, DecimalsPackSmallAndFullDoublesNoLargerThanTheirXorForm) {
  std::mt19937_64 rng(11);
  ChunkEncoder enc;
  std::string err;
  const int n = 512;
  auto size_of = [&](const std::vector<double> &c) {
    EXPECT_TRUE(enc.encode(SEED, c.data(), 1, n, 1, n, err)) << err;
    return enc.size() - CHUNK_HEADER_BYTES;
  };
  EXPECT_LT(size_of(column(rng, 0, n, 0)), n * 7 / 8);           // a walk of +-10: 5 bits
  EXPECT_LT(size_of(column(rng, 1, n, 0)), 24u);                 // a counter: delta of delta 0
  EXPECT_LT(size_of(column(rng, 3, n, 0)), 24u);                 // a constant
  EXPECT_LT(size_of(column(rng, 0, n, 0.002)), n * 7 / 8 + 40);  // and a missing one or two
  // Full precision: at most what the XORed words take, the bytes of a frame
  // and of the segment's count more.
  std::vector<double> full = column(rng, 2, n, 0);
  std::vector<uint64_t> x(n);
  for (int i = 0; i < n; i++) x[i] = bits(full[i]) ^ (i ? bits(full[i - 1]) : 0);
  std::vector<uint8_t> planes(8 * n), z(ZSTD_compressBound(8 * n));
  shuffle_words(x.data(), n, planes.data());
  size_t xor_bytes = ZSTD_compress(z.data(), z.size(), planes.data(), planes.size(),
                                   CHUNK_ZSTD_LEVEL);
  EXPECT_LE(size_of(full), xor_bytes + 6);
}

// Every value of the sample runs, as the tool hands them to the store (the
// stored integers divided by their scale, the missing marker), in chunks as
// large as written: bit for bit.
TEST(ChunkCodec, TheSampleRunsValuesRoundTripBitForBit) {
  ChunkEncoder enc;
  ChunkDecoder dec;
  std::string err;
  for (const char *preset : {"small", "medium", "wide"}) {
    sample_run::PlanOptions o;
    ASSERT_TRUE(sample_run::apply_preset(preset, o));
    o.full_doubles = 0.35;
    sample_run::RunPlan plan;
    ASSERT_EQ(sample_run::build_plan(o, plan), "");
    const int n = 512, vectors = std::string(preset) == "wide" ? 3 : 8;
    for (size_t g = 0; g < plan.groups.size(); g++) {
      const sample_run::GroupDef &gd = plan.groups[g];
      for (size_t v = 0; v < gd.vectors.size() && v < (size_t)vectors; v++) {
        uint64_t key = sample_run::vector_key(o.seed, (int)g, gd.vectors[v]);
        for (size_t gr = 0; gr < gd.graphs.size(); gr++) {
          const orv_data_type_t &t = ORV_DATA_TYPES[gd.graphs[gr].data_type];
          std::vector<double> cols((size_t)t.elements * n);
          for (int i = 0; i < n; i++) {
            sample_run::RawElem raw[ORV_MAX_ELEMENTS_PER_GRAPH];
            sample_run::raw_graph_values(plan, (int)g, (int)gr, key, i + 1, raw);
            for (int e = 0; e < t.elements; e++) {
              bool count = t.family == ORV_FAMILY_TIMES || t.family == ORV_FAMILY_TIMES_STD
                               ? e == 3
                               : t.family == ORV_FAMILY_VALUE_COUNT && e == 1;
              cols[(size_t)e * n + i] = raw[e].missing      ? TSDB_MISSING_VALUE
                                        : t.scale && !count ? raw[e].v / t.scale
                                                            : raw[e].v;
            }
          }
          ASSERT_TRUE(enc.encode(SEED, cols.data(), 1, n, t.elements, n, err)) << err;
          ASSERT_TRUE(dec.decode(SEED, enc.data(), enc.size(), err)) << err;
          for (size_t i = 0; i < cols.size(); i++)
            ASSERT_EQ(bits(dec.values()[i]), bits(cols[i])) << preset << " " << gd.name;
        }
      }
    }
  }
}

/* A column the way the tool's merging of two or three packets leaves one:
 * averages of decimals with e places, which land a few ulps off a decimal
 * with e + 1 places (or off none, for thirds); a walk through zero, ulp
 * neighbours of decimals and every kind of exception among them. */
std::vector<double> merged_column(std::mt19937_64 &rng, int e, int n) {
  const double p10[] = {1, 10, 100, 1000, 1e4, 1e5, 1e6};
  int64_t level = (int64_t)(rng() % 2001) - 1000;
  auto decimal = [&] { return (double)(level + (int64_t)(rng() % 41) - 20) / p10[e]; };
  std::vector<double> c(n);
  for (int i = 0; i < n; i++) {
    level += (int64_t)(rng() % 21) - 10;
    double a = decimal(), b = decimal(), x = decimal();
    switch (rng() % 32) {
      case 0: c[i] = (a + b + x) / 3; break;
      case 1: c[i] = std::nextafter(a, rng() % 2 ? 1e300 : -1e300); break;
      case 2: c[i] = std::nextafter((a + b) / 2, 0); break;
      default: c[i] = (a + b) / 2;
    }
  }
  std::vector<double> odd = column(rng, 3, n, 1);
  for (int i = 0; i < n; i++)
    if (rng() % 100 == 0) c[i] = odd[i];
  return c;
}

/* The kind of a blob's first column (1 decimal, 2 near decimal, 3 bit
 * pattern): byte 14, or in a blob of segments the byte after its first
 * segment's count. */
int first_kind(const uint8_t *blob) {
  const uint8_t *p = blob + CHUNK_HEADER_BYTES;
  if (blob[0] != CHUNK_BLOB_FORMAT) return *p;
  while (*p & 0x80) p++;
  return p[1];
}

// Averages of decimals keep their integers and a few bits of correction each:
// bit for bit, far below the 8 bytes a value of their XOR form; in a blob of
// the format before that kind existed, the same column is refused.
TEST(ChunkCodec, MergedAveragesRoundTripAsNearDecimals) {
  std::mt19937_64 rng(27);
  ChunkEncoder enc;
  ChunkDecoder dec;
  std::string err;
  for (int e = 0; e <= 6; e++) {
    for (int n : {1, 2, 3, 17, 233, 1024}) {
      std::vector<double> c = merged_column(rng, e, n);
      ASSERT_TRUE(enc.encode(SEED, c.data(), 1, n, 1, n, err)) << err;
      ASSERT_TRUE(dec.decode(SEED, enc.data(), enc.size(), err)) << err;
      for (int i = 0; i < n; i++) ASSERT_EQ(bits(dec.values()[i]), bits(c[i])) << e << " " << i;
      if (n < 233) continue;
      EXPECT_EQ(first_kind(enc.data()), 2) << e;
      EXPECT_LT(enc.size(), (size_t)n * 3) << e;
    }
  }
  std::vector<double> halves(64);
  for (int i = 0; i < 64; i++) halves[i] = (0.1 * i + 0.7) / 2;
  ASSERT_TRUE(enc.encode(SEED, halves.data(), 1, 64, 1, 64, err)) << err;
  std::vector<uint8_t> blob(enc.data(), enc.data() + enc.size());
  ASSERT_EQ(first_kind(blob.data()), 2);
  // The same column in a blob of the format before: no segment's count.
  blob.erase(blob.begin() + CHUNK_HEADER_BYTES);
  blob[0] = 3;
  stamp_check(blob, SEED);
  EXPECT_FALSE(dec.decode(SEED, blob.data(), blob.size(), err));
  EXPECT_NE(err.find("column 1"), std::string::npos) << err;
}

// The decoder harness's seeds hold a near-decimal column, so that fuzzing
// starts from that kind instead of having to find it.
TEST(ChunkCodec, TheFuzzSeedsReachTheNearDecimalKind) {
  std::string seed = vzu_test::read_file(std::string(FUZZ_CORPUS_DIR) + "/near_decimal_blob");
  ASSERT_GT(seed.size(), CHUNK_HEADER_BYTES + 1);
  ASSERT_EQ(seed[0] & 1, 0) << "an even first byte: the rest is a blob";
  std::vector<uint8_t> blob(seed.begin() + 1, seed.end());
  stamp_check(blob, SEED);
  ChunkDecoder dec;
  std::string err;
  ASSERT_TRUE(dec.decode(SEED, blob.data(), blob.size(), err)) << err;
  EXPECT_EQ(first_kind(blob.data()), 2);
}

/* A blob of the given segments, each encoded on its own: `counts` samples
 * of `roles` role-major columns of `cols` (of sum(counts) values each). */
std::vector<uint8_t> segments_blob(ChunkEncoder &enc, const std::vector<double> &cols, int roles,
                                   const std::vector<int> &counts) {
  int total = (int)(cols.size() / roles), at = 0;
  std::vector<uint8_t> blob(CHUNK_HEADER_BYTES);
  std::string err;
  for (int n : counts) {
    EXPECT_TRUE(enc.encode_segment(cols.data() + at, 1, total, roles, n, err)) << err;
    blob.insert(blob.end(), enc.data(), enc.data() + enc.size());
    at += n;
  }
  seal_chunk_blob(blob.data(), blob.size(), roles, (uint32_t)total, SEED);
  return blob;
}

/* Full-precision values that move smoothly (a rate, an average of times),
 * with the missing marker here and there. */
std::vector<double> smooth_full(std::mt19937_64 &rng, int n, double scale) {
  std::vector<double> c(n);
  double x = 1 + (double)(rng() % 1000) / 7;
  for (int i = 0; i < n; i++) {
    x += ((double)(rng() % 2001) - 1000) / 3e5;
    c[i] = rng() % 50 == 0 ? TSDB_MISSING_VALUE : scale * std::sqrt(x);
  }
  return c;
}

// Segments encoded one at a time read back as one chunk: every kind of
// column, segments of one sample to several hundred, one to five roles.
TEST(ChunkCodec, ABlobOfSegmentsReadsAsItsSamplesInOrder) {
  std::mt19937_64 rng(41);
  ChunkEncoder enc;
  ChunkDecoder dec;
  std::string err;
  for (int trial = 0; trial < 60; trial++) {
    int roles = 1 + (int)(rng() % 5), parts = 1 + (int)(rng() % 6), total = 0;
    std::vector<int> counts;
    for (int k = 0; k < parts; k++) counts.push_back(rng() % 3 ? 1 + (int)(rng() % 300) : 1);
    for (int n : counts) total += n;
    std::vector<double> cols;
    for (int r = 0; r < roles; r++) {
      auto c = rng() % 4 ? column(rng, (int)(rng() % 6), total, 0.01)
                         : smooth_full(rng, total, rng() % 2 ? 1 : -1e-3);
      cols.insert(cols.end(), c.begin(), c.end());
    }
    std::vector<uint8_t> blob = segments_blob(enc, cols, roles, counts);
    ASSERT_TRUE(dec.decode(SEED, blob.data(), blob.size(), err)) << trial << ": " << err;
    ASSERT_EQ(dec.count(), total);
    ASSERT_EQ(dec.roles(), roles);
    for (size_t i = 0; i < cols.size(); i++)
      ASSERT_EQ(bits(dec.values()[i]), bits(cols[i])) << trial << " " << i;
  }
}

// Smooth full-precision values keep their bits as integers, well below the
// 8 bytes a value their XOR form takes; values of both signs, whose bits
// jump, still round-trip whatever form they take.
TEST(ChunkCodec, SmoothFullPrecisionValuesKeepTheirBitsAsIntegers) {
  std::mt19937_64 rng(43);
  ChunkEncoder enc;
  ChunkDecoder dec;
  std::string err;
  const int n = 128;
  for (double scale : {1.0, 1e-6, 3e7, -42.0}) {
    std::vector<double> c = smooth_full(rng, n, scale);
    ASSERT_TRUE(enc.encode(SEED, c.data(), 1, n, 1, n, err)) << err;
    EXPECT_EQ(first_kind(enc.data()), 3) << scale;
    EXPECT_LT(enc.size(), (size_t)n * 6) << scale;
    ASSERT_TRUE(dec.decode(SEED, enc.data(), enc.size(), err)) << err;
    for (int i = 0; i < n; i++) ASSERT_EQ(bits(dec.values()[i]), bits(c[i])) << scale << " " << i;
  }
  std::vector<double> mixed = smooth_full(rng, n, 1.0);
  for (int i = 0; i < n; i += 3) mixed[i] = -mixed[i];
  mixed[7] = -0.0;
  ASSERT_TRUE(enc.encode(SEED, mixed.data(), 1, n, 1, n, err)) << err;
  ASSERT_TRUE(dec.decode(SEED, enc.data(), enc.size(), err)) << err;
  for (int i = 0; i < n; i++) ASSERT_EQ(bits(dec.values()[i]), bits(mixed[i])) << i;
}

// A blob of segments is refused when its counts do not add up to the
// chunk's, a segment is empty, bytes follow the last one, or a column of
// the bit-pattern kind turns up in a blob of the format before segments.
TEST(ChunkCodec, SegmentsThatDoNotMakeTheChunkAreRefused) {
  std::mt19937_64 rng(47);
  ChunkEncoder enc;
  ChunkDecoder dec;
  std::string err;
  std::vector<double> c = smooth_full(rng, 30, 1.0);
  std::vector<uint8_t> good = segments_blob(enc, c, 1, {10, 20});
  ASSERT_TRUE(dec.decode(SEED, good.data(), good.size(), err)) << err;
  auto refused = [&](std::vector<uint8_t> blob, const std::string &why) {
    stamp_check(blob, SEED);
    EXPECT_FALSE(dec.decode(SEED, blob.data(), blob.size(), err)) << why;
    EXPECT_NE(err.find(why), std::string::npos) << err;
  };
  std::vector<uint8_t> b = good;
  b[2] = 31;  // a chunk of 31: the segments hold 30
  refused(b, "segment 3 is empty or longer than the chunk");
  b = good;
  b[2] = 29;
  refused(b, "segment 2 is empty or longer than the chunk");
  b = good;
  b[CHUNK_HEADER_BYTES] = 0;
  refused(b, "segment 1 is empty");
  b = good;
  b.push_back(0);
  refused(b, "bytes after the last segment");
  std::vector<uint8_t> one = segments_blob(enc, c, 1, {30});
  ASSERT_EQ(first_kind(one.data()), 3);
  one.erase(one.begin() + CHUNK_HEADER_BYTES);  // the count: as format 4 lays it out
  one[0] = 4;
  refused(one, "column 1 is not well formed");
}

// The decoder harness's seeds hold a blob of several segments with a
// bit-pattern column.
TEST(ChunkCodec, TheFuzzSeedsReachSegmentsAndBitPatterns) {
  std::string seed = vzu_test::read_file(std::string(FUZZ_CORPUS_DIR) + "/segments_blob");
  ASSERT_GT(seed.size(), CHUNK_HEADER_BYTES + 2);
  std::vector<uint8_t> blob(seed.begin() + 1, seed.end());
  stamp_check(blob, SEED);
  ChunkDecoder dec;
  std::string err;
  ASSERT_TRUE(dec.decode(SEED, blob.data(), blob.size(), err)) << err;
  EXPECT_EQ(blob[0], CHUNK_BLOB_FORMAT);
  EXPECT_EQ(first_kind(blob.data()), 3);
  EXPECT_GT(dec.count(), blob[CHUNK_HEADER_BYTES]) << "more than one segment";
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
