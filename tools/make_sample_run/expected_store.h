/*
 * expected_store.h - what the store must hold after the tool migrated a
 * planned sample run, computed from the raw values the generator wrote,
 * without any code of the tool or the store.
 *
 * The model follows the migration as the tool is meant to do it: the store's
 * sample clock (start at the first partition's packet 0, one step per closing
 * packet, a step per lost sequence number and per lost interval between
 * files), stored widths widened with reserved values as missing, formulas and
 * scale factors, merge windows per data type family when the interval is not
 * a store granularity, a vector's first insert per partition, the generator
 * rule, and the last values a deleted vector flushes before it ends.
 *
 * Rows go to a sink as they are made, so a large run needs no memory for them.
 */
#ifndef MAKE_SAMPLE_RUN_EXPECTED_STORE_H
#define MAKE_SAMPLE_RUN_EXPECTED_STORE_H

#include <cstdint>
#include <functional>
#include <string>

#include "sample_plan.h"

namespace sample_run {

/* The missing-value marker of the store interface (-2^63). */
constexpr double MISSING = -9223372036854775808.0;

/* One value of one graph role of one series at one store time. */
struct ExpectedRow {
  int64_t time;
  const std::string *group;
  const std::string *labels; /* "customer=Default,application=Default,..." */
  const std::string *graph;  /* the name the tool registers */
  const char *role;          /* role name of the data type family */
  double value;              /* MISSING for a missing sample */
};

struct ExpectedTotals {
  int64_t inserts = 0;       /* the tool's total_sample */
  int64_t store_inserts = 0; /* inserts that reach the store, flushes included */
  int64_t flushes = 0;       /* last values of deleted vectors */
  int64_t left_out = 0;      /* generator vectors the tool left out */
  int64_t missing_steps = 0; /* the tool's total_missing_sample */
  int64_t rows = 0;          /* rows given to the sink, flushes included */
  int64_t missing_rows = 0;  /* of those, missing values */
  int64_t series = 0;        /* distinct series written */
  int64_t start_time = 0, end_time = 0;
};

using RowSink = std::function<void(const ExpectedRow &)>;

/* Runs the model over partitions first..last (indexes into plan.partitions)
 * as one migration; include_generators models the tool's -G. */
ExpectedTotals expect_migration(const RunPlan &plan, int first, int last, bool include_generators,
                                const RowSink &sink);

}  // namespace sample_run

#endif
