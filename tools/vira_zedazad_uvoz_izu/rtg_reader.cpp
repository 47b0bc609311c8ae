/*
 * rtg_reader.cpp - reads a raw sample file: opens it (regular files only),
 * measures it in whole packets and hands it to the packet walk
 * (packet_walk.cpp), which reads it whole (rtg_file_block.cpp); and counts
 * the raw sample file versions of a partition directory. The packet layout is rtg_packet.h's.
 *
 * A raw sample file that cannot be opened is skipped, as before, but named
 * on standard error with the reason; one that is not a regular file (a
 * folder, a FIFO, a device) is refused, since reading it would block or
 * read nothing. The walk keeps file size and offsets in 32-bit ints, so
 * files of 2 GiB or more are skipped with a message. Single thread.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rtg_packet.h"
#include "twlb_util.h"
#include "vira_zedazad_uvoz_izu.h"

namespace {

void skip_message(const char *path, const char *reason) {
  reset_test_start_time();
  vzu_print(stderr, " %s | Raw sample file '%s' skipped: %s\n", g_test_start_time, path, reason);
}

}  // namespace

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
                   partition_struct *ptr, int frequency_changed, int packet_count_to_merge) {
  char *path = gdf_struct_arr->rtg_path;
  if (packet_size < RTG_HDR_LEN) return; /* the definition reader refuses these first */
  const char *why = "";
  int fd = open_regular_file(path, &why);
  if (fd == -2) refuse_input_file("Raw sample file", path, why);
  if (fd < 0) return skip_message(path, why);
  long long total_pkts = 0, file_size = 0;
  get_total_pkt(path, packet_size, &total_pkts, &file_size);
  if (file_size > INT_MAX)
    skip_message(path, "files of 2 GiB or more are not supported");
  else if (file_size != packet_size)
    write_data_in_tsdb(tsdb_info, path, static_cast<int>(total_pkts), fd, packet_size,
                       static_cast<int>(file_size), tw_wdir, ptr, frequency_changed,
                       packet_count_to_merge);
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
