/*
 * engine_readback.h - whether an engine holds what was sent to it.
 *
 * An engine answers a write before the samples are durable: killed a few
 * seconds later it loses samples it accepted. So after sending, the
 * senders (`orvtsdb push --verify`, a migration to a URL with
 * ORVTSDB_REMOTE_VERIFY=1) ask the engine's query API how many samples each
 * series holds in the time span that was sent, after asking it to flush
 * where it offers that, and name every series that holds fewer.
 */
#ifndef ORVTSDB_ENGINE_READBACK_H
#define ORVTSDB_ENGINE_READBACK_H

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "remote_write_client.h"

namespace orvtsdb {

/* What was sent of one engine series: samples and their time span (s). */
struct SentSeries {
  int64_t count = 0;
  int64_t first = std::numeric_limits<int64_t>::max();
  int64_t last = std::numeric_limits<int64_t>::min();
  void add(int64_t t) {
    count++;
    if (t < first) first = t;
    if (t > last) last = t;
  }
};

/* By full label set ("__name__" included). */
using SentSamples = std::map<PromLabels, SentSeries>;

/* A series the engine holds fewer samples of than were sent. */
struct Shortfall {
  std::string series;  // name{label="value",...}
  SentSeries sent;
  int64_t held = 0;
};

/* The engine's query API beside the write URL of `opt` (".../api/v1/write"
 * gives ".../api/v1/query"): one count_over_time query per metric name and
 * run over the span sent. false with a reason in err when the engine cannot
 * be asked; else the series short of what was sent in *shortfalls. */
bool read_back(const RemoteWriteOptions &opt, const SentSamples &sent,
               std::vector<Shortfall> *shortfalls, std::string &err);

/* read_back as a yes or no: false with a reason in err that counts the
 * series short and names the first of them. */
bool verify_sent(const RemoteWriteOptions &opt, const SentSamples &sent, std::string &err);

}  // namespace orvtsdb

#endif
