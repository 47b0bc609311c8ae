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
      double v;
      if (!m.value(o, sample.data(), &v)) continue;
      if (!sink.sample(o, c.start + i * c.step, v, err)) return false;
    }
  }
  return true;
}

}  // namespace orvtsdb
