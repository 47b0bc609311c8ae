/*
 * sample_dump.cpp - the dump records and trace records of decoded blocks
 * (sample_dump.h). A lost dump record does not stop the migration.
 */
#include "sample_dump.h"

#include <stdio.h>
#include <unistd.h>

namespace vzu_sample {
namespace {

char s_dump_buf[1 << 20];

/* One record of the sample dump file for element e holding `value`. */
void dump_record(const VectorBlock &b, int e, double value) {
  int n = snprintf(s_dump_buf, sizeof s_dump_buf, "%s|%s|%s|%ld|%lf|%lld|%d|%d|%d|%d\n\n",
                   b.rtg_file, b.g->tsdb_group_data_ptr->group_name, b.v->vector_name, b.v->rtg_idx,
                   value, b.packet_size, b.rtg_size, b.start_index, b.g->total_elements,
                   b.g->elements_size[e]);
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
void report_widened(const VectorBlock &b, int gi, int e, double value) {
  trace_widened(value, e, b.g->elements_size[e]);
  if (dump_data_flag) dump_record(b, e, b.v->data[e]);
  TRACE2("TOTAL ELEMENTS =  %d  for Group Name %s", b.g->total_elements,
         b.g->tsdb_group_data_ptr->group_name);
  TRACE2("else case | Group Name %s Graph Name %s Vector Name %s Data[%d] %lf",
         b.g->tsdb_group_data_ptr->group_name, b.g->tsdb_metric_ptr[gi].graph_name,
         b.v->vector_name, e, b.v->data[e]);
}

/* Dump record and trace of an element of direct decoding at byte `at`. */
void report_direct(const VectorBlock &b, int gi, int e, long long at) {
  if (dump_data_flag) dump_record(b, e, b.v->data[e]);
  if (g_debug_level > 1)
    TRACE2(
        "Data[%d] = [%lf] for vector name [%s] for Group Name [%s] Graph name [%s] Rtg "
        "Index [%d]\n for rtg file %s",
        e, b.v->data[e], b.v->vector_name, b.g->tsdb_group_data_ptr->group_name,
        b.g->tsdb_metric_ptr[gi].graph_name, static_cast<int>(at), b.rtg_file);
}

}  // namespace

void report_block(const VectorBlock &b, const GroupPlan &plan, Report kind) {
  long long at = b.pos;
  for (size_t gi = 0; gi < plan.graphs.size(); ++gi) {
    const GraphPlan &gp = plan.graphs[gi];
    for (int e = gp.first; e < gp.first + gp.count; ++e) {
      int w = b.g->elements_size[e];
      if (kind == Report::kDirect)
        report_direct(b, static_cast<int>(gi), e, at);
      else if (kind == Report::kWidened)
        report_widened(b, static_cast<int>(gi), e, rtg_widen(b.file_data + at, w));
      at += w;
    }
  }
}

}  // namespace vzu_sample
