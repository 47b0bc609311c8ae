/*
 * sample_values.cpp - deterministic, realistic raw values; see sample_values.h.
 */
#include "sample_values.h"

#include <cmath>
#include <cstring>

namespace sample_run {

namespace {

uint64_t mix(uint64_t x) {  // splitmix64 finaliser
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

/* Uniform in [0, 1) from a key and a salt. */
double unit(uint64_t key, uint64_t salt) {
  return (double)(mix(key ^ mix(salt)) >> 11) * (1.0 / 9007199254740992.0);
}

/* The largest stored integer of a width that is not reserved. */
double width_max(int width) {
  return width == 1 ? 126 : width == 2 ? 32766 : width == 4 ? 2147483646.0 : 1e300;
}

/* Stored form of a real value: scaled and rounded for integer widths, three
 * decimals for doubles. */
double store(double x, int width, int scale) {
  if (width == 8) return std::round(x * 1000) / 1000;
  double v = std::round(x * (scale ? scale : 1));
  return std::fmin(std::fmax(v, 0), width_max(width));
}

struct Wave {
  double load;  /* 0.1 .. 1.1: the test's load at this sample, per vector */
  double noise; /* 0 .. 1 */
  double base;  /* 0.4 .. 1: the vector's level */
};

Wave wave(uint64_t gk, int64_t seq) {
  double phase = unit(gk, 1) * 6.283;
  double load = 0.6 + 0.4 * std::sin(phase + (double)seq * 6.283 / 900.0);
  return {load + 0.1 * (unit(gk, 2 + (uint64_t)seq) - 0.5), unit(gk, 3 + 7 * (uint64_t)seq),
          0.4 + 0.6 * unit(gk, 4)};
}

void fill_times(const GraphDef &gr, const Wave &w, int64_t seq, uint64_t gk, RawElem *out,
                bool fifth) {
  const orv_data_type_t &d = ORV_DATA_TYPES[gr.data_type];
  double count = w.noise < 0.05 ? 0 : std::round(1 + 19 * w.load * w.base);
  double avg = gr.lo + (gr.hi - gr.lo) * w.base * w.load * (0.8 + 0.4 * unit(gk, 5 + seq));
  double mn = count ? avg * (0.3 + 0.6 * w.noise) : 0, mx = count ? avg * (1.1 + 2 * w.noise) : 0;
  if (!count) avg = 0;
  out[0].v = store(avg, d.width, d.scale);
  out[1].v = store(mn, d.width, d.scale);
  out[2].v = std::fmax(store(mx, d.width, d.scale), out[0].v);
  out[1].v = std::fmin(out[1].v, out[0].v);
  out[3].v = store(count, d.width, 0);
  if (fifth) out[4].v = store(avg * 0.25 * (1 + w.noise), d.width, d.scale);
}

}  // namespace

uint64_t vector_key(uint64_t seed, int group, const std::string &name) {
  uint64_t h = 1469598103934665603ull ^ mix(seed) ^ mix((uint64_t)group + 77);
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  return mix(h);
}

int element_width(int type, int e) {
  const orv_data_type_t &d = ORV_DATA_TYPES[type];
  return d.width == 6 ? (e == 0 ? 2 : 4) : d.width;
}

int graph_width(int type) {
  const orv_data_type_t &d = ORV_DATA_TYPES[type];
  return d.width == 6 ? 6 : d.width * d.elements;
}

void raw_graph_values(const RunPlan &plan, int group, int graph, uint64_t vkey, int64_t seq,
                      RawElem out[ORV_MAX_ELEMENTS_PER_GRAPH]) {
  const GraphDef &gr = plan.groups[group].graphs[graph];
  const orv_data_type_t &d = ORV_DATA_TYPES[gr.data_type];
  uint64_t gk = mix(vkey ^ ((uint64_t)graph << 40));
  Wave w = wave(gk, seq);
  for (int e = 0; e < ORV_MAX_ELEMENTS_PER_GRAPH; e++) out[e] = RawElem();
  double x = gr.lo + (gr.hi - gr.lo) * w.base * w.load;
  switch (d.family) {
    case ORV_FAMILY_SINGLE: out[0].v = store(x, d.width, d.scale); break;
    case ORV_FAMILY_CUMULATIVE:  // a counter: grows by about x every sample
      out[0].v = std::round(w.base * 1000 + (double)seq * (gr.lo + gr.hi) / 2 * w.base);
      break;
    case ORV_FAMILY_TIMES: fill_times(gr, w, seq, gk, out, false); break;
    case ORV_FAMILY_TIMES_STD: fill_times(gr, w, seq, gk, out, true); break;
    case ORV_FAMILY_VALUE_COUNT:
      out[0].v = store(x, 2, d.scale);
      out[1].v = std::round(1 + 40 * w.load * w.noise);
      break;
  }
  bool integers = d.width != 8;
  if (integers && mix(gk ^ mix(0xABCDEFull + (uint64_t)seq)) % 211 == 0)
    for (int e = 0; e < d.elements; e++) out[e].missing = true;
}

void encode_element(unsigned char *dst, int width, const RawElem &x) {
  switch (width) {
    case 1: {
      int8_t v = x.missing ? (int8_t)-127 : (int8_t)x.v;
      memcpy(dst, &v, 1);
      break;
    }
    case 2: {
      int16_t v = x.missing ? (int16_t)-32767 : (int16_t)x.v;
      memcpy(dst, &v, 2);
      break;
    }
    case 4: {
      int32_t v = x.missing ? -2147483647 : (int32_t)x.v;
      memcpy(dst, &v, 4);
      break;
    }
    default: memcpy(dst, &x.v, 8);
  }
}

}  // namespace sample_run
