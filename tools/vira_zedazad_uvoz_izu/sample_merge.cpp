/*
 * sample_merge.cpp - the merge rules of sample_merge.h, one per data type
 * family. A window whose values sum to zero (or that holds no valid count)
 * is stored as missing; the average is taken before the scale and the
 * formula steps. The rules are inlined into the per-graph loop of a merged
 * packet (the hot path in merge mode), so the Merge fields stay in
 * registers. Single-threaded.
 */
#include "sample_merge.h"

#include <string.h>

namespace vzu_sample {
namespace {

/* One graph of one packet being merged: `d` is the graph's first element in
 * the vector's data, `count` its entry of sample_count, `f` the packet's
 * decoded elements of the graph, `fm` the graph's formulas (null when it has
 * none). */
struct Merge {
  double *d;
  int *count;
  const double *f;
  const int *fm;
  const orv_data_type_t *t;
  MergeWindow w;
};

void set_missing(double *d, int n) {
  for (int i = 0; i < n; ++i) d[i] = kMissing;
}

/* The formula step on every element of a merged graph except its count;
 * null formulas: the graph has none. */
[[gnu::always_inline]] inline void formula_on_values(double *d, const int *formulas,
                                                     const orv_data_type_t *t) {
  if (!formulas) return;
  int skip = count_position(t->family);
  for (int i = 0; i < t->elements; ++i)
    if (i != skip) apply_formula(formulas[i], &d[i]);
}

[[gnu::always_inline]] inline void merge_single(const Merge &m) {
  if (m.w.open) {
    m.d[0] = 0;
    *m.count = 0;
  }
  if (m.f[0] != kMissing) {
    m.d[0] += m.f[0];
    ++*m.count;
  }
  if (!m.w.close) return;
  if (m.d[0] == 0.0 || *m.count == 0) {
    m.d[0] = kMissing;
    return;
  }
  m.d[0] /= *m.count;
  unscale(m.d, m.t);
  formula_on_values(m.d, m.fm, m.t);
}

/* The last non-missing value of the window remains. */
[[gnu::always_inline]] inline void merge_cumulative(const Merge &m) {
  if (m.w.open) m.d[0] = m.f[0];
  if (m.f[0] != kMissing) {
    m.d[0] = m.f[0];
    if (m.fm) apply_formula(m.fm[0], &m.d[0]);
  }
}

/* Avg, min, max and count at d[0..3]; f holds the packet's avg, min, max,
 * count. The first packet with a valid count sets the minimum (a window's
 * minimum starts unset rather than at 0). */
[[gnu::always_inline]] inline void merge_times_core(double *d, const double *f) {
  if (f[3] == kMissing || f[3] == 0) return;
  bool first_valid = d[3] == 0;
  d[0] += f[3] * f[0];
  if (first_valid || f[1] <= d[1]) d[1] = f[1];
  if (d[2] <= f[2]) d[2] = f[2];
  d[3] += f[3];
}

[[gnu::always_inline]] inline void merge_times(const Merge &m, int elements) {
  if (m.w.open) memset(m.d, 0, sizeof(double) * elements);
  if (elements == 5 && m.f[3] != kMissing && m.f[3] != 0) m.d[4] += m.f[4];
  merge_times_core(m.d, m.f);
  if (!m.w.close) return;
  if (m.d[3] == 0) {
    set_missing(m.d, elements);
    return;
  }
  m.d[0] /= m.d[3];
  unscale(m.d, m.t);
  formula_on_values(m.d, m.fm, m.t);
}

/* A value weighted by its count; the scale comes off before the average. */
[[gnu::always_inline]] inline void merge_value_count(const Merge &m) {
  if (m.w.open) m.d[0] = m.d[1] = 0;
  if (m.f[1] != kMissing && m.f[1] != 0) {
    m.d[0] += m.f[1] * m.f[0];
    m.d[1] += m.f[1];
  }
  if (!m.w.close) return;
  if (m.d[1] == 0) {
    set_missing(m.d, 2);
    return;
  }
  unscale(m.d, m.t);
  m.d[0] /= m.d[1];
  formula_on_values(m.d, m.fm, m.t);
}

[[gnu::always_inline]] inline void merge_graph(const Merge &m) {
  switch (m.t->family) {
    case ORV_FAMILY_CUMULATIVE: merge_cumulative(m); break;
    case ORV_FAMILY_TIMES: merge_times(m, 4); break;
    case ORV_FAMILY_TIMES_STD: merge_times(m, 5); break;
    case ORV_FAMILY_VALUE_COUNT: merge_value_count(m); break;
    default: merge_single(m); break;
  }
}

}  // namespace

void merge_packet(const GroupPlan &plan, const TSDB_INFO *g, Vector_list *v, const double *f,
                  MergeWindow w) {
  for (size_t gi = 0; gi < plan.graphs.size(); ++gi) {
    const GraphPlan &gp = plan.graphs[gi];
    if (!gp.count) continue;
    int first = gp.first + gp.count - gp.type->elements;
    merge_graph({v->data + first, &v->sample_count[gi], f + gp.first,
                 gp.has_formula ? g->graph_formula_type + first : nullptr, gp.type, w});
  }
}

}  // namespace vzu_sample

using namespace vzu_sample;

/* Merges graph g_idx's decoded elements freq_data into vector vec_idx;
 * ele_idx is the graph's last element. Opening (sample_reset_flag) clears the
 * window, closing (migrate_flag) turns it into the merged, converted values. */
void agg_sample_value_based_on_graph_type(TSDB_INFO *tsdb_info, double *freq_data, int vec_idx,
                                          int ele_idx, int g_idx, int migrate_flag,
                                          int sample_reset_flag, int /*packet_count_to_merge*/) {
  const orv_data_type_t *t = type_of(tsdb_info->tsdb_metric_ptr[g_idx].data_type);
  Vector_list *v = &tsdb_info->vector_list_ptr[vec_idx];
  int first = ele_idx - (t->elements - 1);
  merge_graph({v->data + first, &v->sample_count[g_idx], freq_data,
               tsdb_info->graph_formula_type + first, t,
               merge_window(migrate_flag, sample_reset_flag)});
}
