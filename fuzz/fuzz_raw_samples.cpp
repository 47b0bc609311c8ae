/*
 * fuzz_raw_samples.cpp - libFuzzer harness of the raw sample path: the input
 * is a partition's raw sample files, decoded against the fixture's graph
 * definitions (five groups covering every data type, formula, vector lists,
 * a remapped, a built-in and a generator group) exactly as a migration reads
 * them, with the store double behind.
 *
 * Input: four control bytes, then the raw data.
 *   byte 0  bits 0-2: sampling interval of the Info lines (the table below:
 *           store granularities, and intervals that are merged);
 *           bit 3: the partition is the run's second: the fixture's own
 *           partition (testrun.gdf with rtgMessage.dat) is migrated first,
 *           and the vector tables are rebuilt between the two as at every
 *           partition switch;
 *           bit 4: two versions: testrun.gdf with rtgMessage.dat, then
 *           testrun.gdf.diff.1 with rtgMessage.dat.1.
 *           bits 5-7 (v): when not 0, the store refuses every (v+1)-th
 *           registration, insert and delete.
 *   byte 1  packet size of the Info lines: below 128 the fixture's own,
 *           else 48 + 13 * (byte - 128).
 *   bytes 2-3  with two versions, the length of rtgMessage.dat
 *           (little-endian); the rest is rtgMessage.dat.1.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <string_view>

#include "harness_support.h"
#include "vira_zedazad_uvoz_izu.h"

namespace {

constexpr size_t kControlBytes = 4;
const int kIntervalsMs[8] = {1000, 10000, 5000, 2000, 60000, 45000, 3000, 7000};

std::string g_gdf[2]; /* the fixture's testrun.gdf and testrun.gdf.diff.1 */
std::string g_raw;    /* the fixture's rtgMessage.dat */
long g_fixture_packet_size = 0;

/* `gdf` with fields 5 (packet size) and 6 (interval) of its Info line (its
 * first line) replaced. */
std::string with_info(const std::string &gdf, long packet_size, int interval_ms) {
  size_t eol = gdf.find('\n');
  std::string info = gdf.substr(0, eol);
  size_t start = 0;
  for (int i = 0; i < 5; ++i) start = info.find('|', start) + 1;
  size_t end = info.find('|', info.find('|', start) + 1);
  info.replace(start, end - start, std::to_string(packet_size) + "|" + std::to_string(interval_ms));
  return info + gdf.substr(eol);
}

/* Writes version n and reads it; false when the tool refused it. */
bool migrate_version(int n, const std::string &gdf, std::string_view raw,
                     partition_struct *partition) {
  const std::string &dir = vzu_fuzz::scratch_dir();
  tr_gdf_struct files{};
  snprintf(files.testrun_gdf_path, sizeof files.testrun_gdf_path, "%s/testrun.gdf%s", dir.c_str(),
           n ? ".diff.1" : "");
  snprintf(files.rtg_path, sizeof files.rtg_path, "%s/rtgMessage.dat%s", dir.c_str(),
           n ? ".1" : "");
  vzu_fuzz::write_input_file(files.testrun_gdf_path, gdf.data(), gdf.size());
  vzu_fuzz::write_input_file(files.rtg_path, raw.data(), raw.size());
  return vzu_fuzz::read_version(&files, partition);
}

/* What a migration does between two partitions: vectors are dropped and
 * listed again, sequence numbers restart, the time gap is checked. */
void start_next_partition(void) {
  free_vector_list_struct();
  flat = 1;
  g_prev_seq_no = g_curr_seq_no = 0;
  partition_switch_flag = 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  vzu_fuzz::init_harness();
  g_gdf[0] = vzu_fuzz::read_fixture("testrun.gdf");
  g_gdf[1] = vzu_fuzz::read_fixture("testrun.gdf.diff.1");
  g_raw = vzu_fuzz::read_fixture("rtgMessage.dat");
  size_t field = 0;
  for (int i = 0; i < 5; ++i) field = g_gdf[0].find('|', field) + 1;
  g_fixture_packet_size = strtol(g_gdf[0].c_str() + field, NULL, 10);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kControlBytes) return 0;
  const uint8_t control = data[0], size_byte = data[1];
  const int interval = kIntervalsMs[control & 7];
  const bool later_partition = control & 8, two_versions = control & 16;
  std::string_view raw(reinterpret_cast<const char *>(data) + kControlBytes, size - kControlBytes);
  size_t first_len = two_versions ? data[2] | (data[3] << 8) : raw.size();
  if (first_len > raw.size()) first_len = raw.size();

  const int refusal = control >> 5;
  vzu_fuzz::store_double_refuse_every(refusal ? refusal + 1 : 0);

  partition_struct partition{};
  snprintf(partition.partition_idx, sizeof partition.partition_idx, "%s",
           vzu_fuzz::scratch_dir().c_str());
  if (later_partition) {
    if (!migrate_version(0, g_gdf[0], g_raw, &partition)) abort(); /* the fixture is valid */
    start_next_partition();
  }
  for (int n = 0; n < (two_versions ? 2 : 1); ++n) {
    long packet_size = size_byte < 128 ? g_fixture_packet_size : 48 + 13 * (size_byte - 128);
    std::string gdf = with_info(g_gdf[n], packet_size, interval);
    std::string_view part = n ? raw.substr(first_len) : raw.substr(0, first_len);
    if (!migrate_version(n, gdf, part, &partition)) break;
  }
  vzu_fuzz::reset_tool_state();
  return 0;
}
