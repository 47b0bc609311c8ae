/*
 * engine_samples.h - the engine samples of one decoded chunk: the one loop
 * that turns a stored series' values into what goes to an engine, used by
 * `orvtsdb push` and by the remote-write backend of a migration.
 */
#ifndef ORVTSDB_ENGINE_SAMPLES_H
#define ORVTSDB_ENGINE_SAMPLES_H

#include <cstdint>
#include <string>
#include <vector>

#include "engine_mapping.h"

namespace orvtsdb {

/* One stored series' graph of one run as engine series: its mapping and
 * the label set of every output, made once and fed its chunks in time
 * order. */
struct EngineSeriesSet {
  GraphMapping mapping;
  std::vector<PromLabels> labels;  // per output
  RunningTotals totals;            // of its counters so far
};

/* Where the samples of a chunk go. */
class EngineSampleSink {
 public:
  virtual ~EngineSampleSink() = default;
  /* Whether output o of the set is wanted; called before its samples. */
  virtual bool begin(size_t o) = 0;
  /* One sample of output o at time t (seconds, the store's); false stops
   * with a reason in err. */
  virtual bool sample(size_t o, int64_t t, double value, std::string &err) = 0;
};

/* A decoded chunk: `count` samples of `roles` roles, role r's values at
 * values[r * count ...], the first at `start`, one every `step` seconds. */
struct DecodedChunk {
  const double *values = nullptr;
  int count = 0, roles = 0;
  int64_t start = 0, step = 0;
};

/* Gives `sink` the engine samples of chunk c of set s, output by output,
 * each in time order (GraphMapping::samples: counters summed on from the
 * set's earlier chunks); outputs whose roles the chunk lacks are left out,
 * and so are absent values (missing samples, and the gauges of an interval
 * without events). Chunks must come in time order, from the series' first.
 * false with the sink's reason. */
bool chunk_samples(EngineSeriesSet &s, const DecodedChunk &c, EngineSampleSink &sink,
                   std::string &err);

}  // namespace orvtsdb

#endif
