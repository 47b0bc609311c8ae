/*
 * chunk_codec.cpp - chunk blobs (the layout is in FORMAT.md). Blobs of the
 * current format are written; those of the earlier checked formats are still
 * read, as every store written before keeps them.
 *
 * The current format keeps a column of decimals as integers: the exponent e
 * for which k / 10^e gives every value back bit for bit, and the k as the
 * residuals of a predictor (none, delta, delta of delta), bit packed above
 * their minimum or zstd-compressed, whichever is smaller. Values without such
 * a k (missing markers, NaNs, -0.0, full-precision doubles) are exceptions
 * kept by position. Averages of decimals, a few ulps off k / 10^e, keep the k
 * and a packed column of those ulps (the near-decimal kind). A column mostly
 * of full-precision doubles keeps its XORed words, byte-shuffled and
 * zstd-compressed, as the one-frame format did, or, when smaller, the
 * bits of each value read as an integer and kept as the decimals' k are
 * (full-precision values that move smoothly differ by far fewer bits than
 * their XOR leaves random). A blob holds one or more segments, each its
 * count and its columns, so that a chunk grows by segments already encoded.
 */
#include "chunk_codec.h"

#include <emmintrin.h>
#include <xxhash.h>
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>

#include "byte_shuffle.h"
#include "orvtsdb.h"

namespace orvtsdb {

namespace {

constexpr int MAX_ROLES = 5;
constexpr uint32_t MAX_COUNT = 1u << 24;
constexpr int MAX_EXPONENT = 15;  // 10^15 < 2^53: every power is exact
constexpr double POW10[MAX_EXPONENT + 1] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
constexpr double EXACT_INT_LIMIT = 9007199254740992.0;  // 2^53
/* Byte 0 of the first release's blobs, which carried no check. */
constexpr uint8_t UNCHECKED_FORMAT = 1;
/* Byte 0 of the first checked blobs: one zstd frame over every column. */
constexpr uint8_t ONE_FRAME_FORMAT = 2;
constexpr int ONE_FRAME_MAX_DECIMALS = 4;

/* Byte 0 of blobs of separate columns before the near-decimal kind: the
 * same layout, which a reader of such a blob never finds that kind in. */
constexpr uint8_t WITHOUT_NEAR_FORMAT = 3;
/* Byte 0 of blobs of separate columns, each over the whole chunk, before
 * chunks were written a segment at a time. */
constexpr uint8_t WHOLE_COLUMNS_FORMAT = 4;

/* The column kinds of the current format. */
constexpr uint8_t COLUMN_XOR = 0;
constexpr uint8_t COLUMN_DECIMAL = 1;
constexpr uint8_t COLUMN_NEAR_DECIMAL = 2;
/* Blobs of segments only: every value's own bits read as an integer k. A
 * double's bits rise with its magnitude, so the k of full-precision values
 * that move smoothly differ by far less than their XOR leaves random. */
constexpr uint8_t COLUMN_BIT_PATTERN = 3;
/* How far, in units in the last place, a value may lie from its decimal and
 * still be kept as one: an average of two or three decimals lands within a
 * few. A wider bound would let a column of 15-digit decimals pass as shorter
 * ones with large corrections. */
constexpr int64_t NEAR_ULPS = 16;
/* Near-decimal integers stay below this: a double is within NEAR_ULPS of
 * some k / 10^e for about one k in 2^52 / (2 NEAR_ULPS |k|), so with larger
 * k any full-precision value (a third, a rate) would pass for a decimal. */
constexpr double NEAR_INT_LIMIT = 1099511627776.0;  // 2^40
/* How a decimal column's residuals are kept. */
constexpr uint8_t PACK_BITS = 0;
constexpr uint8_t PACK_ZSTD = 1;
constexpr int MAX_ORDER = 2;
/* Values tried to choose a column's exponent before the whole column is. */
constexpr int EXPONENT_PROBES = 16;
/* Above this many bytes a value, a decimal column is also tried the XOR way:
 * full-precision doubles rarely do better than that. */
constexpr size_t DECIMAL_TRUST_BYTES = 3;
/* Bit packing gives way to zstd only when zstd has something to win: a
 * packing of 32 bits a value or more at 128 samples. Below that, what zstd
 * over the residuals saves is small (0.01 % of the medium store, 0.13 % of
 * the wide one) and trying it cost a sixth of a migration's time. */
constexpr size_t ZSTD_TRY_BYTES = 512;

uint64_t bits_of(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

double double_of(uint64_t b) {
  double v;
  std::memcpy(&v, &b, sizeof v);
  return v;
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

uint64_t zigzag(uint64_t v) { return (v << 1) ^ (uint64_t)((int64_t)v >> 63); }
uint64_t unzigzag(uint64_t z) { return (z >> 1) ^ (0 - (z & 1)); }

/* The check of a blob of `len` bytes: its body, seeded with its first six
 * bytes and the row's seed. */
uint64_t blob_check(const uint8_t *blob, size_t len, uint64_t seed) {
  uint64_t head = (uint64_t)blob[0] | (uint64_t)blob[1] << 8 | (uint64_t)get_u32(blob + 2) << 16;
  return XXH3_64bits_withSeed(blob + CHUNK_HEADER_BYTES, len - CHUNK_HEADER_BYTES,
                              seed ^ XXH3_64bits(&head, sizeof head));
}

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
 * same division the decoder makes, so a pass means an exact return. -0.0,
 * NaNs, infinities and the missing marker never pass. */
[[gnu::always_inline]] inline bool scaled_int(double v, int d, int64_t *m) {
  double x = v * POW10[d];
  if (!(std::fabs(x) < EXACT_INT_LIMIT)) return false;
  *m = round_even(x);
  return bits_of((double)*m / POW10[d]) == bits_of(v);
}

/* scaled_int's usual case for n values at once, two at a time: k[i] = m
 * where |v * 10^d| < 2^51 and (double)m / 10^d gives v's bits back, with
 * slow[i] = 0; slow[i] = 1 where that does not hold (missing markers, values
 * that are no such decimal, huge ones), to be converted one by one by
 * scaled_int, which then decides exactly as if it had done them all. The
 * same operations as round_even's first branch and scaled_int's division. */
void scaled_ints(const double *v, int n, int d, int64_t *k, uint8_t *slow) {
  constexpr double SHIFTER = 6755399441055744.0;  // 1.5 * 2^52, as in round_even
  const __m128d p = _mm_set1_pd(POW10[d]), shifter = _mm_set1_pd(SHIFTER);
  const __m128d limit = _mm_set1_pd(2251799813685248.0);  // 2^51
  const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(INT64_MAX));
  const __m128i shifter_bits = _mm_set1_epi64x((int64_t)bits_of(SHIFTER));
  int i = 0;
  for (; i + 2 <= n; i += 2) {
    __m128d x = _mm_loadu_pd(v + i), scaled = _mm_mul_pd(x, p);
    __m128d shifted = _mm_add_pd(scaled, shifter);
    // Within 2^51 of 0, (scaled + shifter)'s bits less the shifter's are m.
    __m128i m = _mm_sub_epi64(_mm_castpd_si128(shifted), shifter_bits);
    __m128d back = _mm_div_pd(_mm_sub_pd(shifted, shifter), p);
    __m128i same = _mm_cmpeq_epi32(_mm_castpd_si128(back), _mm_castpd_si128(x));
    same = _mm_and_si128(same, _mm_shuffle_epi32(same, _MM_SHUFFLE(2, 3, 0, 1)));
    __m128d small = _mm_cmplt_pd(_mm_and_pd(scaled, magnitude), limit);
    int fast = _mm_movemask_pd(_mm_and_pd(_mm_castsi128_pd(same), small));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(k + i), m);
    slow[i] = !(fast & 1);
    slow[i + 1] = !(fast & 2);
  }
  for (; i < n; i++) slow[i] = 1;
}

/* Whether v lies within NEAR_ULPS of m / 10^d, on the same side of zero
 * (then m in *m and the distance bits(v) - bits(m / 10^d) in *c). Adding c
 * to the bits of the division gives v back, bit for bit. NaNs, infinities,
 * the missing marker and -0.0 (whose decimal is +0.0) never pass. */
[[gnu::always_inline]] inline bool near_int(double v, int d, int64_t *m, int64_t *c) {
  double x = v * POW10[d];
  if (!(std::fabs(x) < NEAR_INT_LIMIT)) return false;
  *m = round_even(x);
  uint64_t vb = bits_of(v), b = bits_of((double)*m / POW10[d]);
  if ((vb ^ b) >> 63) return false;
  *c = (int64_t)(vb - b);
  return *c >= -NEAR_ULPS && *c <= NEAR_ULPS;
}

/* ---- Little-endian base-128 numbers and a bounded reader. ---- */

uint8_t *put_varint(uint8_t *p, uint64_t v) {
  while (v >= 0x80) {
    *p++ = (uint8_t)(v | 0x80);
    v >>= 7;
  }
  *p++ = (uint8_t)v;
  return p;
}

size_t varint_bytes(uint64_t v) { return v ? (size_t)(64 - std::countl_zero(v) + 6) / 7 : 1; }

}  // namespace

/* Reads what a column holds, never past its end; the first short read or
 * out-of-range number clears ok and every later read gives 0. */
struct ColumnReader {
  const uint8_t *p, *end;
  bool ok = true;

  size_t left() const { return (size_t)(end - p); }
  uint8_t byte() {
    if (!ok || p == end) return (uint8_t)(ok = false);
    return *p++;
  }
  uint64_t varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      uint8_t b = byte();
      v |= (uint64_t)(b & 0x7f) << shift;
      if (!(b & 0x80)) return v;
    }
    ok = false;
    return 0;
  }
  /* A number that must not exceed `most`. */
  uint64_t bounded(uint64_t most) {
    uint64_t v = varint();
    if (v > most) ok = false;
    return ok ? v : 0;
  }
  const uint8_t *bytes(size_t n) {
    if (!ok || left() < n) {
      ok = false;
      return nullptr;
    }
    const uint8_t *at = p;
    p += n;
    return at;
  }
};

namespace {

/* ---- Frame-of-reference bit packing. ---- */

size_t packed_bytes(size_t n, int width) { return (n * (size_t)width + 7) / 8; }

/* Writes n values (v - min) / factor of `width` bits (each below 2^width)
 * to dst, lowest bit first, packed_bytes(n, width) bytes. The bits gather in a register and go
 * out a word at a time: a store per value into bytes the previous store
 * half wrote would stall on every value. */
void pack_bits(const uint64_t *v, size_t n, int width, uint8_t *dst, uint64_t min = 0,
               uint64_t factor = 1) {
  if (width == 0) return;
  uint64_t acc = 0;
  int filled = 0;
  for (size_t i = 0; i < n; i++) {
    uint64_t u = v[i] - min;
    if (factor > 1) u /= factor;
    acc |= u << filled;
    filled += width;
    if (filled >= 64) {
      put_u64(dst, acc);
      dst += 8;
      filled -= 64;
      acc = filled ? u >> (width - filled) : 0;
    }
  }
  for (int b = 0; b < filled; b += 8) *dst++ = (uint8_t)(acc >> b);
}

/* The inverse; src holds packed_bytes(n, width) + 9 readable bytes. */
void unpack_bits(const uint8_t *src, size_t n, int width, uint64_t *v) {
  if (width == 0) {
    std::fill_n(v, n, 0);
    return;
  }
  uint64_t mask = width == 64 ? ~0ull : (1ull << width) - 1;
  for (size_t i = 0, bit = 0; i < n; i++, bit += (size_t)width) {
    size_t at = bit / 8;
    int shift = (int)(bit % 8);
    uint64_t word;
    std::memcpy(&word, src + at, 8);
    word >>= shift;
    if (shift + width > 64) word |= (uint64_t)src[at + 8] << (64 - shift);
    v[i] = word & mask;
  }
}

/* ---- The previous checked format, read only. ---- */

size_t bitmap_bytes(int count) { return ((size_t)count + 7) / 8; }

/* Most bytes one column can take in that format's plain form. */
size_t one_frame_column_bound(int count) { return 1 + bitmap_bytes(count) + (size_t)count * 8; }

/* Reads one column of that format back using `words` (count entries) as
 * scratch; returns the bytes used, or 0 when they run short. */
size_t get_one_frame_column(const uint8_t *src, size_t avail, int count, uint64_t *words,
                            double *out) {
  if (avail < 1 || src[0] > 1 + ONE_FRAME_MAX_DECIMALS) return 0;
  int mode = src[0];
  size_t need = mode == 0 ? 1 + (size_t)count * 8 : one_frame_column_bound(count);
  if (avail < need) return 0;
  if (mode == 0) {
    unshuffle_words(src + 1, count, words);
    uint64_t prev = 0;
    for (int i = 0; i < count; i++) {
      prev ^= words[i];
      out[i] = double_of(prev);
    }
    return need;
  }
  const uint8_t *missing = src + 1;
  unshuffle_words(missing + bitmap_bytes(count), count, words);
  double p = POW10[mode - 1];
  uint64_t m = 0;
  for (int i = 0; i < count; i++) {
    m += unzigzag(words[i]);
    out[i] = (missing[i / 8] >> (i % 8)) & 1 ? TSDB_MISSING_VALUE : (double)(int64_t)m / p;
  }
  return need;
}

}  // namespace

/* ---- The current format: one column. ---- */

/* A decimal column on its way out: the k of every value, and where the
 * missing markers and the exceptions are (their k is whatever the predictor
 * expects there, so that they cost nothing in the residuals). */
struct ChunkEncoder::Decimal {
  int exponent = 0;
  std::vector<double> column;  // the values, one after the other
  std::vector<int64_t> k;
  std::vector<uint8_t> hole;  // 0: a value, 1: missing, 2: an exception
  std::vector<uint32_t> missing, exceptions;
  // Found while converting: the order whose residuals pack smallest, and
  // the least and greatest of those residuals.
  int order = 0;
  int64_t lo = 0, hi = 0;
  // Exact columns: how many exceptions lie near a decimal after all.
  size_t near_exceptions = 0;
  // Near-decimal columns: each value's distance from k / 10^e, in ulps, and
  // the least and greatest of them.
  bool near = false;
  // Bit-pattern columns: k is each value's bits.
  bool bit_pattern = false;
  std::vector<int64_t> correction;
  int64_t correction_lo = 0, correction_hi = 0;
};

namespace {

/* A column's exponents from about 16 probe values spread over it: the
 * smallest e at which every probe is exactly k / 10^e, and the smallest at
 * which every probe lies near such a decimal; -1 when half of the probes
 * have none (full-precision doubles). A value that is a decimal at e is one
 * at every larger e as well (the same real number, rounded the same way),
 * so a probe is tried at the e found so far and searched further up only
 * when it fails there: mostly one division a probe. */
struct Exponents {
  int exact = -1, near = -1;
};

Exponents choose_exponents(const double *base, size_t stride, int n) {
  int step = n > EXPONENT_PROBES ? n / EXPONENT_PROBES : 1, tried = 0;
  int e = 0, ne = 0, failed = 0, near_failed = 0;
  int64_t m, c;
  for (int i = 0; i < n; i += step) {
    double v = base[(size_t)i * stride];
    if (bits_of(v) == MISSING_BITS) continue;
    tried++;
    if (!scaled_int(v, e, &m)) {
      int d = e + 1;
      while (d <= MAX_EXPONENT && !scaled_int(v, d, &m)) d++;
      d > MAX_EXPONENT ? (void)failed++ : (void)(e = d);
    }
    if (!near_int(v, ne, &m, &c)) {
      int d = ne + 1;
      while (d <= MAX_EXPONENT && !near_int(v, d, &m, &c)) d++;
      d > MAX_EXPONENT ? (void)near_failed++ : (void)(ne = d);
    }
  }
  Exponents x;
  if (2 * failed <= tried) x.exact = e;
  if (2 * near_failed <= tried) x.near = ne;
  return x;
}

/* The predictor of order 0 (nothing), 1 (the previous k) or 2 (the line
 * through the two previous k) at position i. */
[[gnu::always_inline]] inline uint64_t predict(int order, int i, uint64_t k1, uint64_t k2) {
  if (order == 0 || i == 0) return 0;
  if (order == 1 || i == 1) return k1;
  return 2 * k1 - k2;
}

/* Residuals of `order` into r; holes take the predicted k. Wrapping
 * arithmetic: every residual reads back exactly whatever the k. */
void residuals(int order, std::vector<int64_t> &k, const std::vector<uint8_t> &hole, int n,
               uint64_t *r) {
  uint64_t k1 = 0, k2 = 0;
  for (int i = 0; i < n; i++) {
    uint64_t p = predict(order, i, k1, k2);
    if (hole[i]) k[i] = (int64_t)p;
    r[i] = (uint64_t)k[i] - p;
    k2 = k1;
    k1 = (uint64_t)k[i];
  }
}

/* The residuals' least and greatest at every order at once, gathered a k at
 * a time while a column is converted, as predict() gives them (a hole takes
 * each order's own prediction); the first `order` residuals are kept apart,
 * as written. Scalars, not arrays, so that the state stays in registers. */
struct OrderSearch {
  int64_t lo0 = 0, hi0 = 0, lo1 = INT64_MAX, hi1 = INT64_MIN, lo2 = INT64_MAX, hi2 = INT64_MIN;
  uint64_t p1 = 0, q1 = 0, q2 = 0;  // order 1: k(i-1); order 2: k(i-1), k(i-2)

  [[gnu::always_inline]] void first(uint64_t x, bool h) {
    uint64_t f = h ? 0 : x;
    lo0 = hi0 = (int64_t)f;
    p1 = q1 = q2 = f;
  }
  /* Value i >= 1. */
  [[gnu::always_inline]] void next(int i, uint64_t x, bool h) {
    int64_t r0 = h ? 0 : (int64_t)x;
    lo0 = std::min(lo0, r0), hi0 = std::max(hi0, r0);
    uint64_t k1 = h ? p1 : x;
    int64_t r1 = (int64_t)(k1 - p1);
    lo1 = std::min(lo1, r1), hi1 = std::max(hi1, r1);
    p1 = k1;
    uint64_t pred = 2 * q1 - q2, k2 = h ? pred : x;
    int64_t r2 = (int64_t)(k2 - pred);
    if (i >= 2) lo2 = std::min(lo2, r2), hi2 = std::max(hi2, r2);
    q2 = q1;
    q1 = k2;
  }
  /* The order whose residuals pack into the fewest bits, and their range. */
  void choose(int n, int &order, int64_t &lo, int64_t &hi) const {
    const int64_t l[] = {lo0, lo1, lo2}, h[] = {hi0, hi1, hi2};
    size_t least = SIZE_MAX;
    for (int o = 0; o <= MAX_ORDER && o < n; o++) {
      uint64_t span = h[o] >= l[o] ? (uint64_t)h[o] - (uint64_t)l[o] : 0;
      int width = span ? 64 - std::countl_zero(span) : 0;
      size_t bytes = (size_t)o * 4 + packed_bytes((size_t)(n - o), width);
      if (bytes < least) least = bytes, order = o, lo = l[o], hi = h[o];
    }
  }
};

/* Frame of reference of r[from..n), whose least and greatest are lo and hi:
 * the minimum, a common factor and the bit width of (r - min) / factor. */
struct Frame {
  int64_t min = 0;
  uint64_t factor = 1;
  int width = 0;
};

Frame frame_of(const uint64_t *r, int from, int n, int64_t lo, int64_t hi) {
  Frame f;
  if (from >= n) return f;
  f.min = lo;
  uint64_t span = (uint64_t)hi - (uint64_t)lo;
  if (span > 1) {
    uint64_t g = 0;
    for (int i = from; i < n && g != 1; i++) g = std::gcd(g, r[i] - (uint64_t)lo);
    if (g > 1) {
      f.factor = g;
      span /= g;
    }
  }
  f.width = span ? 64 - std::countl_zero(span) : 0;
  return f;
}

}  // namespace

/* Fills d for exponent e; false when more than a quarter of the values would
 * be exceptions. Counts the exceptions near a decimal at near_e (when
 * that is 0 or more): only then can the near-decimal form win. */
bool ChunkEncoder::to_integers(const double *base, size_t stride, int n, int e, int near_e,
                               Decimal &d) {
  d.exponent = e;
  d.near = d.bit_pattern = false;
  d.near_exceptions = 0;
  d.k.resize(n);
  d.hole.resize(n);
  d.missing.clear();
  d.exceptions.clear();
  size_t most = (size_t)n / 4;
  d.column.resize(n);
  for (int i = 0; i < n; i++) d.column[i] = base[(size_t)i * stride];
  // hole[i] says first which values the fast pass left, then what each is.
  scaled_ints(d.column.data(), n, e, d.k.data(), d.hole.data());
  OrderSearch s;
  for (int i = 0; i < n; i++) {
    int64_t m = d.k[i], c;
    uint8_t h = 0;
    if (d.hole[i]) {
      double v = d.column[i];
      if (bits_of(v) == MISSING_BITS) {
        h = 1;
        m = 0;
        d.missing.push_back((uint32_t)i);
      } else if (!scaled_int(v, e, &m)) {
        h = 2;
        d.exceptions.push_back((uint32_t)i);
        if (d.exceptions.size() > most) return false;
        if (near_e >= 0 && near_int(v, near_e, &m, &c)) d.near_exceptions++;
        m = 0;
      }
    }
    d.k[i] = m;
    d.hole[i] = h;
    i ? s.next(i, (uint64_t)m, h) : s.first((uint64_t)m, h);
  }
  s.choose(n, d.order, d.lo, d.hi);
  return true;
}

/* As to_integers, keeping values near k / 10^e with their corrections. */
bool ChunkEncoder::to_near_integers(const double *base, size_t stride, int n, int e, Decimal &d) {
  d.exponent = e;
  d.near = d.bit_pattern = false;
  d.k.resize(n);
  d.correction.resize(n);
  d.hole.resize(n);
  d.missing.clear();
  d.exceptions.clear();
  size_t most = (size_t)n / 4;
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  OrderSearch s;
  for (int i = 0; i < n; i++) {
    double v = base[(size_t)i * stride];
    int64_t m = 0, c = 0;
    uint8_t h = 0;
    if (bits_of(v) == MISSING_BITS) {
      h = 1;
      d.missing.push_back((uint32_t)i);
    } else if (!near_int(v, e, &m, &c)) {
      h = 2;
      d.exceptions.push_back((uint32_t)i);
      if (d.exceptions.size() > most) return false;
      m = c = 0;
    } else {
      lo = std::min(lo, c), hi = std::max(hi, c);
    }
    d.k[i] = m;
    d.hole[i] = h;
    d.correction[i] = c;
    i ? s.next(i, (uint64_t)m, h) : s.first((uint64_t)m, h);
  }
  s.choose(n, d.order, d.lo, d.hi);
  if (lo > hi) lo = hi = 0;
  d.near = lo != 0 || hi != 0;
  d.correction_lo = lo;
  d.correction_hi = hi;
  return true;
}

/* Fills d with every value's bits as its k (missing markers apart). */
void ChunkEncoder::to_bit_patterns(const double *base, size_t stride, int n, Decimal &d) {
  d.exponent = 0;
  d.near = false;
  d.bit_pattern = true;
  d.k.resize(n);
  d.hole.resize(n);
  d.missing.clear();
  d.exceptions.clear();
  OrderSearch s;
  for (int i = 0; i < n; i++) {
    uint64_t b = bits_of(base[(size_t)i * stride]);
    uint8_t h = b == MISSING_BITS;
    if (h) {
      b = 0;
      d.missing.push_back((uint32_t)i);
    }
    d.k[i] = (int64_t)b;
    d.hole[i] = h;
    i ? s.next(i, b, h) : s.first(b, h);
  }
  s.choose(n, d.order, d.lo, d.hi);
}

/* Writes the positions (gaps from the previous one, first from 0). */
static uint8_t *put_positions(uint8_t *p, const std::vector<uint32_t> &at, const double *base,
                              size_t stride, bool with_bits) {
  p = put_varint(p, at.size());
  uint32_t next = 0;
  for (uint32_t i : at) {
    p = put_varint(p, i - next);
    next = i + 1;
    if (with_bits) {
      put_u64(p, bits_of(base[(size_t)i * stride]));
      p += 8;
    }
  }
  return p;
}

size_t ChunkEncoder::put_decimal(const double *base, size_t stride, int n, Decimal &d,
                                 uint8_t *dst) {
  uint64_t *r = words_.data();
  int order = d.order;
  residuals(order, d.k, d.hole, n, r);
  Frame f = frame_of(r, order, n, d.lo, d.hi);
  uint8_t *p = dst;
  *p++ = d.bit_pattern ? COLUMN_BIT_PATTERN : d.near ? COLUMN_NEAR_DECIMAL : COLUMN_DECIMAL;
  *p++ = (uint8_t)d.exponent;
  p = put_positions(p, d.missing, base, stride, false);
  p = put_positions(p, d.exceptions, base, stride, true);
  *p++ = (uint8_t)order;
  uint8_t *pack = p;
  *p++ = PACK_BITS;
  int head = std::min(order, n);
  for (int i = 0; i < head; i++) p = put_varint(p, zigzag(r[i]));
  p = put_varint(p, zigzag((uint64_t)f.min));
  p = put_varint(p, f.factor);
  *p++ = (uint8_t)f.width;
  size_t body = packed_bytes((size_t)(n - head), f.width);
  pack_bits(r + head, (size_t)(n - head), f.width, p, (uint64_t)f.min, f.factor);
  p += body;
  if (body >= ZSTD_TRY_BYTES) {
    // zstd over the byte-shuffled zigzag residuals, when smaller.
    for (int i = 0; i < n; i++) r[i] = zigzag(r[i]);
    size_t z = compress_words(n);
    if (z != 0 && 1 + varint_bytes(z) + z < (size_t)(p - pack)) {
      p = pack;
      *p++ = PACK_ZSTD;
      p = put_varint(p, z);
      std::memcpy(p, zbuf_.data(), z);
      p += z;
    }
  }
  if (d.near) p = put_corrections(n, d, p);
  return (size_t)(p - dst);
}

/* The corrections of a near-decimal column, bit packed above their minimum;
 * a hole takes the minimum, so that it widens nothing. */
uint8_t *ChunkEncoder::put_corrections(int n, Decimal &d, uint8_t *p) {
  int64_t lo = d.correction_lo;
  uint64_t span = (uint64_t)(d.correction_hi - lo);
  int width = span ? 64 - std::countl_zero(span) : 0;
  for (uint32_t i : d.missing) d.correction[i] = lo;
  for (uint32_t i : d.exceptions) d.correction[i] = lo;
  p = put_varint(p, zigzag((uint64_t)lo));
  *p++ = (uint8_t)width;
  pack_bits(reinterpret_cast<const uint64_t *>(d.correction.data()), (size_t)n, width, p,
            (uint64_t)lo);
  return p + packed_bytes((size_t)n, width);
}

/* Compresses the n shuffled words_ into zbuf_; 0 when zstd fails. */
size_t ChunkEncoder::compress_words(int n) {
  shuffle_words(words_.data(), n, plain_.data());
  size_t z = ZSTD_compressCCtx(cctx_, zbuf_.data(), zbuf_.size(), plain_.data(), (size_t)n * 8,
                               level_);
  return ZSTD_isError(z) ? 0 : z;
}

/* The XOR form; 0 when zstd fails. */
size_t ChunkEncoder::put_xor(const double *base, size_t stride, int n, uint8_t *dst) {
  uint64_t prev = 0;
  for (int i = 0; i < n; i++) {
    uint64_t b = bits_of(base[(size_t)i * stride]);
    words_[i] = b ^ prev;
    prev = b;
  }
  size_t z = compress_words(n);
  if (z == 0) return 0;
  uint8_t *p = dst;
  *p++ = COLUMN_XOR;
  p = put_varint(p, z);
  std::memcpy(p, zbuf_.data(), z);
  return (size_t)(p + z - dst);
}

/* Writes one column at dst, the smallest of its forms; 0 when zstd fails.
 * The near-decimal form is tried only when the exact one is not there, needs
 * more places, or leaves exceptions that lie near a decimal: averages of
 * decimals are often exact decimals of 15 places, far wider integers than
 * their near ones. */
size_t ChunkEncoder::put_column(const double *base, size_t stride, int n, uint8_t *dst) {
  Exponents ex = choose_exponents(base, stride, n);
  Decimal &d = *decimal_;
  size_t dec = 0;
  bool exact = ex.exact >= 0 && to_integers(base, stride, n, ex.exact, ex.near, d);
  if (exact) dec = put_decimal(base, stride, n, d, dst);
  if (ex.near >= 0 && (!exact || ex.near < ex.exact || d.near_exceptions > 0) &&
      to_near_integers(base, stride, n, ex.near, d)) {
    uint8_t *alt = dst + dec;
    size_t near = put_decimal(base, stride, n, d, alt);
    if (!dec || near < dec) {
      std::memmove(dst, alt, near);
      dec = near;
    }
  }
  if (dec && dec <= (size_t)n * DECIMAL_TRUST_BYTES) return dec;
  uint8_t *alt = dec ? dst + dec : dst;
  size_t x = put_xor(base, stride, n, alt);
  if (x == 0) return 0;
  if (dec && x >= dec) {
    x = dec;
  } else if (dec) {
    std::memmove(dst, alt, x);
  }
  // Full-precision doubles: their bits as integers, when that is smaller.
  to_bit_patterns(base, stride, n, d);
  alt = dst + x;
  size_t b = put_decimal(base, stride, n, d, alt);
  if (b >= x) return x;
  std::memmove(dst, alt, b);
  return b;
}

/* Most bytes a column of n values can take in any form, written one after
 * the other: exact decimal, near decimal, XOR. */
static size_t column_bound(int n) {
  size_t decimal = 32 + 20 + (size_t)n * 19 + packed_bytes((size_t)n, 64) + 8;
  size_t corrections = 12 + packed_bytes((size_t)n, 64) + 8;
  return 2 * (decimal + corrections) + 12 + ZSTD_compressBound((size_t)n * 8);
}

ChunkEncoder::ChunkEncoder(int level)
    : decimal_(new Decimal), cctx_(ZSTD_createCCtx()), level_(level) {}

ChunkEncoder::~ChunkEncoder() { ZSTD_freeCCtx(cctx_); }

bool ChunkEncoder::encode_segment(const double *base, size_t sample_stride, size_t role_stride,
                                  int roles, int count, std::string &err) {
  return put_segment(0, base, sample_stride, role_stride, roles, count, err);
}

bool ChunkEncoder::encode(uint64_t seed, const double *base, size_t sample_stride,
                          size_t role_stride, int roles, int count, std::string &err) {
  if (!put_segment(CHUNK_HEADER_BYTES, base, sample_stride, role_stride, roles, count, err))
    return false;
  seal_chunk_blob(out_.data(), out_size_, roles, (uint32_t)count, seed);
  return true;
}

/* Writes one segment (its count, then its columns) at offset `from` of out_:
 * 0, or CHUNK_HEADER_BYTES to leave room for a blob's header before it. */
bool ChunkEncoder::put_segment(size_t from, const double *base, size_t sample_stride,
                               size_t role_stride, int roles, int count, std::string &err) {
  if (!cctx_) {
    err = "out of memory for the chunk compressor";
    return false;
  }
  if (roles < 1 || roles > MAX_ROLES || count < 1 || (uint32_t)count > MAX_COUNT) {
    err = "chunk shape out of range";
    return false;
  }
  size_t bound = from + 5 + (size_t)roles * column_bound(count);
  if (out_.size() < bound) out_.resize(bound);
  if (words_.size() < (size_t)count) words_.resize(count);
  if (plain_.size() < (size_t)count * 8) plain_.resize((size_t)count * 8);
  if (zbuf_.size() < ZSTD_compressBound((size_t)count * 8))
    zbuf_.resize(ZSTD_compressBound((size_t)count * 8));
  size_t at = put_varint(out_.data() + from, (uint64_t)count) - out_.data();
  for (int r = 0; r < roles; r++) {
    size_t n = put_column(base + r * role_stride, sample_stride, count, out_.data() + at);
    if (n == 0) {
      err = "zstd could not compress a chunk column";
      return false;
    }
    at += n;
  }
  out_size_ = at;
  return true;
}

void seal_chunk_blob(uint8_t *blob, size_t len, int roles, uint32_t count, uint64_t seed) {
  blob[0] = CHUNK_BLOB_FORMAT;
  blob[1] = (uint8_t)roles;
  put_u32(&blob[2], count);
  put_u64(&blob[6], blob_check(blob, len, seed));
}

/* ---- Decoding. ---- */

bool is_missing(double v) { return bits_of(v) == MISSING_BITS; }

uint64_t chunk_seed(int64_t sid, int64_t graph, int64_t data_type, int64_t start, int64_t step) {
  int64_t place[5] = {sid, graph, data_type, start, step};
  return XXH3_64bits(place, sizeof place);
}

ChunkDecoder::ChunkDecoder() : dctx_(ZSTD_createDCtx()) {}

ChunkDecoder::~ChunkDecoder() { ZSTD_freeDCtx(dctx_); }

/* Decompresses a frame of exactly n shuffled words into words_. */
bool ChunkDecoder::get_words(const uint8_t *frame, size_t len, int n) {
  size_t got = ZSTD_decompressDCtx(dctx_, plain_.data(), (size_t)n * 8, frame, len);
  if (ZSTD_isError(got) || got != (size_t)n * 8) return false;
  unshuffle_words(plain_.data(), n, words_.data());
  return true;
}

bool ChunkDecoder::get_xor(ColumnReader &in, int n, double *out) {
  size_t len = in.bounded(in.left());
  const uint8_t *frame = in.bytes(len);
  if (!frame || !get_words(frame, len, n)) return false;
  uint64_t prev = 0;
  for (int i = 0; i < n; i++) {
    prev ^= words_[i];
    out[i] = double_of(prev);
  }
  return true;
}

/* Reads n residuals into words_ (zigzag undone). */
bool ChunkDecoder::get_residuals(ColumnReader &in, int order, int n) {
  uint8_t pack = in.byte();
  uint64_t *r = words_.data();
  if (pack == PACK_ZSTD) {
    size_t len = in.bounded(in.left());
    const uint8_t *frame = in.bytes(len);
    if (!frame || !get_words(frame, len, n)) return false;
    for (int i = 0; i < n; i++) r[i] = unzigzag(r[i]);
    return true;
  }
  if (pack != PACK_BITS) return false;
  int head = std::min(order, n);
  for (int i = 0; i < head; i++) r[i] = unzigzag(in.varint());
  uint64_t min = unzigzag(in.varint()), factor = in.varint();
  int width = in.byte();
  if (!in.ok || width > 64) return false;
  size_t body = packed_bytes((size_t)(n - head), width);
  const uint8_t *src = in.bytes(body);
  if (!src) return false;
  std::memcpy(plain_.data(), src, body);
  std::memset(plain_.data() + body, 0, 16);
  unpack_bits(plain_.data(), (size_t)(n - head), width, r + head);
  for (int i = head; i < n; i++) r[i] = r[i] * factor + min;
  return true;
}

/* Reads a near-decimal column's n corrections into corrections_. */
bool ChunkDecoder::get_corrections(ColumnReader &in, int n) {
  uint64_t lo = unzigzag(in.varint());
  int width = in.byte();
  if (!in.ok || width > 64) return false;
  size_t body = packed_bytes((size_t)n, width);
  const uint8_t *src = in.bytes(body);
  if (!src) return false;
  std::memcpy(plain_.data(), src, body);
  std::memset(plain_.data() + body, 0, 16);
  unpack_bits(plain_.data(), (size_t)n, width, corrections_.data());
  for (int i = 0; i < n; i++) corrections_[i] += lo;
  return true;
}

bool ChunkDecoder::get_decimal(ColumnReader &in, int n, double *out, bool near, bool bit_pattern) {
  int e = in.byte();
  if (e > MAX_EXPONENT || (bit_pattern && e != 0)) return false;
  size_t missing = in.bounded((uint64_t)n);
  for (size_t j = 0, next = 0; j < missing; j++) {
    next += in.bounded((uint64_t)n);
    if (!in.ok || next >= (size_t)n) return false;
    positions_[j] = (uint32_t)next++;
  }
  size_t exceptions = in.bounded((uint64_t)n);
  for (size_t j = 0, next = 0; j < exceptions; j++) {
    next += in.bounded((uint64_t)n);
    const uint8_t *raw = in.bytes(8);
    if (!raw || next >= (size_t)n) return false;
    exceptions_[j] = {(uint32_t)next++, get_u64(raw)};
  }
  if (!in.ok) return false;
  int order = in.byte();
  if (!in.ok || order > MAX_ORDER || !get_residuals(in, order, n)) return false;
  if (near && !get_corrections(in, n)) return false;
  uint64_t k1 = 0, k2 = 0;
  double p = POW10[e];
  if (bit_pattern) {
    for (int i = 0; i < n; i++) {
      uint64_t k = predict(order, i, k1, k2) + words_[i];
      out[i] = double_of(k);
      k2 = k1;
      k1 = k;
    }
  } else {
    for (int i = 0; i < n; i++) {
      uint64_t k = predict(order, i, k1, k2) + words_[i];
      out[i] = (double)(int64_t)k / p;
      k2 = k1;
      k1 = k;
    }
  }
  if (near)
    for (int i = 0; i < n; i++) out[i] = double_of(bits_of(out[i]) + corrections_[i]);
  for (size_t j = 0; j < missing; j++) out[positions_[j]] = TSDB_MISSING_VALUE;
  for (size_t j = 0; j < exceptions; j++)
    out[exceptions_[j].first] = double_of(exceptions_[j].second);
  return in.ok;
}

/* Reads `roles` columns of n samples each into values_ (columns of
 * `count` samples), from sample `at` on. Near-decimal ones only when
 * `near_allowed`, bit-pattern ones only in a blob of `segments`. */
bool ChunkDecoder::get_columns(bool near_allowed, bool segments, ColumnReader &in, int roles, int n,
                               int count, int at, std::string &err) {
  for (int r = 0; r < roles; r++) {
    double *out = values_.data() + (size_t)r * count + at;
    uint8_t kind = in.byte();
    bool ok = kind == COLUMN_XOR            ? get_xor(in, n, out)
              : kind == COLUMN_DECIMAL      ? get_decimal(in, n, out, false)
              : kind == COLUMN_NEAR_DECIMAL ? near_allowed && get_decimal(in, n, out, true)
              : kind == COLUMN_BIT_PATTERN  ? segments && get_decimal(in, n, out, false, true)
                                            : false;
    if (!ok || !in.ok) {
      err = "column " + std::to_string(r + 1) + " is not well formed";
      return false;
    }
  }
  return true;
}

/* The body of a blob of separate columns: its columns, one after the
 * other, exactly filling it. Near-decimal ones only from `format` 4 on. */
bool ChunkDecoder::decode_columns(uint8_t format, const uint8_t *body, size_t len, int roles, int n,
                                  std::string &err) {
  ColumnReader in{body, body + len};
  if (!get_columns(format != WITHOUT_NEAR_FORMAT, false, in, roles, n, n, 0, err)) return false;
  if (in.left() == 0) return true;
  err = "bytes after the last column";
  return false;
}

/* The body of a blob of segments: each its count and its columns, the
 * counts summing to the chunk's, exactly filling it. Every segment takes
 * at least one sample and a byte, so the walk ends within both. */
bool ChunkDecoder::decode_segments(const uint8_t *body, size_t len, int roles, int n,
                                   std::string &err) {
  ColumnReader in{body, body + len};
  for (int at = 0, segment = 1; at < n; segment++) {
    int m = (int)in.bounded((uint64_t)(n - at));
    if (m == 0) {
      err = "segment " + std::to_string(segment) + " is empty or longer than the chunk";
      return false;
    }
    if (!get_columns(true, true, in, roles, m, n, at, err)) {
      err = "segment " + std::to_string(segment) + ": " + err;
      return false;
    }
    at += m;
  }
  if (in.left() == 0) return true;
  err = "bytes after the last segment";
  return false;
}

/* The body of a blob of the previous format: one zstd frame. */
bool ChunkDecoder::decode_one_frame(const uint8_t *body, size_t len, int roles, int n,
                                    std::string &err) {
  size_t bound = (size_t)roles * one_frame_column_bound(n);
  if (frame_plain_.size() < bound) frame_plain_.resize(bound);
  size_t got = ZSTD_decompressDCtx(dctx_, frame_plain_.data(), bound, body, len);
  if (ZSTD_isError(got)) {
    err = std::string("zstd: ") + ZSTD_getErrorName(got);
    return false;
  }
  size_t used = 0;
  for (int r = 0; r < roles; r++) {
    size_t k = get_one_frame_column(frame_plain_.data() + used, got - used, n, words_.data(),
                                    values_.data() + (size_t)r * n);
    if (k == 0) {
      err = "chunk truncated";
      return false;
    }
    used += k;
  }
  return true;
}

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
  if ((p[0] != ONE_FRAME_FORMAT && p[0] != WITHOUT_NEAR_FORMAT && p[0] != WHOLE_COLUMNS_FORMAT &&
       p[0] != CHUNK_BLOB_FORMAT) ||
      p[1] < 1 || p[1] > MAX_ROLES) {
    err = "not a chunk of a known format";
    return false;
  }
  int roles = p[1];
  uint32_t count = get_u32(p + 2);
  if (count == 0 || count > MAX_COUNT) {
    err = "chunk sample count out of range";
    return false;
  }
  int n = (int)count;
  if (values_.size() < (size_t)roles * n) values_.resize((size_t)roles * n);
  if (words_.size() < (size_t)n) words_.resize(n);
  if (plain_.size() < (size_t)n * 8 + 16) plain_.resize((size_t)n * 8 + 16);
  if (positions_.size() < (size_t)n) positions_.resize(n);
  if (exceptions_.size() < (size_t)n) exceptions_.resize(n);
  if (corrections_.size() < (size_t)n) corrections_.resize(n);
  const uint8_t *body = p + CHUNK_HEADER_BYTES;
  size_t body_len = len - CHUNK_HEADER_BYTES;
  bool ok = p[0] == CHUNK_BLOB_FORMAT  ? decode_segments(body, body_len, roles, n, err)
            : p[0] == ONE_FRAME_FORMAT ? decode_one_frame(body, body_len, roles, n, err)
                                       : decode_columns(p[0], body, body_len, roles, n, err);
  if (!ok) return false;
  roles_ = roles;
  count_ = n;
  return true;
}

}  // namespace orvtsdb
