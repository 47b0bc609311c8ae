/*
 * sample_dump.h - what the decoders tell about the elements they decode:
 * the records of the sample dump file (-g) and the level-2 trace records.
 * Both are a separate pass over a decoded block, taken only when dumping or
 * level-2 tracing is on, so the decoding itself stays one flat pass.
 */
#ifndef SAMPLE_DUMP_H
#define SAMPLE_DUMP_H

#include "decode_plan.h"
#include "vira_zedazad_uvoz_izu.h"

namespace vzu_sample {

/* One vector's block of one packet, as a dump record names it. */
struct VectorBlock {
  const TSDB_INFO *g;
  const Vector_list *v;
  const char *file_data;
  long long pos; /* byte position of the vector's block in the file data */
  int start_index, rtg_size;
  long long packet_size;
  const char *rtg_file;
};

/* Which decoder's traces a block gets: width-aware or direct decoding. */
enum class Report { kNone, kWidened, kDirect };

/* True when a decoded block is to be reported (dumping or level-2 tracing);
 * asked once per vector, so it is inline. */
inline bool sample_reporting(void) {
  return dump_data_flag || (sd_log_tracing_level & 0x0000FF00u);
}

/* Dump records and traces of every element of the block, in element order;
 * a dump record shows the value v->data holds for the element now. */
void report_block(const VectorBlock &b, const GroupPlan &plan, Report kind);

}  // namespace vzu_sample

#endif /* SAMPLE_DUMP_H */
