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
 * When the first partition has no rtgMessage.dat the start time is skipped
 * and the store's migration is not opened here; the store copes with that on
 * its first call. A first rtgMessage.dat that is not a regular file, is
 * shorter than one packet header, or whose packet-0 time stamp converts to
 * no 64-bit count of milliseconds (NaN, infinite), is refused: it gives no
 * start time.
 */
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "orvtsdb.h"
#include "rtg_packet.h"
#include "twlb_util.h"
#include "vira_zedazad_uvoz_izu.h"

/* The loop's globals; what each holds is told in the shared header. */
long test_start_time = -1, test_end_time = -1;
NormObjKey g_group_hash;
int partition_switch_flag = 0;
int flat = 1;
long long no_of_sample_inserted_in_par = 0, total_sample = 0, total_missing_sample = 0;
int g_prev_seq_no = 0, g_curr_seq_no = 0;
int g_tsdb_register_group = 0, g_tsdb_subject_register = 0;
int total_versions_read = 0, partitions_without_samples = 0;

namespace {

constexpr int RUN_DIR_LEN = 2048;

/* Ends the process: the first raw sample file gives no start time, and
 * without one every sample would land at the epoch. */
[[noreturn]] void refuse_start_time(const char *path, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

void refuse_start_time(const char *path, const char *format, ...) {
  char cause[256];
  va_list ap;
  va_start(ap, format);
  vsnprintf(cause, sizeof cause, format, ap);
  va_end(ap);
  reset_test_start_time();
  TRACE1("Start time not taken from %s: %s\n", path, cause);
  vzu_fatal(stderr,
            " %s | Raw sample file '%s' refused at packet 0: %s; it gives the run's start time\n",
            g_test_start_time, path, cause);
}

/* Start time: the header of packet 0 of the first partition's
 * rtgMessage.dat, in whole seconds. Only the header is read. */
long read_start_time(int fd, const char *path) {
  char header[RTG_HDR_LEN];
  ssize_t got = pread(fd, header, RTG_HDR_LEN, 0);
  if (got < 0) refuse_start_time(path, "%s", twlb_strerror(errno));
  if (got < RTG_HDR_LEN)
    refuse_start_time(path, "it holds %ld bytes, less than one packet header (%d bytes)",
                      static_cast<long>(got), RTG_HDR_LEN);
  double ms = rtg_read_header(header).ts_ms;
  if (!rtg_ts_convertible(ms))
    refuse_start_time(path, "time stamp %g ms is no count of milliseconds", ms);
  return rtg_ts_to_sec(ms);
}

/* Tells the store where the destination run lives. A value the caller's
 * environment already held is replaced: it names another run, whose store
 * and run id this run's samples would otherwise take over. */
void export_store_run_dir(void) {
  char run_dir[RUN_DIR_LEN];
  snprintf(run_dir, sizeof run_dir, "%s/logs/TR%d", tw_wdir, g_dest_testrun);
  setenv("ORVTSDB_RUN_DIR", run_dir, 1);
}

/* Opens the store's migration at the first partition's start time; skipped
 * (with a message when the file is there) when that partition's
 * rtgMessage.dat is missing or cannot be opened: the store then opens at its
 * first call and says so. A file that opens but gives no start time is
 * refused. */
void open_store_migration(const partition_struct *first) {
  char path[RUN_DIR_LEN];
  snprintf(path, sizeof path, "%s/rtgMessage.dat", first->partition_idx);
  struct stat st;
  if (lstat(path, &st) != 0) return; /* no first raw sample file */
  const char *why = "";
  int fd = open_regular_file(path, &why);
  if (fd == -2) refuse_start_time(path, "%s", why);
  if (fd < 0) {
    reset_test_start_time();
    vzu_print(stderr, " %s | Start time not taken: unable to open '%s'. Error = %s\n",
              g_test_start_time, path, why);
    return;
  }
  long seconds = read_start_time(fd, path);
  close(fd);
  TRACE1("First partition start time = %ld\n", seconds);
  // A store that cannot be opened or locked ends the run here (the store
  // has said why): going on would only fail every insert.
  if (tsdb_init_migration(seconds) < 0) {
    reset_test_start_time();
    vzu_fatal(stderr, "%s | Cannot start the migration of TR%d: the store refused it\n",
              g_test_start_time, g_dest_testrun);
  }
  test_start_time = seconds;
}

/* Whether a version's file is there. A name that is there but cannot be
 * followed (a broken or looping link), or that cannot be looked at (a
 * partition folder without read permission), counts as missing, as for
 * stat, and is named on standard error. */
bool file_exists(const char *path) {
  struct stat st;
  if (stat(path, &st) == 0) return true;
  int err = errno;
  if (err != ENOENT || lstat(path, &st) == 0) {
    reset_test_start_time();
    vzu_print(stderr, " %s | '%s' skipped: %s\n", g_test_start_time, path, twlb_strerror(err));
  }
  return false;
}

/* A version of which one file is there and the other is not is passed over
 * (its pair is what makes a version): say which, rather than lose it
 * silently. */
void name_version_without_pair(const char *partition, int n, const char *there,
                               const char *missing) {
  reset_test_start_time();
  vzu_print(stderr, " %s | Version %d of partition '%s' skipped: '%s' has no '%s' beside it\n",
            g_test_start_time, n, partition, there, missing);
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

/* A partition whose graph definitions have no raw sample file of the same
 * version gives nothing to migrate: say so rather than pass it over. */
void name_partition_without_samples(const partition_struct *row) {
  ++partitions_without_samples;
  reset_test_start_time();
  vzu_print(stderr,
            " %s | Partition '%s' has graph definitions but no raw sample file "
            "(rtgMessage.dat): nothing of it is migrated\n",
            g_test_start_time, row->partition_idx);
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
            row->partition_idx, no_of_sample_inserted_in_par, total_missing_sample, total_sample);
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
  for (int j = 0; j < row->rtg_count; j++) {
    read_testrun_gdf_diff_rtg_file(&row->gdf_struct_arr[j], tw_wdir, row);
    ++total_versions_read;
  }
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
    vzu_fatal(stderr, "ERROR: No Partition list found in TR%d, Hence exitting ...\n", g_testrun);
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
  bool definitions_only = false;
  std::vector<std::pair<int, bool>> lone;  // versions of which one file is there: which
  for (int n = 0;; n++) {
    bool paths = version_paths(row->partition_idx, n, gdf, rtg);
    bool has_gdf = paths && file_exists(gdf);
    bool has_rtg = paths && file_exists(rtg);
    if (has_gdf && has_rtg) {
      add_version(row, gdf, rtg);
      continue;
    }
    definitions_only = definitions_only || has_gdf;
    if (has_gdf != has_rtg) lone.emplace_back(n, has_gdf);
    if (n >= num_rtg) break;
  }
  if (row->testrun_gdf_count == 0 && definitions_only) {
    name_partition_without_samples(row);
  } else {
    for (auto [n, has_gdf] : lone) {
      version_paths(row->partition_idx, n, gdf, rtg);
      name_version_without_pair(row->partition_idx, n, has_gdf ? gdf : rtg, has_gdf ? rtg : gdf);
    }
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
