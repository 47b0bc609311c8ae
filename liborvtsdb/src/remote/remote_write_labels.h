/*
 * remote_write_labels.h - how a stored series becomes engine series: metric
 * name and labels for one role of one graph of a series of a run.
 *
 *   __name__  "<group>_<graph>" with every character outside [a-zA-Z0-9_:]
 *             turned into "_" (and "_" in front of a leading digit): the
 *             family name of `orvtsdb export --format openmetrics`
 *   group, graph   the original group and graph names
 *   role      the element role ("avg", "min", ...) when the graph has more
 *             than one
 *   <tag>     one label per tag of the vector, its value unchanged; the name
 *             sanitised like the metric name without ":", "l" put in front of
 *             a leading "__", "_" appended while it clashes with a label above
 *   series    the series' identity text in the store ("tag=value,..."), which
 *             keeps the original tag names and order
 *   run_id    16 hex digits, a hash of the run's identity (its directory):
 *             the same for every push and migration of that run
 *   testrun   the test run number when the run directory is ".../TR<n>"
 * A label with an empty value is left out, as the engines treat it as absent.
 * Labels are sorted by name, as the protocol asks.
 */
#ifndef ORVTSDB_REMOTE_WRITE_LABELS_H
#define ORVTSDB_REMOTE_WRITE_LABELS_H

#include <string>

#include "remote_write_client.h"
#include "store_backend.h"

namespace orvtsdb {

/* A Prometheus name of s: every character outside [a-zA-Z0-9_] (and ':'
 * when `colon`, as metric names allow) made '_', and '_' put in front of a
 * leading digit or of an empty name. The OpenMetrics export names the same
 * way, so both give one engine the same series. */
std::string sanitise(const std::string &s, bool colon);

/* The labels every series of one run carries. */
struct RunLabels {
  std::string run_id, testrun;
};

/* run_id: 16 hex digits hashed from the run's identity key (the same for
 * every push and migration of the run, wherever its folder is); testrun: n
 * when the run's folder is .../TR<n>, else empty. */
RunLabels run_labels(const std::string &run_identity, const std::string &run_dir);

/* The label sets of every role of one graph of a series (index = role);
 * `key` is the series' identity text in the store. */
std::vector<PromLabels> engine_labels(const std::string &group, const std::string &graph,
                                      int data_type, const std::string &key, const TagList &tags,
                                      const RunLabels &run);

}  // namespace orvtsdb

#endif
