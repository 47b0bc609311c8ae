/*
 * engine_mapping.h - how a stored graph of a series becomes engine series:
 * the one mapping of `orvtsdb push`, of a migration straight to a
 * remote-write URL and of `orvtsdb export --format openmetrics`, so the
 * three give an engine the same series.
 *
 * It follows the naming practice of Prometheus users:
 *   name      snake_case "<group>_<graph>", the unit the graph names in
 *             parentheses (or as "/Sec") turned into a base-unit suffix:
 *             "(ms)" and "(Secs)" become "_seconds" (values in seconds),
 *             "(KB)" "_bytes", "(Kbps)" "_bytes_per_second", "(Pct)"
 *             "_percent" (0 to 100, as the graph shows it); a single-value
 *             graph whose name ends in "_sum", "_count", "_bucket" or
 *             "_total" gets "_value" appended;
 *   roles     a times graph is separate series "<name>_avg", "_min", "_max",
 *             "_count" and "_sum"; the fifth element of a timesStd graph is
 *             "_spread"; a value-and-count graph is "_avg", "_count" and
 *             "_sum"; any other graph is "<name>" (a cumulative graph too:
 *             its values already run up, so rate() reads it as it is);
 *   counters  "_count" and "_sum" (avg x count of each interval) run up over
 *             the run from 0 one interval before their first sample, as a
 *             summary's do, so rate(x_sum[w]) / rate(x_count[w]) is the
 *             count-weighted mean over w and increase(x_count[w]) the events;
 *             an interval without events adds 0 to them;
 *   absent    avg, min, max, spread of an interval whose count is 0
 *             (interval_values.h), every output of a missing sample, and
 *             a value that is not finite (NaN, an infinity): summed into a
 *             counter it would make every later total of the run NaN;
 *   metadata  "_count" and "_sum" form a summary family "<name>", the
 *             others are gauges; HELP is the
 *             graph's description, trimmed, its units in parentheses named
 *             as the metric names them;
 *   labels    group, graph (the graph's name without a unit the metric name
 *             converts), one per vector tag (name in snake_case; "tag_" in
 *             front of one that would read as a label of the engine's own or
 *             of ours), run_id (a hash of the run's identity), run (the
 *             run's name), run_start and run_folder, so two runs never
 *             merge.
 */
#ifndef ORVTSDB_ENGINE_MAPPING_H
#define ORVTSDB_ENGINE_MAPPING_H

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "interval_values.h"
#include "remote_write_client.h"

namespace orvtsdb {

/* A series' tags and values, in their order (as the backends take them). */
using TagList = std::vector<std::pair<std::string, std::string>>;

/* text in snake_case: lower case, a word break at every run of characters
 * outside [a-zA-Z0-9] and between a lower-case letter and an upper-case one;
 * "_" in front of a leading digit or of an empty result. */
std::string snake_case(const std::string &text);

/* A graph's description as HELP text: whitespace trimmed at both ends, line
 * breaks inside made blanks; "<group> / <graph>" when it is empty. */
std::string help_text(const std::string &group, const std::string &graph,
                      const std::string &description);

/* One engine series of a stored graph: its metric name, the stored role it
 * comes from and how its value is made from a stored sample. */
struct EngineOutput {
  std::string name;  // full metric name ("..._avg")
  int role = 0;      // stored role it reads; for a sum the average
  bool is_sum = false;
  bool is_count = false;
  bool running() const { return is_sum || is_count; }  // summed over the run
};

/* A metric family of the graph, for HELP/TYPE metadata. */
struct EngineFamily {
  std::string name;  // "<name>" for a summary (its "_count" and "_sum")
  FamilyType type = FamilyType::gauge;
  std::string help;
};

/* What the counters of one engine series set have summed so far. */
struct RunningTotals {
  std::vector<double> total;  // per output
  std::vector<char> started;  // per output: its first sample is out
};

/* The engine view of a graph of data type `data_type`. */
struct GraphMapping {
  std::string name;  // "<group>_<graph>" with its unit suffix, no role suffix
  double scale = 1;  // stored value x scale = value in the name's unit
  int data_type = 0;
  int count_role = -1;
  std::vector<EngineOutput> outputs;
  std::vector<EngineFamily> families;

  /* What output o adds at a stored sample (every role of the graph at one
   * time stamp) into *value: a gauge's value, a counter's increment (0 for
   * an interval without events); false when it is absent there, a value
   * that is not finite included. */
  bool value(size_t o, const double *sample, double *value) const;

  /* The engine samples of output o at a stored sample at time t, an
   * interval of `step` after the one before: none, its value, or for a
   * counter's first sample a 0 at t - step before it; counters' totals in
   * `run`. Returns how many, times in times[] and values in values[]. */
  int samples(size_t o, const double *sample, int64_t t, int64_t step, RunningTotals &run,
              int64_t times[2], double values[2]) const;
};

// Inline: the readers call them for every sample of every output.
inline bool GraphMapping::value(size_t o, const double *sample, double *v) const {
  const EngineOutput &out = outputs[o];
  if (out.running()) {
    if (reads_as_absent(data_type, count_role, sample)) return false;  // a missing sample
    if (out.is_count || sample[count_role] == 0) {
      *v = out.is_count ? sample[count_role] : 0;
      return std::isfinite(*v);
    }
  }
  if (reads_as_absent(data_type, out.role, sample)) return false;
  *v = out.is_sum ? sample[out.role] * sample[count_role] * scale : sample[out.role] * scale;
  return std::isfinite(*v);
}

inline int GraphMapping::samples(size_t o, const double *sample, int64_t t, int64_t step,
                                 RunningTotals &run, int64_t times[2], double values[2]) const {
  double v;
  if (!value(o, sample, &v)) return 0;
  if (!outputs[o].running()) {
    times[0] = t, values[0] = v;
    return 1;
  }
  if (run.total.size() != outputs.size())
    run.total.assign(outputs.size(), 0), run.started.assign(outputs.size(), 0);
  int n = 0;
  if (!run.started[o]) {
    // the counter's start, an interval before its first sample: an increase
    // over the run then counts the first interval's events too
    run.started[o] = 1;
    times[n] = t - step, values[n++] = 0;
  }
  run.total[o] += v;
  times[n] = t, values[n++] = run.total[o];
  return n;
}

GraphMapping map_graph(const std::string &group, const std::string &graph,
                       const std::string &description, int data_type);

/* The labels every series of one run carries. */
struct RunLabels {
  std::string run_id, run, run_start, run_folder;
};

/* run_id: 16 hex digits hashed from the run's identity key (the same for
 * every push and migration of the run, wherever its folder is); run: the
 * run's name ("TR<n>", or the folder's name when it is not a run folder);
 * run_start: its start (seconds) in ISO 8601 UTC; run_folder: the work
 * folder of ".../<work folder>/logs/TR<n>". Unknown parts empty. */
RunLabels run_labels(const std::string &run_identity, const std::string &run_dir,
                     int64_t start_time);

/* The labels of one series of one graph, without "__name__", and `extra`
 * (push's --extra-label: a tag's label keeps clear of them as of ours).
 * Sorted by name, empty values left out. */
PromLabels series_labels(const std::string &group, const std::string &graph, const TagList &tags,
                         const RunLabels &run, const PromLabels &extra = {});

/* The prefix of a tag's label that would read as another label. */
constexpr const char *TAG_PREFIX = "tag_";

/* The full label sets (sorted, "__name__" included) of every output of a
 * graph mapping for one series. */
std::vector<PromLabels> output_labels(const GraphMapping &m, const PromLabels &series);

}  // namespace orvtsdb

#endif
