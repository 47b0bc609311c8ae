/*
 * migration_loop.cpp - the body of the tool after the command line: builds
 * the partition table, prepares the destination run, takes the run's start
 * time from the first raw sample file and opens the store's migration with
 * it, then walks the selected partitions in ascending order, version by
 * version, printing each partition's totals, and hands over to the finish.
 *
 * A data version n of a partition is the pair testrun.gdf / rtgMessage.dat
 * (n = 0) or testrun.gdf.diff.<n> / rtgMessage.dat.<n>; only complete pairs
 * are migrated. g_start_partition_index runs one position ahead of the
 * partition being migrated (the destination setup advances it once before
 * the loop), so check_for_next_partition starts the finish right after the
 * last partition of the range.
 *
 * When the first partition has no usable rtgMessage.dat the start time is
 * skipped and the store's migration is not opened here; the store copes with
 * that on its first call.
 */
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "orvtsdb.h"
#include "vira_zedazad_uvoz_izu.h"

long test_start_time = -1;
long test_end_time = -1;
NormObjKey g_group_hash;
int partition_switch_flag = 0;
int flat = 1;
long long no_of_sample_inserted_in_par = 0;
long long total_sample = 0;
long long total_missing_sample = 0;
int g_prev_seq_no = 0;
int g_curr_seq_no = 0;
int g_tsdb_register_group = 0;
int g_tsdb_subject_register = 0;

namespace {

constexpr int RUN_DIR_LEN = 2048;

/* Reads exactly len bytes from the start of fd; returns the count read
 * (less than len only at end of file or on an error). */
long read_prefix(int fd, char *buf, long len) {
  long got = 0;
  while (got < len) {
    ssize_t n = pread(fd, buf + got, static_cast<size_t>(len - got), got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  return got;
}

/* The first packet's time stamp (ms since the epoch) in whole seconds; false
 * when it is not a number a 64-bit count can hold. */
bool header_seconds(const char *header, long *seconds) {
  double ms;
  memcpy(&ms, header + RTG_HDR_TS_OFF, sizeof ms);
  if (!isfinite(ms) || fabs(ms) >= 9.2e18) return false;
  *seconds = static_cast<long>(static_cast<long long>(ms) / 1000);
  return true;
}

/* Start time: the packet header of the first partition's rtgMessage.dat.
 * Only the header is read, never the whole file. Returns false (after a
 * level-1 trace saying why) when the file holds no complete header. */
bool read_start_time(int fd, const char *path, long *seconds) {
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size < RTG_HDR_LEN) {
    TRACE1("Start time not taken: %s holds %lld bytes, less than one packet header (%d bytes)\n",
           path, static_cast<long long>(st.st_size), RTG_HDR_LEN);
    return false;
  }
  char header[RTG_HDR_LEN];
  long got = read_prefix(fd, header, RTG_HDR_LEN);
  if (got < RTG_HDR_LEN) {
    close(fd);
    vzu_fatal(stdout, "File is partitially read %ld  and fd %d", got, fd);
  }
  if (!header_seconds(header, seconds)) {
    TRACE1("Start time not taken: the first packet of %s carries no valid time stamp\n", path);
    return false;
  }
  return true;
}

/* Tells the store where the destination run lives, unless the caller did. */
void export_store_run_dir(void) {
  char run_dir[RUN_DIR_LEN];
  snprintf(run_dir, sizeof run_dir, "%s/logs/TR%d", tw_wdir, g_dest_testrun);
  setenv("ORVTSDB_RUN_DIR", run_dir, 0);
}

/* Opens the store's migration at the first partition's start time; skipped
 * when that partition has no usable rtgMessage.dat. */
void open_store_migration(const partition_struct *first) {
  char path[RUN_DIR_LEN];
  snprintf(path, sizeof path, "%s/rtgMessage.dat", first->partition_idx);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  long seconds = 0;
  if (read_start_time(fd, path, &seconds)) {
    TRACE1("First partition start time = %ld\n", seconds);
    // A store that cannot be opened or locked ends the run here (the store
    // has said why): going on would only fail every insert.
    if (tsdb_init_migration(seconds) < 0) {
      close(fd);
      reset_test_start_time();
      vzu_fatal(stderr, "%s | Cannot start the migration of TR%d: the store refused it\n",
                g_test_start_time, g_dest_testrun);
    }
    test_start_time = seconds;
  }
  close(fd);
}

bool file_exists(const char *path) {
  struct stat st;
  return stat(path, &st) == 0;
}

/* Paths of data version n of a partition; false when they do not fit. */
bool version_paths(const char *partition, int n, char *gdf, char *rtg) {
  int g, r;
  if (n == 0) {
    g = snprintf(gdf, TW_PATH_LEN, "%s/testrun.gdf", partition);
    r = snprintf(rtg, TW_PATH_LEN, "%s/rtgMessage.dat", partition);
  } else {
    g = snprintf(gdf, TW_PATH_LEN, "%s/testrun.gdf.diff.%d", partition, n);
    r = snprintf(rtg, TW_PATH_LEN, "%s/rtgMessage.dat.%d", partition, n);
  }
  return g < TW_PATH_LEN && r < TW_PATH_LEN;
}

void add_version(partition_struct *row, const char *gdf, const char *rtg) {
  int v;
  create_table_entry_t(&v, &row->testrun_gdf_count, &row->max_testrun_gdf_count,
                       &row->gdf_struct_arr, "Group Data");
  tr_gdf_struct *version = &row->gdf_struct_arr[v];
  memset(version, 0, sizeof *version);
  snprintf(version->rtg_path, sizeof version->rtg_path, "%s", rtg);
  snprintf(version->testrun_gdf_path, sizeof version->testrun_gdf_path, "%s", gdf);
}

void print_partition_totals(const partition_struct *row) {
  vzu_print(stdout,
            "In partition [%s] total no of sample inserted is [%lld], total number of missing "
            "sample so far is [%lld], total number of sample inserted so far is [%lld]\n",
            row->partition_idx, no_of_sample_inserted_in_par, total_missing_sample,
            total_sample);
  no_of_sample_inserted_in_par = 0;
}

/* Migrates partition `idx` of the table: its versions in order, then its
 * totals; ends in check_for_next_partition, which may finish the run. */
void migrate_partition(partition_struct *table, int idx, char *src_dir) {
  partition_struct *row = &table[idx];
  int num_rtg = get_no_of_rtg(row->partition_idx);
  get_next_version(table, idx, src_dir, num_rtg);
  if (partition_switch_flag == 1) create_partition_dir(tw_wdir, 1, row->gdf_struct_arr);
  free_vector_list_struct();
  flat = 1;
  for (int j = 0; j < row->rtg_count; j++)
    read_testrun_gdf_diff_rtg_file(&row->gdf_struct_arr[j], tw_wdir, row);
  print_partition_totals(row);
  check_for_next_partition(row);
  free(row->gdf_struct_arr);
  row->gdf_struct_arr = NULL;
  partition_switch_flag = 1;
}

}  // namespace

void run_migration(void) {
  char src_dir[RUN_DIR_LEN];
  snprintf(src_dir, sizeof src_dir, "%s/logs/TR%d", tw_wdir, g_testrun);
  export_store_run_dir();
  int count = 0;
  partition_struct *table = NULL;
  make_partition_list(g_start_partition_idx, g_end_partition_idx, src_dir, &count, &table);
  create_partition_dir(tw_wdir, 0, NULL);
  if (count == 0) {
    TRACE1("ERROR: No Partition list found in TR%d, Hence exitting ...\n", g_testrun);
    vzu_fatal(stderr, "%s", "");
  }
  if (dump_data_flag) open_rtg_dump_file(tw_wdir);
  open_store_migration(&table[0]);
  twlb_init_norm_id_table_ex(&g_group_hash, GROUP_HASH_SIZE);
  for (int i = 0; i < count; i++) migrate_partition(table, i, src_dir);
  tr_migrate_exit();
}

int get_next_version(partition_struct *partition_arr_struct, int idx, char *testrun_dir,
                     int num_rtg) {
  (void)testrun_dir;
  partition_struct *row = &partition_arr_struct[idx];
  char gdf[TW_PATH_LEN];
  char rtg[TW_PATH_LEN];
  for (int n = 0;; n++) {
    bool fits = version_paths(row->partition_idx, n, gdf, rtg);
    if (fits && file_exists(gdf) && file_exists(rtg))
      add_version(row, gdf, rtg);
    else if (n >= num_rtg)
      break;
  }
  row->rtg_count = row->testrun_gdf_count;
  row->max_rtg_count = row->max_testrun_gdf_count;
  return 0;
}

void check_for_next_partition(partition_struct *ptr) {
  if (g_end_partition_index < g_start_partition_index) {
    TRACE1("Here Start parititon index %d end Partion index %d\n", g_start_partition_index,
           g_end_partition_index);
    TRACE1("No Partition list found in TR%d, Hence exitting ...\n", g_testrun);
    tr_migrate_exit();
  }
  g_start_partition_index += 1;
  g_prev_seq_no = 0;
  g_curr_seq_no = 0;
  TRACE1("Here Start parititon index %d end Partion index %d\n", g_start_partition_index,
         g_end_partition_index);
  TRACE1("Here source parition idx %s , total register gdf %d, total subject register %d\n",
         ptr->partition_idx, g_tsdb_register_group, g_tsdb_subject_register);
}
