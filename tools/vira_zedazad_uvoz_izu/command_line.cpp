/*
 * command_line.cpp - the tool's options and run setup: parses and validates
 * the command line into the run-wide globals that every other part of the
 * driver reads, and creates the destination run directory.
 *
 * Options are taken in the order they appear, so -s and -e look their
 * partition up under the source run known at that moment (-t first). Every
 * fatal problem prints one message and exits with status -1 before anything
 * is written to the work directory. The work directory's length is checked
 * first: every path of the tool is formatted into TW_PATH_LEN-byte buffers,
 * so a work directory that leaves less than WDIR_RESERVE bytes for the
 * derived parts is refused rather than silently cut.
 */
#include <errno.h>
#include <getopt.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "twlb_util.h"
#include "vira_zedazad_uvoz_izu.h"

char tw_wdir[TW_PATH_LEN] = "";
int g_testrun = -1;
int g_dest_testrun = -1;
long g_start_partition_idx = -1;
long g_end_partition_idx = -1;
int g_debug_level = 0;
int dump_data_flag = 0;
int g_file_size = 0;
int file_size_flag = 0;
int not_include_generator = 1;

namespace {

/* Bytes kept free after the work directory in every path buffer. The longest
 * derived path is the work directory plus "/logs/TR<run>/<14 digits>/
 * rtgMessage.dat.<n>" (at most 60 bytes more); the rest is headroom for
 * quoting in shell commands and for the finish's file names. */
constexpr size_t WDIR_RESERVE = 256;
constexpr size_t WDIR_MAX_LEN = TW_PATH_LEN - WDIR_RESERVE - 1;

constexpr int DUMP_SIZE_MAX_MIB = 2047;

const char USAGE_TEXT[] =
    " %s | vira_zedazad_uvoz_izu  --source_testrun <source testrun which is to be replay>"
    "--dest_testrun <Destination test run>--start_partition<start partition> (Optional)"
    "--end_partition<end_partition> (Optional)--Debug_log(debug logs)(By Default 1)"
    "--frequency <frequency>(By default 60 seconds)\n";

const struct option LONG_OPTIONS[] = {
    {"source_testrun", required_argument, NULL, 't'},
    {"start_partition", required_argument, NULL, 's'},
    {"end_partition", required_argument, NULL, 'e'},
    {"frequency", required_argument, NULL, 'f'},
    {"Debug_log", required_argument, NULL, 'D'},
    {"Dump_data", required_argument, NULL, 'g'},
    {"File_size", required_argument, NULL, 'w'},
    {"Include Genrator", required_argument, NULL, 'G'},
    {NULL, 0, NULL, 0},
};

/* Which of the options with a rule of their own were seen so far. */
struct SeenOptions {
  bool testrun = false;
  bool start = false;
  bool end = false;
};

/* Refuses a work directory too long for the tool's path buffers. The
 * environment is checked too: main's copy into tw_wdir may have cut it. */
void check_wdir_length(const char *wdir) {
  const char *env = getenv("TW_WDIR");
  size_t len = strlen(env && *env ? env : wdir);
  if (len > WDIR_MAX_LEN)
    vzu_fatal(stderr,
              "ERROR : TW_WDIR is too long (%zu characters, at most %zu allowed), exiting!\n", len,
              WDIR_MAX_LEN);
}

void require_value(int opt) {
  if (optarg != NULL) return;
  vzu_print(stdout, "Value not given for option -%c", opt);
  print_usage();
}

void take_testrun(SeenOptions *seen, char *wdir) {
  if (seen->testrun) vzu_fatal(stderr, "--test_run can not given multiple time\n");
  seen->testrun = true;
  g_testrun = atoi(optarg);
  char errmsg[TW_PATH_LEN];
  if (check_test_run_exists(g_testrun, wdir, errmsg) != 0) {
    reset_test_start_time();
    vzu_fatal(stderr, " %s | Testrun %d not found, exiting! [%s] \n", g_test_start_time, g_testrun,
              errmsg);
  }
}

void take_dump_size(bool dump_seen) {
  if (!dump_seen) vzu_fatal(stderr, "Dump file data option 'g' must be on with 'w' option");
  int mib = atoi(optarg);
  if (mib >= 1 && mib <= DUMP_SIZE_MAX_MIB) {
    g_file_size = mib << 20;
    file_size_flag = 1;
  } else {
    vzu_print(stderr, "Log fize is not between 1 & 200\n");
    g_file_size = INT32_MIN;
  }
}

/* -s or -e: the partition bound, looked up at once under the source run
 * known now (so -t must come first). The trace level is not set yet, so a
 * refusal here writes no trace record. */
void take_bound(int opt, bool *seen, long *bound, char *wdir) {
  require_value(opt);
  *seen = true;
  *bound = atol(optarg);
  check_if_partition_exists(wdir, *bound);
}

/* Applies one result of getopt_long. */
void take_option(int opt, SeenOptions *seen, char *wdir) {
  switch (opt) {
    case 't':
      require_value(opt);
      take_testrun(seen, wdir);
      break;
    case 's': take_bound(opt, &seen->start, &g_start_partition_idx, wdir); break;
    case 'e': take_bound(opt, &seen->end, &g_end_partition_idx, wdir); break;
    case 'f': break; /* the sampling frequency comes from each graph definition version */
    case 'D': g_debug_level = atoi(optarg); break;
    case 'g': dump_data_flag = 1; break;
    case 'w': take_dump_size(dump_data_flag == 1); break;
    case 'G': not_include_generator = 0; break;
    default:
      reset_test_start_time();
      vzu_print(stderr, " %s | Invalid Argument!\n", g_test_start_time);
      break;
  }
}

void finish_options(const SeenOptions &seen) {
  if (!seen.testrun) {
    reset_test_start_time();
    vzu_print(stderr, "%s | --Mandatory argument missing\n", g_test_start_time);
    print_usage();
  }
  g_dest_testrun = g_testrun;
  check_and_set_debug_level();
  if (!seen.start) g_start_partition_idx = 1;
  if (!seen.end) g_end_partition_idx = 1;
}

}  // namespace

void parse_and_validate_arg(int argc, char **argv, char *tw_wdir) {
  check_wdir_length(tw_wdir);
  SeenOptions seen;
  opterr = 0; /* every option problem gets the tool's own message */
  optind = 0; /* full rescan, also when called more than once */
  int opt;
  while ((opt = getopt_long(argc, argv, "t:s:e:f:D:g:w:G:", LONG_OPTIONS, NULL)) != -1)
    take_option(opt, &seen, tw_wdir);
  finish_options(seen);
}

void print_usage(void) { vzu_fatal(stderr, USAGE_TEXT, g_test_start_time); }

int check_test_run_exists(int test_run, char *tw_wdir, char *errmsg) {
  char path[TW_PATH_LEN];
  snprintf(path, sizeof path, "%s/logs/TR%d", tw_wdir, test_run);
  struct stat st;
  if (stat(path, &st) == 0) return 0;
  snprintf(errmsg, TW_PATH_LEN, "%s", twlb_strerror(errno));
  return 1;
}

void check_and_set_debug_level(void) {
  switch (g_debug_level) {
    case 1: sd_log_tracing_level |= 0x000000FFu; break;
    case 2: sd_log_tracing_level |= 0x0000FFFFu; break;
    case 3: sd_log_tracing_level |= 0x00FFFFFFu; break;
    case 4: sd_log_tracing_level = 0xFFFFFFFFu; break;
    default: break; /* 0 and anything else leave the mask alone */
  }
}

void make_destination_testrun_directory(char *tw_wdir) {
  char run_dir[TW_PATH_LEN];
  char quoted[2 * TW_PATH_LEN];
  char cmd[2 * TW_PATH_LEN + 16];
  snprintf(run_dir, sizeof run_dir, "%s/logs/TR%d", tw_wdir, g_dest_testrun);
  int rc = shell_quote(run_dir, quoted, sizeof quoted);
  if (rc == 0) {
    snprintf(cmd, sizeof cmd, "mkdir -p %s", quoted);
    /* Only a command that cannot be started is fatal; its own status is noted
     * (whatever it could not make, the store or a later file will name). */
    rc = run_shell_command_noted(cmd);
  }
  if (rc < 0) {
    reset_test_start_time();
    vzu_fatal(stderr, "%s | Error in creating  destination testrun directory\n", g_test_start_time);
  }
}
