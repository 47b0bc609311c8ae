/*
 * engine_samples.cpp - a decoded chunk as engine samples (see
 * engine_samples.h).
 */
#include "engine_samples.h"

namespace orvtsdb {

bool chunk_samples(EngineSeriesSet &s, const DecodedChunk &c, EngineSampleSink &sink,
                   std::string &err) {
  const GraphMapping &m = s.mapping;
  std::vector<double> sample(c.roles);
  for (size_t o = 0; o < m.outputs.size(); o++) {
    if (m.outputs[o].role >= c.roles || m.count_role >= c.roles || !sink.begin(o)) continue;
    for (int i = 0; i < c.count; i++) {
      for (int r = 0; r < c.roles; r++) sample[r] = c.values[(size_t)r * c.count + i];
      int64_t times[2];
      double values[2];
      int n = m.samples(o, sample.data(), c.start + i * c.step, c.step, s.totals, times, values);
      for (int k = 0; k < n; k++)
        if (!sink.sample(o, times[k], values[k], err)) return false;
    }
  }
  return true;
}

}  // namespace orvtsdb
