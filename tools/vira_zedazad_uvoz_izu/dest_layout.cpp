/*
 * dest_layout.cpp - the destination run's directories: the run directory
 * before the first partition, and at every later partition switch a new
 * partition directory (named after the wall-clock time, with `subjects`).
 *
 * Before making the new directory a switch reconciles the group table with
 * the new partition (reconcile.cpp). The directories are made by the run's
 * own shell commands ("mkdir -p", "mkdir -p -m 777") with the work
 * directory quoted; a command that cannot start ends the process with the
 * directory-creation error, one that fails is only noted on standard error.
 */
#include <stdio.h>

#include "vira_zedazad_uvoz_izu.h"

long long g_partition_idx = -1;
long long g_prev_partition_idx = -1;

namespace {

/* Ends the process with the directory-creation error. */
[[noreturn]] void refuse_partition_dir(long long partition_idx) {
  reset_test_start_time();
  TRACE1("Error in creating parittion %lld\n", partition_idx);
  vzu_fatal(stderr, "%s | Error in creating  destination testrun directory\n", g_test_start_time);
}

/* "mkdir -p -m 777" of the partition directory and of its subjects. */
void make_partition_dir(const char *tw_wdir, long long partition_idx) {
  char quoted[4 * TW_PATH_LEN + 3];
  char cmd[sizeof quoted + 128];
  if (shell_quote(tw_wdir, quoted, sizeof quoted) != 0) refuse_partition_dir(partition_idx);
  TRACE1("Here going to use popen command\n");
  static const char *const kSubdirs[] = {"", "/subjects"};
  for (const char *sub : kSubdirs) {
    snprintf(cmd, sizeof cmd, "mkdir -p -m 777 %s/logs/TR%d/%lld%s", quoted, g_dest_testrun,
             partition_idx, sub);
    if (run_shell_command_noted(cmd) < 0) refuse_partition_dir(partition_idx);
  }
}

}  // namespace

/* request_count 0: the destination run directory, once before the loop.
 * request_count 1: a partition switch (reconciliation, then the new
 * partition directory). A command that cannot start, or a clock that cannot
 * name the partition, ends the process (exit status -1). */
void create_partition_dir(char *tw_wdir, char request_count, tr_gdf_struct *gdf_struct_arr) {
  if (request_count == 0) {
    make_destination_testrun_directory(tw_wdir);
    g_start_partition_index += 1; /* the loop runs one partition ahead */
    return;
  }
  if (request_count != 1) return;
  long long new_partition_idx = -1;
  if (set_partition_time(&new_partition_idx) != 0) refuse_partition_dir(new_partition_idx);
  reconcile_with_new_partition(gdf_struct_arr);
  g_prev_partition_idx = g_partition_idx;
  g_partition_idx = new_partition_idx;
  make_partition_dir(tw_wdir, g_partition_idx);
}
