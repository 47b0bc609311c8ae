/*
 * bounded_store.cpp - the store as the fuzz harnesses see it: the tests'
 * no-op double (linked in), with its sample clock wrapped (-Wl,--wrap) to
 * count the clock's steps per input. An input of a few kilobytes stands for
 * a few hundred samples; a tool that steps the clock 65536 times (18 hours
 * of one-second samples) for one is walking a gap no file could hold, so the
 * harness reports it at once (abort, with the tool's stack) instead of
 * waiting for a timeout. With VZU_FUZZ_TOLERATE_CLOCK=1 in the environment
 * such an input is dropped as if refused, so a campaign can look past a walk
 * already reported.
 */
#include <sanitizer/common_interface_defs.h>
#include <stdlib.h>

#include "harness_support.h"

namespace {

constexpr long kMaxClockSteps = 65536;
long g_clock_steps = 0;

void count_clock_step(void) {
  if (++g_clock_steps <= kMaxClockSteps) return;
  static const bool tolerate = getenv("VZU_FUZZ_TOLERATE_CLOCK") != nullptr;
  if (tolerate) vzu_fuzz::drop_input();
  /* The sanitizers' report stream stays open when the fuzzer closes stderr. */
  __sanitizer_report_error_summary(
      "store double: the sample clock stepped more than 65536 times for one input");
  abort();
}

}  // namespace

namespace vzu_fuzz {
void store_double_new_input(void) { g_clock_steps = 0; }
}  // namespace vzu_fuzz

extern "C" {

int __real_tsdb_migration_increment_sample_ex(int granularity);

int __wrap_tsdb_migration_increment_sample_ex(int granularity) {
  count_clock_step();
  return __real_tsdb_migration_increment_sample_ex(granularity);
}

}  // extern "C"
