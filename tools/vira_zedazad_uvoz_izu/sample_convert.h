/*
 * sample_convert.h - one element's way from its stored bytes to the value
 * handed to the store: widening (reserved integers become the missing-value
 * marker), the graph's formula, and the data type's scale.
 *
 * The marker passes the formula and scale steps unchanged, so a missing
 * sample reaches the store as exactly the marker. These steps run for every
 * element of every packet, so they are inline here for the decoders and the
 * merge (sample_decode.cpp, sample_merge.cpp); the designed one-element entry
 * points are in sample_convert.cpp. No state.
 */
#ifndef SAMPLE_CONVERT_H
#define SAMPLE_CONVERT_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "orvtsdb_data_types.h"
#include "rtg_packet.h"
#include "vira_zedazad_uvoz_izu.h"

namespace vzu_sample {

constexpr double kMissing = TSDB_MISSING_VALUE;

/* What a graph of an unknown data type is treated as: one plain value. */
inline constexpr orv_data_type_t kPlainType = {"", nullptr, 1, 8, 0, ORV_FAMILY_SINGLE};

/* The type record of data type number `data_type`; never null. */
inline const orv_data_type_t *type_of(int data_type) {
  const orv_data_type_t *t = orv_data_type(data_type);
  return t ? t : &kPlainType;
}

/* Position of the count element inside a graph of `family`, -1 for none. */
inline int count_position(int family) {
  switch (family) {
    case ORV_FAMILY_TIMES:
    case ORV_FAMILY_TIMES_STD: return 3;
    case ORV_FAMILY_VALUE_COUNT: return 1;
    default: return -1;
  }
}

/* A formula that changes a value. */
inline bool has_formula(int formula) { return formula == FORMULA_KBPS || formula == FORMULA_DBH; }

/* The formula step on one value; the marker stays the marker. */
inline void apply_formula(int formula, double *v) {
  if (*v == kMissing) return;
  if (formula == FORMULA_KBPS)
    *v = *v * 8.0 / static_cast<double>(g_frequency * 1024);
  else if (formula == FORMULA_DBH)
    *v = *v / 100.0;
}

/* The scale step on the graph whose first element is `d`: every element but
 * the count is divided by the type's scale; the marker stays the marker.
 * Written without a branch per element (the quotient of the marker is
 * computed and dropped) so the divisions overlap. */
inline void unscale(double *d, const orv_data_type_t *t) {
  if (!t->scale) return;
  const double scale = t->scale;
  const int skip = count_position(t->family);
  for (int i = 0; i < t->elements; ++i) {
    double x = d[i], q = x / scale;
    d[i] = (i == skip || x == kMissing) ? x : q;
  }
}

/* An element divided by its data type's scale (every element of a scaled
 * graph but the count). */
struct ScaleFix {
  int e;
  double scale;
};

/* The scale step on the listed elements of d, two divisions at a time (a
 * packed division rounds each quotient as a single one does, so the results
 * are the same bits); the marker stays the marker. */
inline void unscale_elements(double *d, const ScaleFix *s, size_t n) {
  typedef double Pair __attribute__((vector_size(16)));
  const Pair missing = {kMissing, kMissing};
  size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    Pair x = {d[s[i].e], d[s[i + 1].e]};
    Pair q = x / Pair{s[i].scale, s[i + 1].scale};
    Pair r = x == missing ? x : q;
    d[s[i].e] = r[0];
    d[s[i + 1].e] = r[1];
  }
  if (i < n && d[s[i].e] != kMissing) d[s[i].e] /= s[i].scale;
}

/* n stored integers of type T from p into out; the reserved value `missing`
 * becomes the marker. */
template <typename T, int missing>
inline void widen_ints(const char *p, int n, double *out) {
  for (int i = 0; i < n; ++i) {
    T v;
    memcpy(&v, p + sizeof(T) * i, sizeof(T));
    out[i] = v == missing ? kMissing : static_cast<double>(v);
  }
}

/* The n elements of one stored width at p widened into out. */
inline void widen_run(const char *p, int width, int n, double *out) {
  switch (width) {
    case 1: widen_ints<int8_t, RTG_MISSING_I8>(p, n, out); break;
    case 2: widen_ints<int16_t, RTG_MISSING_I16>(p, n, out); break;
    case 4: widen_ints<int32_t, RTG_MISSING_I32>(p, n, out); break;
    case 8: memcpy(out, p, sizeof(double) * n); break;
    default:
      for (int i = 0; i < n; ++i) out[i] = rtg_widen(p + static_cast<long>(width) * i, width);
  }
}

}  // namespace vzu_sample

#endif /* SAMPLE_CONVERT_H */
