/*
 * decode_plan.cpp - builds and caches the per-group decode plans of
 * decode_plan.h. A plan is checked as it is built: every element must lie
 * in the group's arrays, in the formula table and in the vector's block, so
 * the decoders can walk a valid plan without further bounds tests.
 */
#include "decode_plan.h"

namespace vzu_sample {
namespace {

struct PlanCache {
  TSDB_INFO *table = nullptr; /* the group table of the open file, or null */
  int count = 0;
  unsigned epoch = 1;
  std::vector<GroupPlan> plans;
  GroupPlan scratch; /* plans made outside an open file */
};

PlanCache s_cache;

/* The width runs, the formula fixes and the scale fixes of a plan whose
 * graph walk is in place and consistent. */
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

}  // namespace

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

}  // namespace vzu_sample

void sample_decode_begin_file(TSDB_INFO *table, int count) {
  vzu_sample::PlanCache &c = vzu_sample::s_cache;
  c.table = table;
  c.count = count > 0 ? count : 0;
  if (c.plans.size() < static_cast<size_t>(c.count)) c.plans.resize(c.count);
  ++c.epoch;
}

void sample_decode_end_file(void) {
  vzu_sample::PlanCache &c = vzu_sample::s_cache;
  c.table = nullptr;
  c.count = 0;
  ++c.epoch;
}
