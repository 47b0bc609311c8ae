/*
 * sample_merge.h - merging packets into one store sample when the sampling
 * interval is not a store granularity: each graph's decoded elements go
 * through the merge rule of its data type family, which keeps running sums,
 * extremes and counts in the vector's `data` and `sample_count` between the
 * packets of a window (MergeWindow says where a packet stands in it).
 */
#ifndef SAMPLE_MERGE_H
#define SAMPLE_MERGE_H

#include "decode_plan.h"
#include "vira_zedazad_uvoz_izu.h"

namespace vzu_sample {

/* Merges one packet's decoded elements `f` (every element of the block, in
 * element order) into vector v of the group g that `plan` describes, graph by
 * graph. A closing packet leaves the merged, converted values in v->data. */
void merge_packet(const GroupPlan &plan, const TSDB_INFO *g, Vector_list *v, const double *f,
                  MergeWindow w);

}  // namespace vzu_sample

#endif /* SAMPLE_MERGE_H */
