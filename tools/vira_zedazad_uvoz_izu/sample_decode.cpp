/*
 * sample_decode.cpp - turns one vector's block of a raw sample packet into the
 * values handed to the store: the two decoders the packet walk calls.
 *
 * A vector is decoded in one flat widening pass over its block (a plain copy
 * for an all-double block) following its group's plan (decode_plan.cpp),
 * then only the fix-ups the plan lists: formulas and scales at unchanged
 * frequency (sample_convert.h), the merge rules in merge mode
 * (sample_merge.cpp). The results equal the element-by-element order. Dump
 * records and traces are a separate pass (sample_dump.cpp). This is the
 * tool's hot path. Single-threaded.
 */
#include <string.h>

#include "decode_plan.h"
#include "sample_convert.h"
#include "sample_dump.h"
#include "sample_merge.h"
#include "vira_zedazad_uvoz_izu.h"

using namespace vzu_sample;

namespace {

/* Start of a vector's block in the file data, or -1 when the block of
 * `block` bytes at start_index + rtg_idx does not lie within `size` bytes. */
long long block_position(int start_index, long rtg_idx, int block, int size) {
  long long p, end;
  if (__builtin_add_overflow(static_cast<long long>(start_index), rtg_idx, &p) ||
      __builtin_add_overflow(p, block, &end))
    return -1; /* an index from a vector line at the end of the long range */
  return (p >= 0 && end <= size) ? p : -1;
}

/* Every element of the vector's block widened into out, in element order:
 * one loop per run of equal widths, not a width test per element. */
void widen_block(const VectorBlock &b, const GroupPlan &plan, double *out) {
  const char *p = b.file_data + b.pos;
  if (plan.all_doubles) {
    memcpy(out, p, sizeof(double) * b.g->total_elements);
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
void decode_unchanged(const VectorBlock &b, Vector_list *v, const GroupPlan &plan, Report report) {
  double *d = v->data;
  widen_block(b, plan, d);
  for (const FormulaFix &f : plan.formulas) apply_formula(f.formula, &d[f.e]);
  if (report != Report::kNone) report_block(b, plan, report);
  unscale_elements(d, plan.scales.data(), plan.scales.size());
}

double s_packet_values[MAX_ELEMENTS_PER_VECTOR];

/* Merge mode: the packet's elements are widened aside and merged graph by
 * graph into data. */
void decode_merged(const VectorBlock &b, Vector_list *v, const GroupPlan &plan, Report report,
                   MergeWindow w) {
  widen_block(b, plan, s_packet_values);
  if (report != Report::kNone) report_block(b, plan, report);
  merge_packet(plan, b.g, v, s_packet_values, w);
}

/* The block of vector vec_idx of the packet at start_index, with the checks
 * both decoders share. Returns 0 to go on, else the decoder's result (1:
 * nothing to decode, which the decoder reports as 0). */
int locate_block(VectorBlock *b, const GroupPlan &plan) {
  b->pos = block_position(b->start_index, b->v->rtg_idx, b->g->total_elements_size, b->rtg_size);
  if (b->pos < 0 || !plan.valid) return -2;
  if (!b->file_data) return b->g->total_elements > 0 ? -1 : 1;
  return 0;
}

}  // namespace

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
  Vector_list *v = &tsdb_info->vector_list_ptr[vec_idx];
  VectorBlock b{tsdb_info, v, rtg_memory_data, 0, start_index, rtg_size, packet_size, rtg_file};
  int rc = locate_block(&b, plan);
  if (rc) return rc < 0 ? rc : 0;
  Report report = sample_reporting() ? Report::kWidened : Report::kNone;
  if (frequency_changed)
    decode_merged(b, v, plan, report, merge_window(migrate_flag, sample_reset_flag));
  else
    decode_unchanged(b, v, plan, report);
  return 0;
}

/* Direct decoding of an all-double group at unchanged frequency: as the
 * width-aware path, with its own traces. Same results. */
int decode_double_vector(TSDB_INFO *tsdb_info, int vec_idx, int start_index, char *rtg_memory_data,
                         int rtg_size, long long packet_size, char *rtg_file) {
  const GroupPlan &plan = plan_for(tsdb_info);
  Vector_list *v = &tsdb_info->vector_list_ptr[vec_idx];
  VectorBlock b{tsdb_info, v, rtg_memory_data, 0, start_index, rtg_size, packet_size, rtg_file};
  int rc = locate_block(&b, plan);
  if (rc) return rc < 0 ? rc : 0;
  decode_unchanged(b, v, plan, sample_reporting() ? Report::kDirect : Report::kNone);
  return 0;
}
