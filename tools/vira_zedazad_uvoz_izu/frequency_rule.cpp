/*
 * frequency_rule.cpp - maps a version's sampling interval onto one of the
 * store's granularities: an interval that is a granularity is stored as is;
 * any other is merged, so many packets make one sample of the next larger
 * granularity. Called by the definition reader at every Info line.
 * Single thread.
 */
#include "vira_zedazad_uvoz_izu.h"

int g_frequency = -1;
int g_prev_frequency = -1;
int g_progress_interval = -1;

namespace {

/* The store's granularities in seconds, ascending. */
const int kGranularities[] = {1, 10, 60, 600, 3600, 14400, 86400};

bool is_granularity(int seconds) {
  for (int g : kGranularities)
    if (g == seconds) return true;
  return false;
}

/* The smallest granularity above `seconds` (above 1 s), 0 when none. */
int next_granularity(int seconds) {
  for (int g : kGranularities)
    if (g > 1 && seconds < g) return g;
  return 0;
}

}  // namespace

void calculate_packet_count_to_merge(int freq, int *frequency_changed, int *packet_count_to_merge) {
  int s = freq / 1000;
  if (s <= 0) return; /* callers refuse such intervals; nothing to merge by */
  if (is_granularity(s)) {
    *packet_count_to_merge = 1;
    *frequency_changed = 0;
    g_frequency = s;
    return;
  }
  int g = next_granularity(s);
  if (g == 0) return; /* above one day: nothing changes */
  *packet_count_to_merge = g / s;
  *frequency_changed = 1;
  g_frequency = g;
}
