/*
 * decode_plan.h - how one group's vectors are decoded, worked out once per
 * raw sample file instead of once per packet: the graph walk, the runs of
 * equal stored width, the elements that have a formula and the elements that
 * have a scale.
 *
 * Plans are built on first use while the writer has a file open
 * (sample_decode_begin_file .. _end_file) and reused for every packet; the
 * group table must not change in that span. Calls outside it plan on the
 * fly into one scratch plan. Single-threaded.
 */
#ifndef DECODE_PLAN_H
#define DECODE_PLAN_H

#include <vector>

#include "sample_convert.h"
#include "vira_zedazad_uvoz_izu.h"

namespace vzu_sample {

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

/* The plan of group g: the cached one while a file is open and g is a row of
 * its table, else a fresh one that the next call outside a file replaces. */
const GroupPlan &plan_for(const TSDB_INFO *g);

}  // namespace vzu_sample

#endif /* DECODE_PLAN_H */
