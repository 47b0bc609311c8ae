/*
 * bounded_store.cpp - the store as the fuzz harnesses see it: the tests'
 * no-op double (linked in), with its sample clock wrapped (-Wl,--wrap) to
 * count the clock's steps per input. An input of a few kilobytes stands for
 * a few hundred samples. The tool lets one gap hold at most 31 days of
 * missing samples (2,678,400 one-second steps); a tool that steps the clock
 * more than twice that for one input is walking gaps no file could hold, so
 * the harness reports it at once (abort, with the tool's stack) instead of
 * waiting for a timeout. With VZU_FUZZ_TOLERATE_CLOCK=1 in the environment
 * such an input is dropped as if refused, so a campaign can look past a walk
 * already reported.
 *
 * On request the store also refuses every n-th registration, insert and
 * delete (wrapped the same way), so the tool's paths for a store that says no
 * are fuzzed too.
 */
#include <sanitizer/common_interface_defs.h>
#include <stdio.h>
#include <stdlib.h>

#include "harness_support.h"
#include "orvtsdb.h"

namespace {

constexpr long kMaxClockSteps = 2L * 31 * 86400;
long g_clock_steps = 0;
int g_refuse_every = 0; /* 0: the store accepts every call */
long g_store_calls = 0;

bool refuse_call(char *err) {
  if (g_refuse_every <= 0 || ++g_store_calls % g_refuse_every != 0) return false;
  if (err) snprintf(err, TSDB_ERR_MSG_LEN, "refused by the fuzz store double");
  return true;
}

void count_clock_step(void) {
  if (++g_clock_steps <= kMaxClockSteps) return;
  static const bool tolerate = getenv("VZU_FUZZ_TOLERATE_CLOCK") != nullptr;
  if (tolerate) vzu_fuzz::drop_input();
  /* The sanitizers' report stream stays open when the fuzzer closes stderr. */
  __sanitizer_report_error_summary(
      "store double: the sample clock stepped more than 5356800 times for one input");
  abort();
}

}  // namespace

namespace vzu_fuzz {
void store_double_new_input(void) {
  g_clock_steps = 0;
  g_refuse_every = 0;
  g_store_calls = 0;
}

void store_double_refuse_every(int n) { g_refuse_every = n; }
}  // namespace vzu_fuzz

extern "C" {

int __real_tsdb_migration_increment_sample_ex(int granularity);
int __real_tsdb_register_gdf(tsdb_metric_group *, int, tsdb_metric_info *, char *);
int __real_tsdb_insert_bulk_metric_by_mg_gid_ex(tag_val_ptr_t *, void *, void *, int, int, int, int,
                                                double *, int, void *, int, char *, int);
int __real_tsdb_insert_bulk_metric_by_id(void *, void *, int, double *, int, int, int);
unsigned char __real_tsdb_delete_metric_by_id(void *, char *);

int __wrap_tsdb_migration_increment_sample_ex(int granularity) {
  count_clock_step();
  return __real_tsdb_migration_increment_sample_ex(granularity);
}

int __wrap_tsdb_register_gdf(tsdb_metric_group *group, int num_graphs, tsdb_metric_info *graphs,
                             char *err) {
  if (refuse_call(err)) return -1;
  return __real_tsdb_register_gdf(group, num_graphs, graphs, err);
}

int __wrap_tsdb_insert_bulk_metric_by_mg_gid_ex(tag_val_ptr_t *tags, void *a, void *b, int c,
                                                int num_tags, int mg_gid, int granularity,
                                                double *data, int num_graphs, void *metric_id,
                                                int d, char *err, int num_elements) {
  if (refuse_call(err)) return -1;
  return __real_tsdb_insert_bulk_metric_by_mg_gid_ex(tags, a, b, c, num_tags, mg_gid, granularity,
                                                     data, num_graphs, metric_id, d, err,
                                                     num_elements);
}

int __wrap_tsdb_insert_bulk_metric_by_id(void *a, void *metric_id, int granularity, double *data,
                                         int num_graphs, int b, int num_elements) {
  if (refuse_call(nullptr)) return -1;
  return __real_tsdb_insert_bulk_metric_by_id(a, metric_id, granularity, data, num_graphs, b,
                                              num_elements);
}

unsigned char __wrap_tsdb_delete_metric_by_id(void *metric_id, char *err) {
  if (refuse_call(err)) return 1;
  return __real_tsdb_delete_metric_by_id(metric_id, err);
}

}  // extern "C"
