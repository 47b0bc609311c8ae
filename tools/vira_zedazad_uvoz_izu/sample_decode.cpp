/*
 * sample_decode.cpp - turns one vector's block of a raw sample packet into the
 * values handed to the store, and merges packets into one store sample when
 * the sampling interval is not a store granularity.
 *
 * An element travels: stored width -> double (reserved integers become the
 * missing-value marker) -> the graph's formula -> the data type's scale.
 * The marker passes the formula and scale steps unchanged, so a missing
 * sample reaches the store as exactly the marker. In merge mode each graph's
 * decoded elements go through the merge rule of its data type family, which
 * keeps running sums, extremes and counts in the vector's `data` and
 * `sample_count` between packets.
 *
 * Speed: this is the tool's hot path. Per group a plan (the graph walk, the
 * elements that have a formula, the graphs that have a scale) is built once
 * per raw sample file while the writer has the file open
 * (sample_decode_begin_file .. _end_file); calls outside that span plan on
 * the fly. A vector is then decoded in one flat widening pass (a plain copy
 * for an all-double block) followed by only those fix-ups; the results equal
 * the element-by-element order. Dump records and traces are a separate pass,
 * taken only when dumping or level-2 tracing is on. Single-threaded.
 */
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "orvtsdb_data_types.h"
#include "rtg_packet.h"
#include "vira_zedazad_uvoz_izu.h"

namespace {

constexpr double kMissing = TSDB_MISSING_VALUE;
constexpr unsigned kTrace2Mask = 0x0000FF00u;

/* What a graph of an unknown data type is treated as: one plain value. */
constexpr orv_data_type_t kPlainType = {"", nullptr, 1, 8, 0, ORV_FAMILY_SINGLE};

/* Two lanes of packed arithmetic (each lane rounds as the scalar operation
 * does, so the results are the same bits). */
typedef double Pair __attribute__((vector_size(16)));

/* One graph of a group: where its elements start and what its type is. */
struct GraphPlan {
  const orv_data_type_t *type; /* never null */
  int first;                   /* element index of the graph's first element */
  int count;                   /* elements of the graph (num_elements) */
  bool has_formula;            /* a merged value of the graph has a formula */
};

/* An element whose formula changes its value. */
struct FormulaFix {
  int e;
  int formula;
};

/* An element divided by its data type's scale (every element of a scaled
 * graph but the count). */
struct ScaleFix {
  int e;
  double scale;
};

/* Consecutive elements of one stored width. */
struct WidthRun {
  int width;
  int count;
};

/* How one group's vectors are decoded: a flat widening pass over the block,
 * then only the elements with a formula and the graphs with a scale. `valid`
 * is false when the group's arrays do not describe a consistent layout; such
 * a group's vectors get nothing. */
struct GroupPlan {
  unsigned epoch = 0;
  bool valid = false;
  bool all_doubles = false;   /* every element is 8 bytes: the block is copied */
  std::vector<WidthRun> runs; /* the block as runs of one width, in order */
  std::vector<GraphPlan> graphs;
  std::vector<FormulaFix> formulas;
  std::vector<ScaleFix> scales;
};

struct PlanCache {
  TSDB_INFO *table = nullptr; /* the group table of the open file, or null */
  int count = 0;
  unsigned epoch = 1;
  std::vector<GroupPlan> plans;
  GroupPlan scratch; /* plans made outside an open file */
};

PlanCache s_cache;

const orv_data_type_t *type_of(int data_type) {
  const orv_data_type_t *t = orv_data_type(data_type);
  return t ? t : &kPlainType;
}

/* Position of the count element inside a graph of `family`, -1 for none. */
int count_position(int family) {
  switch (family) {
    case ORV_FAMILY_TIMES:
    case ORV_FAMILY_TIMES_STD: return 3;
    case ORV_FAMILY_VALUE_COUNT: return 1;
    default: return -1;
  }
}

/* A formula that changes a value. */
bool has_formula(int formula) { return formula == FORMULA_KBPS || formula == FORMULA_DBH; }

/* Fills `plan` from the group's arrays and checks that every element lies in
 * `data`, in the formula table and in the vector's block. */
void build_fixes(const TSDB_INFO *g, GroupPlan *plan) {
  plan->all_doubles = true;
  for (int e = 0; e < g->total_elements; ++e) {
    int f = g->graph_formula_type[e];
    if (has_formula(f)) plan->formulas.push_back({e, f});
    int w = g->elements_size[e];
    if (w != 8) plan->all_doubles = false;
    if (!plan->runs.empty() && plan->runs.back().width == w)
      ++plan->runs.back().count;
    else
      plan->runs.push_back({w, 1});
  }
  for (GraphPlan &gp : plan->graphs) {
    int merged_first = gp.first + gp.count - gp.type->elements;
    for (int e = merged_first; e < gp.first + gp.count; ++e)
      if (e >= 0 && has_formula(g->graph_formula_type[e])) gp.has_formula = true;
  }
  for (const GraphPlan &gp : plan->graphs) {
    if (!gp.type->scale || !gp.count) continue;
    int skip = count_position(gp.type->family);
    for (int i = 0; i < gp.type->elements; ++i)
      if (i != skip) plan->scales.push_back({gp.first + i, static_cast<double>(gp.type->scale)});
  }
}

void build_plan(const TSDB_INFO *g, GroupPlan *plan) {
  plan->graphs.clear();
  plan->formulas.clear();
  plan->scales.clear();
  plan->runs.clear();
  plan->valid = false;
  int first = 0;
  long long bytes = 0;
  for (int gi = 0; gi < g->total_graph_entries; ++gi) {
    const orv_data_type_t *t = type_of(g->tsdb_metric_ptr[gi].data_type);
    int n = g->num_elements ? g->num_elements[gi] : 0;
    if (n < 0 || (n != t->elements && t != &kPlainType)) return;
    for (int e = first; e < first + n && e < g->total_elements; ++e) {
      if (g->elements_size[e] < 1) return;
      bytes += g->elements_size[e];
    }
    plan->graphs.push_back({t, first, n, false});
    first += n;
  }
  plan->valid = first == g->total_elements && first <= MAX_ELEMENTS_PER_VECTOR &&
                bytes <= g->total_elements_size;
  if (plan->valid) build_fixes(g, plan);
}

const GroupPlan &plan_for(const TSDB_INFO *g) {
  PlanCache &c = s_cache;
  if (c.table && g >= c.table && g < c.table + c.count) {
    GroupPlan &p = c.plans[g - c.table];
    if (p.epoch != c.epoch) {
      build_plan(g, &p);
      p.epoch = c.epoch;
    }
    return p;
  }
  build_plan(g, &c.scratch);
  return c.scratch;
}

/* Start of a vector's block in the file data, or -1 when the block of
 * `block` bytes at start_index + rtg_idx does not lie within `size` bytes. */
long long block_position(int start_index, long rtg_idx, int block, int size) {
  long long p = static_cast<long long>(start_index) + rtg_idx;
  return (p >= 0 && p + block <= size) ? p : -1;
}

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

/* The scale step on the listed elements of d, two divisions at a time (a
 * packed division rounds each quotient as a single one does); the marker
 * stays the marker. */
void unscale_elements(double *d, const std::vector<ScaleFix> &fixes) {
  const ScaleFix *s = fixes.data();
  size_t n = fixes.size(), i = 0;
  const Pair missing = {kMissing, kMissing};
  for (; i + 2 <= n; i += 2) {
    Pair x = {d[s[i].e], d[s[i + 1].e]};
    Pair q = x / Pair{s[i].scale, s[i + 1].scale};
    Pair r = x == missing ? x : q;
    d[s[i].e] = r[0];
    d[s[i + 1].e] = r[1];
  }
  if (i < n && d[s[i].e] != kMissing) d[s[i].e] /= s[i].scale;
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

void set_missing(double *d, int n) {
  for (int i = 0; i < n; ++i) d[i] = kMissing;
}

/* Merge rules, inlined into the per-graph loop of a merged packet (the hot
 * path): the Merge fields stay in registers. `d` is the graph's first element in data, `f` the packet's
 * decoded elements, `fm` the graph's formulas (null when it has none). A window whose values sum to
 * zero (or hold no valid count) is stored as missing. */
struct Merge {
  double *d;
  int *count;
  const double *f;
  const int *fm;
  const orv_data_type_t *t;
  MergeWindow w;
};

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

[[gnu::always_inline]] inline void merge_cumulative(const Merge &m) {
  if (m.w.open) m.d[0] = m.f[0];
  if (m.f[0] != kMissing) {
    m.d[0] = m.f[0];
    if (m.fm) apply_formula(m.fm[0], &m.d[0]);
  }
}

/* Avg, min, max and count at a..a+3 of d; f holds the packet's avg, min, max,
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

/* One vector of one packet being decoded. */
struct Job {
  TSDB_INFO *g;
  Vector_list *v;
  const char *file_data;
  long long pos; /* byte position of the vector's block in the file data */
  int start_index, rtg_size;
  long long packet_size;
  const char *rtg_file;
  MergeWindow w;
};

char s_dump_buf[1 << 20];

/* One record of the sample dump file for element e holding `value`. */
void dump_record(const Job &j, int e, double value) {
  int n = snprintf(s_dump_buf, sizeof s_dump_buf, "%s|%s|%s|%ld|%lf|%lld|%d|%d|%d|%d\n\n",
                   j.rtg_file, j.g->tsdb_group_data_ptr->group_name, j.v->vector_name, j.v->rtg_idx,
                   value, j.packet_size, j.rtg_size, j.start_index, j.g->total_elements,
                   j.g->elements_size[e]);
  if (n > static_cast<int>(sizeof s_dump_buf) - 1) n = sizeof s_dump_buf - 1;
  if (n > 0 && write(g_rtg_data_fd, s_dump_buf, n) < 0) {
    /* a lost dump record does not stop the migration */
  }
}

/* The widening trace of one element, named after its stored width. */
void trace_widened(double value, int e, int width) {
  switch (width) {
    case 1: TRACE2("Char type [%lf], with ele_idx =  [%d]", value, e); break;
    case 2: TRACE2("short type [%lf], with ele_idx =  [%d]", value, e); break;
    case 4: TRACE2("int type [%lf], with ele_idx =  [%d]", value, e); break;
    default: TRACE2("double type [%lf], with ele_idx =  [%d]", value, e); break;
  }
}

/* Dump record and traces of an element of width-aware decoding. */
void report_widened(const Job &j, int gi, int e, double value) {
  trace_widened(value, e, j.g->elements_size[e]);
  if (dump_data_flag) dump_record(j, e, j.v->data[e]);
  TRACE2("TOTAL ELEMENTS =  %d  for Group Name %s", j.g->total_elements,
         j.g->tsdb_group_data_ptr->group_name);
  TRACE2("else case | Group Name %s Graph Name %s Vector Name %s Data[%d] %lf",
         j.g->tsdb_group_data_ptr->group_name, j.g->tsdb_metric_ptr[gi].graph_name,
         j.v->vector_name, e, j.v->data[e]);
}

/* Dump record and trace of an element of direct decoding at byte `at`. */
void report_direct(const Job &j, int gi, int e, long long at) {
  if (dump_data_flag) dump_record(j, e, j.v->data[e]);
  if (g_debug_level > 1)
    TRACE2(
        "Data[%d] = [%lf] for vector name [%s] for Group Name [%s] Graph name [%s] Rtg "
        "Index [%d]\n for rtg file %s",
        e, j.v->data[e], j.v->vector_name, j.g->tsdb_group_data_ptr->group_name,
        j.g->tsdb_metric_ptr[gi].graph_name, static_cast<int>(at), j.rtg_file);
}

enum class Report { kNone, kWidened, kDirect };

/* Dump records and traces of every element of the block, in element order. */
void report_block(const Job &j, const GroupPlan &plan, Report kind) {
  long long at = j.pos;
  for (size_t gi = 0; gi < plan.graphs.size(); ++gi) {
    const GraphPlan &gp = plan.graphs[gi];
    for (int e = gp.first; e < gp.first + gp.count; ++e) {
      int w = j.g->elements_size[e];
      if (kind == Report::kDirect)
        report_direct(j, static_cast<int>(gi), e, at);
      else
        report_widened(j, static_cast<int>(gi), e, rtg_widen(j.file_data + at, w));
      at += w;
    }
  }
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

/* The n elements of one width at p widened into out. */
void widen_run(const char *p, int width, int n, double *out) {
  switch (width) {
    case 1: widen_ints<int8_t, RTG_MISSING_I8>(p, n, out); break;
    case 2: widen_ints<int16_t, RTG_MISSING_I16>(p, n, out); break;
    case 4: widen_ints<int32_t, RTG_MISSING_I32>(p, n, out); break;
    case 8: memcpy(out, p, sizeof(double) * n); break;
    default:
      for (int i = 0; i < n; ++i) out[i] = rtg_widen(p + static_cast<long>(width) * i, width);
  }
}

/* Every element of the vector's block widened into out, in element order:
 * one loop per run of equal widths, not a width test per element. */
void widen_block(const Job &j, const GroupPlan &plan, double *out) {
  const char *p = j.file_data + j.pos;
  if (plan.all_doubles) {
    memcpy(out, p, sizeof(double) * j.g->total_elements);
    return;
  }
  for (const WidthRun &r : plan.runs) {
    widen_run(p, r.width, r.count, out);
    p += static_cast<long>(r.width) * r.count;
    out += r.count;
  }
}

/* Unchanged frequency: every element goes to data with its formula, then
 * each graph loses its scale. */
void decode_unchanged(const Job &j, const GroupPlan &plan, Report report) {
  double *d = j.v->data;
  widen_block(j, plan, d);
  for (const FormulaFix &f : plan.formulas) apply_formula(f.formula, &d[f.e]);
  if (report != Report::kNone) report_block(j, plan, report);
  unscale_elements(d, plan.scales);
}

double s_packet_values[MAX_ELEMENTS_PER_VECTOR];

/* Merge mode: the packet's elements are widened aside and merged graph by
 * graph into data. */
void decode_merged(const Job &j, const GroupPlan &plan, Report report) {
  double *f = s_packet_values;
  widen_block(j, plan, f);
  if (report != Report::kNone) report_block(j, plan, report);
  for (size_t gi = 0; gi < plan.graphs.size(); ++gi) {
    const GraphPlan &gp = plan.graphs[gi];
    if (!gp.count) continue;
    int first = gp.first + gp.count - gp.type->elements;
    merge_graph({j.v->data + first, &j.v->sample_count[gi], f + gp.first,
                 gp.has_formula ? j.g->graph_formula_type + first : nullptr, gp.type, j.w});
  }
}

bool reporting(void) { return dump_data_flag || (sd_log_tracing_level & kTrace2Mask); }

/* Checks shared by both decoders; fills j.pos. Returns 0 to go on, else the
 * decoder's result. */
int prepare_job(Job *j, const GroupPlan &plan, const char *data) {
  j->pos = block_position(j->start_index, j->v->rtg_idx, j->g->total_elements_size, j->rtg_size);
  if (j->pos < 0 || !plan.valid) return -2;
  if (!data) return j->g->total_elements > 0 ? -1 : 1;
  return 0;
}

}  // namespace

void sample_decode_begin_file(TSDB_INFO *table, int count) {
  PlanCache &c = s_cache;
  c.table = table;
  c.count = count > 0 ? count : 0;
  if (c.plans.size() < static_cast<size_t>(c.count)) c.plans.resize(c.count);
  ++c.epoch;
}

void sample_decode_end_file(void) {
  s_cache.table = nullptr;
  s_cache.count = 0;
  ++s_cache.epoch;
}

/* Width-aware decoding of vector vec_idx of the packet at start_index (see the
 * header). Returns 0, -1 when rtg_memory_data is NULL, -2 when the vector's
 * block does not lie within the rtg_size bytes of data (or the group's layout
 * is inconsistent): then the vector gets nothing from this packet. */
int get_type_cast_and_send_to_tsdb(TSDB_INFO *tsdb_info, long /*rtg_idx*/, int start_index,
                                   int vec_idx, char *rtg_memory_data, int rtg_size,
                                   long long packet_size, char *rtg_file, int frequency_changed,
                                   int /*packet_count_to_merge*/, int migrate_flag,
                                   int sample_reset_flag) {
  const GroupPlan &plan = plan_for(tsdb_info);
  Job j{tsdb_info,
        &tsdb_info->vector_list_ptr[vec_idx],
        rtg_memory_data,
        0,
        start_index,
        rtg_size,
        packet_size,
        rtg_file,
        merge_window(migrate_flag, sample_reset_flag)};
  int rc = prepare_job(&j, plan, rtg_memory_data);
  if (rc) return rc < 0 ? rc : 0;
  Report report = reporting() ? Report::kWidened : Report::kNone;
  if (frequency_changed)
    decode_merged(j, plan, report);
  else
    decode_unchanged(j, plan, report);
  return 0;
}

/* Direct decoding of an all-double group at unchanged frequency: as the
 * width-aware path, with its own traces. Same results. */
int decode_double_vector(TSDB_INFO *tsdb_info, int vec_idx, int start_index, char *rtg_memory_data,
                         int rtg_size, long long packet_size, char *rtg_file) {
  const GroupPlan &plan = plan_for(tsdb_info);
  Job j{tsdb_info,       &tsdb_info->vector_list_ptr[vec_idx],
        rtg_memory_data, 0,
        start_index,     rtg_size,
        packet_size,     rtg_file,
        {false, true}};
  int rc = prepare_job(&j, plan, rtg_memory_data);
  if (rc) return rc < 0 ? rc : 0;
  decode_unchanged(j, plan, reporting() ? Report::kDirect : Report::kNone);
  return 0;
}

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

/* Divides the scale of data_type out of the graph whose last element is
 * ele_idx; counts and missing values are left as they are. */
void revert_data_type_changes_done_in_rtg(TSDB_INFO *tsdb_info, int data_type, int vec_idx,
                                          int ele_idx) {
  const orv_data_type_t *t = type_of(data_type);
  unscale(tsdb_info->vector_list_ptr[vec_idx].data + ele_idx - (t->elements - 1), t);
}

/* Applies `formula` to element ele_idx of vector vec_idx in place ("KBPS":
 * bytes to kilobits per second at g_frequency, "DBH": / 100, others none);
 * the missing-value marker is left alone. counter and num_elements_in_graph
 * do not matter. */
void handle_formula_type(int formula, TSDB_INFO *tsdb_info, int vec_idx, int ele_idx,
                         int /*counter*/, int /*num_elements_in_graph*/) {
  apply_formula(formula, &tsdb_info->vector_list_ptr[vec_idx].data[ele_idx]);
}
