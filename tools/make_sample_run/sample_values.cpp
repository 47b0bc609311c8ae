/*
 * sample_values.cpp - deterministic, realistic raw values; see sample_values.h.
 */
#include "sample_values.h"

#include <cmath>
#include <cstring>
#include <vector>

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
 * decimals for doubles, or the double as computed when `full`. */
double store(double x, int width, int scale, bool full = false) {
  if (width == 8) return full ? x : std::round(x * 1000) / 1000;
  double v = std::round(x * (scale ? scale : 1));
  return std::fmin(std::fmax(v, 0), width_max(width));
}

/* A standard normal number from a key and a position (Box-Muller). */
double gauss(uint64_t key, int64_t t) {
  double u1 = 1.0 - unit(key, 2 * (uint64_t)t), u2 = unit(key, 2 * (uint64_t)t + 1);
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

/* Autocorrelated noise: x(t) = 0.9 x(t-1) + sqrt(1 - 0.81) g(t), a Gaussian
 * AR(1) process of unit variance. To keep every value a pure function of its
 * sequence number (a vector reads the same in every partition and in the
 * expected-store model, whatever order they visit it in), x(t) is the
 * recurrence started from 0 at a fixed point before t: the start of t's block
 * of NOISE_BLOCK numbers less NOISE_WARMUP; 0.9^48 < 0.7 %, so the start is
 * forgotten. Steps within one block repeat exactly the operations of a fresh
 * computation, so a small cache continues from the last value. */
constexpr double NOISE_PHI = 0.9;
constexpr int64_t NOISE_BLOCK = 64, NOISE_WARMUP = 48;

struct NoiseState {
  uint64_t key = 0;
  int64_t block = INT64_MIN, t = 0;
  double x = 0;
};

double ar_gauss(uint64_t key, int64_t seq) {
  static const double c = std::sqrt(1 - NOISE_PHI * NOISE_PHI);
  thread_local std::vector<NoiseState> cache(1 << 17);
  NoiseState &st = cache[mix(key) & (cache.size() - 1)];
  int64_t block = seq >= 0 ? seq / NOISE_BLOCK : -((-seq + NOISE_BLOCK - 1) / NOISE_BLOCK);
  if (st.key != key || st.block != block || st.t > seq) {
    st = {key, block, block * NOISE_BLOCK - NOISE_WARMUP - 1, 0.0};
  }
  while (st.t < seq) {
    st.t++;
    st.x = NOISE_PHI * st.x + c * gauss(key, st.t);
  }
  return st.x;
}

/* Uniform in [0, 1) from the autocorrelated noise (through the normal CDF). */
double ar_unit(uint64_t key, int64_t seq) {
  return std::fmin(0.5 * std::erfc(-ar_gauss(key, seq) / std::sqrt(2.0)), 0.9999999999999999);
}

/* The noise drawn for one purpose (`salt`) of a vector's graph at seq: from
 * the value seed alone (the run's historical noise, `plain` the old salt), or
 * from the noise seed. */
double sample_noise(const PlanOptions &o, uint64_t gk, uint64_t salt, uint64_t plain, int64_t seq) {
  if (!o.has_noise_seed) return unit(gk, plain);
  return ar_unit(mix(gk ^ mix(o.noise_seed) ^ mix(salt)), seq);
}

struct Wave {
  double load;  /* 0.1 .. 1.1: the test's load at this sample, per vector */
  double noise; /* 0 .. 1 */
  double base;  /* 0.4 .. 1: the vector's level */
};

Wave wave(const PlanOptions &o, uint64_t gk, int64_t seq) {
  double phase = unit(gk, 1) * 6.283;
  double load = 0.6 + 0.4 * std::sin(phase + (double)seq * 6.283 / 900.0);
  return {load + 0.1 * (sample_noise(o, gk, 2, 2 + (uint64_t)seq, seq) - 0.5),
          sample_noise(o, gk, 3, 3 + 7 * (uint64_t)seq, seq), 0.4 + 0.6 * unit(gk, 4)};
}

/* The factor of a response time's noise (0 .. 1) around 1; with the plan's
 * noise_scale of 1 exactly 0.8 + 0.4 noise, as runs always had. */
double noisy(const PlanOptions &o, double noise) {
  return o.noise_scale == 1 ? 0.8 + 0.4 * noise : 1 + 0.4 * o.noise_scale * (noise - 0.5);
}

/* Fills a times graph; `slower` multiplies its response times. */
void fill_times(const PlanOptions &o, const GraphDef &gr, const Wave &w, int64_t seq, uint64_t gk,
                RawElem *out, bool fifth, double slower, bool full) {
  const orv_data_type_t &d = ORV_DATA_TYPES[gr.data_type];
  double count = w.noise < 0.05 ? 0 : std::round(1 + 19 * w.load * w.base);
  // `slower` scales the whole response time, the graph's floor too.
  double avg = (gr.lo + (gr.hi - gr.lo) * w.base * w.load *
                            noisy(o, sample_noise(o, gk, 5, 5 + (uint64_t)seq, seq))) *
               slower;
  double mn = count ? avg * (0.3 + 0.6 * w.noise) : 0, mx = count ? avg * (1.1 + 2 * w.noise) : 0;
  if (!count) avg = 0;
  out[0].v = store(avg, d.width, d.scale, full);
  out[1].v = store(mn, d.width, d.scale, full);
  out[2].v = std::fmax(store(mx, d.width, d.scale, full), out[0].v);
  out[1].v = std::fmin(out[1].v, out[0].v);
  out[3].v = store(count, d.width, 0);
  if (fifth) out[4].v = store(avg * 0.25 * (1 + w.noise), d.width, d.scale, full);
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
  Wave w = wave(plan.opt, gk, seq);
  double slower = 1;
  for (const SlowdownAt &s : plan.slowdowns)
    if (s.group == group && s.vkey == vkey && seq >= s.from_seq) slower *= s.factor;
  for (int e = 0; e < ORV_MAX_ELEMENTS_PER_GRAPH; e++) out[e] = RawElem();
  double x = gr.lo + (gr.hi - gr.lo) * w.base * w.load;
  // Computed averages and rates keep every bit in real runs: a share of the
  // double-typed graphs of the vectors do so here.
  bool full = d.width == 8 && unit(gk, 6) < plan.opt.full_doubles;
  switch (d.family) {
    case ORV_FAMILY_SINGLE: out[0].v = store(x, d.width, d.scale, full); break;
    case ORV_FAMILY_CUMULATIVE:  // a counter: grows by about x every sample
      out[0].v = std::round(w.base * 1000 + (double)seq * (gr.lo + gr.hi) / 2 * w.base);
      break;
    case ORV_FAMILY_TIMES: fill_times(plan.opt, gr, w, seq, gk, out, false, slower, full); break;
    case ORV_FAMILY_TIMES_STD: fill_times(plan.opt, gr, w, seq, gk, out, true, slower, full); break;
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
