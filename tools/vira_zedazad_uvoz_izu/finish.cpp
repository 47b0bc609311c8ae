/*
 * finish.cpp - the end of a migration: rewrite the run's summary.top with the
 * migrated time span, start the database import, make sure the run has a
 * controller pid file, print the closing line, close the store's migration
 * and end the process with status 0, whatever the run stored: a complete run
 * that gave no value (no group listing a vector, no definitions, no packet)
 * is still a finished migration, and one note on standard error says so.
 * Two outcomes differ, both outside what the finish itself fixes: a run whose
 * first partition has no rtgMessage.dat and that stored nothing never opened
 * the store's migration (there is no start time to open it with), so it is
 * refused after the closing line (status 255) and the store is not touched;
 * and a store that cannot commit ends the process with status 255 after the
 * closing line, because nothing was stored.
 *
 * summary.top is one line of "|"-separated fields (positions in ST_FIELDS).
 * Fields 0 to 15 are kept (the run number and the duration replaced); the
 * tail from field 16 on is always written anew from the run's times and three
 * keywords of sorted_scenario.conf. The new line goes to a temporary file in
 * the same directory, which is then renamed over summary.top, so a crash or a
 * full disk leaves either the old file or the new one, never a truncated one.
 * Every problem with summary.top is reported and the finish carries on.
 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "twlb_util.h"
#include "vira_zedazad_uvoz_izu.h"

namespace {

/* Field positions of summary.top. */
enum ST_FIELDS {
  ST_TRIDX = 0,
  ST_SCENARIO_NAME,
  ST_STARTTIME_FORMATTED,
  ST_REPORT_SUMMARY_FLAG,
  ST_PAGEDUMP_FLAG,
  ST_REPORT_PROGRESS,
  ST_REPORT_DETAIL,
  ST_REPORT_USER,
  ST_REPORT_FAIL_FLAG,
  ST_REPORT_PAGE_BREAK_DOWN_FLAG,
  ST_WAN_ENV_FLAG,
  ST_MAX_REPORT_LEVEL,
  ST_TESTNAME,
  ST_TEST_MODE,
  ST_TEST_DURATION_FORMATTED,
  ST_NUM_CON,
  ST_STARTTIME_SEC,
  ST_EXECSTARTTIME_SEC,
  ST_DURATION_SEC,
  ST_PROGRESS_MSEC,
  ST_TEST_STATUS,
  ST_NUM_GENERATOR,
  ST_GROUP_BASED,
  ST_DDR_PCT,
  ST_SEARCH_TAGS_BASED,
  ST_ATTRIBUTES,
  ST_TOTAL_FIELDS
};

constexpr int kLineLen = 1024;
constexpr int kPathLen = 2 * TW_PATH_LEN;
constexpr long kStartTimeTolerance = 300;
const char kPidPlaceholder[] = "54321";

/* "%s/logs/TR%d/<name>" of the destination run into out (kPathLen). */
void run_file_path(char *out, const char *name) {
  snprintf(out, kPathLen, "%s/logs/TR%d/%s", tw_wdir, g_dest_testrun, name);
}

/* Reads summary.top's first line into line (kLineLen) without its line feed
 * and splits it; returns the field count, or 0 after reporting a problem. */
int read_summary_fields(const char *path, char *line, char **fields, mode_t *mode) {
  // Something other than a regular file (a FIFO would block for good) is
  // a file that cannot be opened, with that reason.
  const char *why = "";
  bool not_regular = false;
  FILE *fp = fopen_regular(path, &why, &not_regular);
  if (fp == NULL) {
    vzu_print(stderr, "Failed to open summary.top, error - %s\n", why);
    return 0;
  }
  struct stat st;
  *mode = fstat(fileno(fp), &st) == 0 ? (st.st_mode & 07777) : 0644;
  char *got = twlb_fgets(line, kLineLen, fp, 0);
  int err = errno;
  fclose(fp);
  if (got == NULL) {
    TRACE1("fail:in reading file %s\n", twlb_strerror(err));
    return 0;
  }
  size_t len = strlen(line);
  if (len > 0 && line[len - 1] == '\n') line[len - 1] = '\0';
  int n = get_tokens_ex2(line, fields, const_cast<char *>("|"), ST_TOTAL_FIELDS);
  if (n - 1 <= ST_TEST_DURATION_FORMATTED) {
    TRACE1("Error: Bad summary.top, n_fields : %d\n", n - 1);
    return 0;
  }
  return n;
}

/* The run's start time as summary.top states it, unless it is more than
 * five minutes away from the start of the sample data. */
long checked_start_time(const char *formatted) {
  struct tm tm;
  memset(&tm, 0, sizeof tm); /* tm_isdst 0: daylight saving not in effect */
  strptime(formatted, "%m/%d/%y %H:%M:%S", &tm);
  long start = static_cast<long>(mktime(&tm));
  long long diff = static_cast<int>(start - test_start_time);
  if (llabs(diff) <= kStartTimeTolerance) return start;
  vzu_print(stdout,
            "WARNING: summary.top start timei [%ld] and rtg start time [%ld] is deffrent more "
            "then 5 min so taking rtg start time\n",
            start, test_start_time);
  return test_start_time;
}

/* Seconds of an "h:m:s" text into *seconds; false (after a trace) when it
 * has fewer than three parts. */
bool duration_seconds(const char *hh_mm_ss, long *seconds) {
  char buf[64];
  char *parts[3];
  snprintf(buf, sizeof buf, "%s", hh_mm_ss);
  if (get_tokens_ex2(buf, parts, const_cast<char *>(":"), 3) < 3) {
    TRACE1("Error:Bad duration in summary.top : %s\n", hh_mm_ss);
    return false;
  }
  *seconds = atol(parts[0]) * 3600 + atol(parts[1]) * 60 + atol(parts[2]);
  return true;
}

struct ScenarioValues {
  int progress = 0;
  int generators = 0;
  int group_data = 0;
};

/* A keyword counts only in the first column: its value is read right after
 * the keyword's length from the start of the line. */
void read_scenario_line(const char *line, ScenarioValues *values) {
  static const struct {
    const char *keyword;
    int ScenarioValues::*field;
  } kKeywords[] = {{"PROGRESS_MSECS", &ScenarioValues::progress},
                   {"TW_GENERATOR", &ScenarioValues::generators},
                   {"SHOW_GROUP_DATA", &ScenarioValues::group_data}};
  char word[kLineLen];
  if (sscanf(line, "%1023s", word) != 1) return;
  for (const auto &k : kKeywords) {
    if (strcmp(word, k.keyword) != 0) continue;
    int value;
    if (sscanf(line + strlen(k.keyword), "%d", &value) == 1) values->*k.field = value;
  }
}

/* False (after a trace) when the scenario file cannot be opened. */
bool read_scenario_values(ScenarioValues *values) {
  char path[kPathLen];
  run_file_path(path, "sorted_scenario.conf");
  const char *why = "";
  bool not_regular = false;
  FILE *fp = fopen_regular(path, &why, &not_regular);
  if (fp == NULL) {
    // Not there is the usual case (the trace says so); a FIFO or a device
    // in its place is said on standard error too, as summary.top is then
    // left as it was.
    if (not_regular) vzu_print(stderr, "'%s' not read: %s\n", path, why);
    TRACE1("Failed to open file - %s\n", path);
    return false;
  }
  char line[kLineLen];
  while (twlb_fgets(line, kLineLen, fp, 0) != NULL) read_scenario_line(line, values);
  fclose(fp);
  return true;
}

/* Writes text into fd, syncs it when asked, and closes it: 0, or the error
 * that stopped it. */
int write_and_close(int fd, const std::string &text, bool sync) {
  int err = 0;
  if (twlb_write_all(fd, text.data(), text.size()) != 0 || (sync && fsync(fd) != 0))
    err = errno ? errno : EIO;
  if (close(fd) != 0 && err == 0) err = errno;
  return err;
}

/* Truncates path and writes text into it, the reason printed on failure. */
void write_in_place(const char *path, const std::string &text) {
  int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    vzu_print(stderr, "Failed to open file - %s, error - %s\n", path, twlb_strerror(errno));
    return;
  }
  if (int err = write_and_close(fd, text, false))
    vzu_print(stderr, "Failed to write file - %s, error - %s\n", path, twlb_strerror(err));
}

/* Replaces path's contents with text through a temporary file in the same
 * directory; on a failure to write it path is left as it was and the reason
 * printed. Where no temporary file can be made (a folder the tool may not
 * write into, holding a file it may), path is written in place. As an open
 * for writing would: a link is written through (the file it names is
 * replaced), and a file the tool may not write is not replaced. */
void replace_file(const char *link, const std::string &text, mode_t mode) {
  char real[PATH_MAX];
  const char *path = realpath(link, real) ? real : link;
  if (access(path, W_OK) != 0) {
    vzu_print(stderr, "Failed to open file - %s, error - %s\n", link, twlb_strerror(errno));
    return;
  }
  char tmp[PATH_MAX + 16];
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    write_in_place(path, text);
    return;
  }
  fchmod(fd, mode); /* keep the old file's permissions */
  if (int err = write_and_close(fd, text, true)) {
    unlink(tmp);
    vzu_print(stderr, "Failed to write file - %s, error - %s\n", tmp, twlb_strerror(err));
    return;
  }
  if (rename(tmp, path) != 0) {
    int err = errno;
    unlink(tmp);
    vzu_print(stderr, "Failed to rename %s to %s, error - %s\n", tmp, path, twlb_strerror(err));
  }
}

/* Fields 0 to 15 of the new line, each followed by "|". */
std::string summary_head(char **fields, int n_fields, const char *duration) {
  std::string line;
  for (int i = 0; i < n_fields && i < ST_STARTTIME_SEC; i++) {
    if (i == ST_TRIDX)
      line += std::to_string(g_dest_testrun);
    else
      line += i == ST_TEST_DURATION_FORMATTED ? duration : fields[i];
    line += '|';
  }
  return line;
}

/* Makes sure the run carries a controller pid file. */
void ensure_controller_pid_file(void) {
  char pid_dir[kPathLen];
  char pid_file[kPathLen + 16];
  struct stat st;
  run_file_path(pid_dir, ".pidfiles");
  snprintf(pid_file, sizeof pid_file, "%s/.OrvMain.pid", pid_dir);
  bool new_dir = stat(pid_dir, &st) != 0;
  if (!new_dir && stat(pid_file, &st) == 0) return; /* keep the existing one */
  if (new_dir) mkdir(pid_dir, 0700);
  FILE *fp = fopen(pid_file, "w");
  if (new_dir) TRACE1("1 creating %s file", pid_file);
  if (fp == NULL) return;
  if (new_dir) TRACE1("2 creating %s file", pid_file);
  fputs(kPidPlaceholder, fp);
  fclose(fp);
}

/* Why a migration stored no value, from what the loop and the writer saw. */
const char *why_nothing_stored(void) {
  if (test_start_time < 0)
    return "its first partition gave no raw sample file (rtgMessage.dat), which holds the "
           "run's start time";
  if (total_store_refusals > 0)
    return "the store refused its groups or inserts (the store's message above names it and the "
           "cause)";
  if (total_versions_read > 0)
    return "no group of its definitions gave a value to store (every group skipped, or no "
           "packet to migrate)";
  if (partitions_without_samples > 0)
    return "its graph definitions (testrun.gdf) have no raw sample file (rtgMessage.dat)";
  return "no partition holds graph definitions (testrun.gdf) with a raw sample file "
         "(rtgMessage.dat) of the same version";
}

/* Ends the process after the closing output without closing the store's
 * migration, which the tool never opened (no start time): the store keeps
 * what it held. */
[[noreturn]] void refuse_unopened_migration(void) {
  reset_test_start_time();
  vzu_fatal(stderr, " %s | Migration of TR%d stored no value: %s\n", g_test_start_time,
            g_dest_testrun, why_nothing_stored());
}

/* A finished migration that stored nothing: a note, not an error. */
void note_empty_migration(void) {
  reset_test_start_time();
  vzu_print(stderr, " %s | Note: the migration of TR%d stored no value: %s\n", g_test_start_time,
            g_dest_testrun, why_nothing_stored());
}

}  // namespace

/* Writes sec as "h:m:s" (not zero-filled, hours unbounded) into hh_mm_ss,
 * which must hold 36 bytes. */
void convert_sec_to_hh_mm_ss(char *hh_mm_ss, int sec) {
  sprintf(hh_mm_ss, "%d:%d:%d", sec / 3600, (sec % 3600) / 60, (sec % 3600) % 60);
}

/* Rewrites summary.top with the migrated span; reports any problem and
 * returns with the file as it was. */
void update_summary_top_file(void) {
  char path[kPathLen];
  char line[kLineLen];
  char *fields[ST_TOTAL_FIELDS];
  mode_t mode = 0644;
  run_file_path(path, "summary.top");
  int n_fields = read_summary_fields(path, line, fields, &mode);
  if (n_fields == 0) return;
  char duration[40];
  convert_sec_to_hh_mm_ss(duration, static_cast<int>(test_end_time - test_start_time));
  std::string out = summary_head(fields, n_fields, duration);
  out += std::to_string(checked_start_time(fields[ST_STARTTIME_FORMATTED]));
  out += "|" + std::to_string(test_start_time);
  long seconds;
  if (!duration_seconds(duration, &seconds)) return;
  out += "|" + std::to_string(seconds) + "|";
  ScenarioValues values;
  if (!read_scenario_values(&values)) return;
  char tail[128];
  snprintf(tail, sizeof tail, "%d|99|%d:%d|%d|All:1", values.progress, values.generators,
           values.generators, values.group_data);
  out += tail;
  replace_file(path, out, mode);
}

/* Starts the import command for the destination run and waits for it; only
 * a failure to start it is fatal (exit status -1): the import belongs to the
 * load-test product, and its own status is its business. */
void import_db_data(void) {
  char cmd[128];
  snprintf(cmd, sizeof cmd, "twu_import %d > /dev/null 2>&1", g_dest_testrun);
  if (run_shell_command(cmd) >= 0) return;
  int err = errno;
  reset_test_start_time();
  vzu_fatal(stderr, "%s | Error in running tuw_import command [%s] \n", g_test_start_time,
            twlb_strerror(err));
}

/* The finishing sequence; ends the process with status 0, or -1 when the
 * store's migration was never opened and nothing was stored, or when the
 * store does not commit the migration. */
void tr_migrate_exit(void) {
  progress_clear();
  update_summary_top_file();
  vzu_print(stdout, "starting db_upload of TR%d\n", g_dest_testrun);
  import_db_data();
  TRACE1("test_end_time %d\n", static_cast<int>(test_end_time));
  ensure_controller_pid_file();
  vzu_print(stdout,
            "Migrttion is done test start time [%ld], test end time [%ld] as pes summary.top and "
            "as per sample inserted test end time [%lld]\n",
            test_start_time, test_end_time,
            static_cast<long long>(test_start_time) + total_missing_sample + total_sample);
  bool nothing_stored = total_sample_stored == 0;
  if (nothing_stored && test_start_time < 0) refuse_unopened_migration();
  // The store commits here; when it cannot (full disk, a failed insert), the
  // run is not stored and the exit status says so (the store has said why).
  if (tsdb_exit_migration(test_end_time) < 0) {
    reset_test_start_time();
    vzu_fatal(stderr, "%s | Migration of TR%d not stored: the store refused it\n",
              g_test_start_time, g_dest_testrun);
  }
  if (nothing_stored) note_empty_migration();
  fflush(stdout);
  fflush(stderr);
  exit(0);
}
