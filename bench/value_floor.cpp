/*
 * value_floor.cpp - how few bytes a store's values could take in chunks of
 * the lengths it has, coded the way chunk blobs code decimals: per chunk and
 * role, the best decimal exponent, the best of no, delta and delta-of-delta
 * prediction, and every value packed in the bits of the widest residual.
 *
 *   value_floor STORE   prints one line: values exact_bytes near_bytes
 *
 * exact: values that are not k / 10^e exactly cost 9 bytes each (an
 * exception: the double and its position). near: the same, but a value a few
 * units in the last place off k / 10^e costs its k plus a packed correction
 * (what averages of decimals need). A column costs at most 8 bytes a value.
 * Headers and the store's rows are left out, and a bit's fraction is never
 * saved: for values whose residuals are spread evenly over their range (noise)
 * no coding of single columns does much better, so the blobs' own size can be
 * read against this figure.
 */
#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "chunk_cursor.h"
#include "read_connection.h"

using namespace orvtsdb;

namespace {

constexpr int MAX_EXPONENT = 15;
constexpr int64_t MAX_ULPS = 1 << 20;

double pow10(int e) {
  static const double p[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  return p[e];
}

/* Bits of n integers packed above their minimum, with the best predictor. */
double packed_bits(std::vector<int64_t> v) {
  double best = 64.0 * (double)v.size();
  for (int order = 0; order < 3 && (size_t)order < v.size(); order++) {
    if (order > 0)
      for (size_t i = v.size() - 1; i >= (size_t)order; i--) v[i] -= v[i - 1];
    auto [lo, hi] = std::minmax_element(v.begin() + order, v.end());
    double width = std::bit_width((uint64_t)(*hi - *lo));
    best = std::min(best, 64.0 * order + width * (double)(v.size() - order));
  }
  return best;
}

/* The cheapest exponent's cost in bits, for one column. */
double column_bits(const double *x, int n, bool near) {
  double best = 64.0 * n;
  std::vector<int64_t> k, ulps;
  for (int e = 0; e <= MAX_EXPONENT; e++) {
    k.clear(), ulps.clear();
    int exceptions = 0;
    for (int i = 0; i < n; i++) {
      double s = std::nearbyint(x[i] * pow10(e));
      double base = s / pow10(e);
      int64_t a, b;
      std::memcpy(&a, &x[i], 8);
      std::memcpy(&b, &base, 8);
      bool fits = !is_missing(x[i]) && std::fabs(s) < 9e15 &&
                  std::signbit(base) == std::signbit(x[i]);
      int64_t d = fits ? a - b : 0;
      if (!fits || (!near && d != 0) || d > MAX_ULPS || d < -MAX_ULPS) {
        exceptions++;
        continue;
      }
      k.push_back((int64_t)s);
      ulps.push_back(d);
    }
    double bits = 72.0 * exceptions + packed_bits(k) + (near ? packed_bits(ulps) : 0);
    best = std::min(best, bits);
    if (exceptions == 0 && !near) break;  // a larger exponent only widens k
  }
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: value_floor STORE\n");
    return 2;
  }
  std::string open_err;
  sqlite3 *db = orvtsdb::open_for_reading(argv[1], open_err);
  if (!db) {
    std::fprintf(stderr, "value_floor: %s\n", open_err.c_str());
    return 1;
  }
  ChunkCursor cur;
  std::string err;
  if (!cur.open(db, ChunkFilter(), err)) {
    std::fprintf(stderr, "value_floor: %s\n", err.c_str());
    return 1;
  }
  double exact = 0, near = 0;
  long long values = 0;
  std::vector<double> col;
  while (cur.next(err)) {
    for (int r = 0; r < cur.roles(); r++) {
      col.resize(cur.count());
      for (int i = 0; i < cur.count(); i++) col[i] = cur.value(i, r);
      exact += column_bits(col.data(), cur.count(), false);
      near += column_bits(col.data(), cur.count(), true);
      values += cur.count();
    }
  }
  if (!err.empty()) {
    std::fprintf(stderr, "value_floor: %s\n", err.c_str());
    return 1;
  }
  std::printf("%lld %.0f %.0f\n", values, exact / 8, near / 8);
  sqlite3_close(db);
  return 0;
}
