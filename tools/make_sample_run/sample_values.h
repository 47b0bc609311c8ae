/*
 * sample_values.h - the raw values of a sample run: what every element of
 * every graph of every vector holds in the packet of a given sequence number,
 * as stored (integers already multiplied by the data type's scale), and how
 * they are laid into packet bytes.
 *
 * Values are a pure function of (seed, group, vector name, graph, sequence
 * number): a vector keeps its value pattern wherever it sits in the packet
 * and whichever partition it is in. The pattern is a slow load wave with
 * noise, per data type family shaped like the real thing (response times
 * with min <= avg <= max and a count, counters that only grow, percentages).
 * About one graph sample in 200 of the integer types is missing (all its
 * elements hold the width's reserved value).
 *
 * With a noise seed, the per-sample noise (load jitter, the spread of a
 * response time, intervals without transactions) comes from that seed and is
 * autocorrelated along the sequence numbers like real per-second samples: a
 * Gaussian process with lag-one correlation 0.9 mapped to uniform noise.
 * Slowdowns multiply the response times of one transaction from a sequence
 * number on (see Slowdown in sample_plan.h).
 */
#ifndef MAKE_SAMPLE_RUN_SAMPLE_VALUES_H
#define MAKE_SAMPLE_RUN_SAMPLE_VALUES_H

#include <cstdint>
#include <string>

#include "orvtsdb_data_types.h"
#include "sample_plan.h"

namespace sample_run {

/* One stored element: the stored number (an integer for widths 1, 2, 4), or
 * missing (the width's reserved value). */
struct RawElem {
  double v = 0;
  bool missing = false;
};

/* A stable key of a vector's value pattern. */
uint64_t vector_key(uint64_t seed, int group, const std::string &listed_name);

/* Fills out[0 .. elements-1] with graph `graph` of group `group` for the
 * vector `vkey` in the packet of sequence number `seq`. */
void raw_graph_values(const RunPlan &plan, int group, int graph, uint64_t vkey, int64_t seq,
                      RawElem out[ORV_MAX_ELEMENTS_PER_GRAPH]);

/* Width in bytes of element `e` of data type `type` in a packet. */
int element_width(int type, int e);
/* Bytes of all elements of one graph of data type `type` in a packet. */
int graph_width(int type);

/* Writes one element of width 1, 2, 4 (signed little-endian integer, reserved
 * value when missing) or 8 (double) at dst. */
void encode_element(unsigned char *dst, int width, const RawElem &x);

}  // namespace sample_run

#endif
