/*
 * interval_values.h - how a reader presents one stored sample of a graph.
 *
 * The store keeps what the raw packets hold: an interval in which no
 * transaction finished has a count of 0 and an average, minimum and maximum
 * of 0 beside it. Those zeros are no response times; charted or averaged as
 * they are, they pull every mean towards 0. So every reader (export, push,
 * a migration to an engine, compare, the report) shows the roles that
 * describe the counted events as absent when the interval's count is 0,
 * and keeps the count itself. The stored data stays as written.
 */
#ifndef ORVTSDB_INTERVAL_VALUES_H
#define ORVTSDB_INTERVAL_VALUES_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "orvtsdb.h"
#include "orvtsdb_data_types.h"

namespace orvtsdb {

/* The role holding the number of events of the interval in a graph of data
 * type `data_type` (times: 3, value and count: 1), or -1 when it has none. */
inline int count_role_of(int data_type) {
  const orv_data_type_t *d = orv_data_type(data_type);
  if (!d) return -1;
  if (d->family == ORV_FAMILY_TIMES || d->family == ORV_FAMILY_TIMES_STD) return 3;
  if (d->family == ORV_FAMILY_VALUE_COUNT) return 1;
  return -1;
}

/* Whether a reader shows a role of a stored sample as absent, for a reader
 * that knows the graph's count role (count_role_of, -1: none) and has the
 * role's value and the interval's count at hand. True for the missing
 * marker, and for every role but the count of an interval whose count is 0. */
inline bool reads_as_absent(int count_role, int role, double value, double count) {
  const double missing = TSDB_MISSING_VALUE;
  if (std::memcmp(&value, &missing, sizeof missing) == 0) return true;
  return count_role >= 0 && role != count_role && count == 0;
}

/* The same for role `role` of `sample`, which holds every role of a graph
 * of type data_type at one time stamp. */
inline bool reads_as_absent(int data_type, int role, const double *sample) {
  int c = count_role_of(data_type);
  return reads_as_absent(c, role, sample[role], c >= 0 ? sample[c] : 0);
}

/* The usual distance of a series' time stamps in time order (its sampling
 * interval): the median step, at least 1. */
inline int64_t usual_step(const std::vector<int64_t> &times) {
  std::vector<int64_t> d;
  for (size_t i = 1; i < times.size(); i++) d.push_back(times[i] - times[i - 1]);
  if (d.empty()) return 1;
  std::nth_element(d.begin(), d.begin() + (long)d.size() / 2, d.end());
  return std::max<int64_t>(1, d[d.size() / 2]);
}

/* The seconds that n samples stamped first .. last cover: each sample
 * covers the interval after its stamp, so the span of the stamps and one
 * mean step more; `lone_step` for a single sample (0 when unknown). */
inline double covered_seconds(int64_t first, int64_t last, size_t n, int64_t lone_step) {
  if (n < 2) return n ? (double)lone_step : 0;
  return (double)(last - first) * (double)n / (double)(n - 1);
}

}  // namespace orvtsdb

#endif
