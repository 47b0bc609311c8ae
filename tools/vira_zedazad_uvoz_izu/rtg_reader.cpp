/*
 * rtg_reader.cpp - the raw sample file around its packets: the frequency
 * rule that maps a sampling interval onto one of the store's granularities
 * (and how many packets make one stored sample), the opening and measuring of
 * one raw sample file before it is handed to the store writer, and the count
 * of raw sample file versions in a partition directory.
 *
 * Packet layout (little-endian, every packet `packet_size` bytes):
 *   0  double opcode (2 = no samples)      24 double sequence number
 *   40 double time stamp, ms since epoch   then the groups' value blocks
 * The writer keeps file size and offsets in 32-bit ints, so files of 2 GiB
 * or more are refused here. Single thread.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

void calculate_packet_count_to_merge(int freq, int *frequency_changed,
                                     int *packet_count_to_merge) {
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

void get_total_pkt(char *path, long long packet_size, long long *total_pkts,
                   long long *rtg_msg_file_size) {
  struct stat st;
  if (stat(path, &st) != 0) {
    reset_test_start_time();
    vzu_fatal(stderr, " %s | Stat failed to get file size %s\n.", g_test_start_time, path);
  }
  *rtg_msg_file_size = st.st_size;
  *total_pkts = packet_size > 0 ? st.st_size / packet_size : 0;
}

void read_rtg_file(tr_gdf_struct *gdf_struct_arr, int packet_size, char *tw_wdir,
                   partition_struct *ptr, int frequency_changed,
                   int packet_count_to_merge) {
  char *path = gdf_struct_arr->rtg_path;
  if (packet_size < 1) return; /* the definition reader refuses these first */
  int fd = open(path, O_RDONLY);
  if (fd < 0) return;
  long long total_pkts = 0, file_size = 0;
  get_total_pkt(path, packet_size, &total_pkts, &file_size);
  if (file_size > INT_MAX) {
    reset_test_start_time();
    vzu_print(stderr,
              " %s | Raw sample file %s is %lld bytes; files of 2 GiB or more are not "
              "supported, its samples are not migrated\n",
              g_test_start_time, path, file_size);
  } else if (file_size != packet_size) {
    write_data_in_tsdb(tsdb_info, path, static_cast<int>(total_pkts), fd, packet_size,
                       static_cast<int>(file_size), tw_wdir, ptr, frequency_changed,
                       packet_count_to_merge);
  }
  close(fd);
}

int filter_rtg_files(const struct dirent *file_name) {
  return file_name->d_type == DT_REG && strstr(file_name->d_name, "rtgMessage.") != NULL;
}

int get_no_of_rtg(char *rtg_path) {
  struct dirent **list = NULL;
  int n = scandir(rtg_path, &list, filter_rtg_files, NULL);
  for (int i = 0; i < n; ++i) free(list[i]);
  free(list);
  return n / 2 + 1;
}
