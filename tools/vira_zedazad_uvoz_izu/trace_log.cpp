/*
 * trace_log.cpp - the tool's diagnostic output: the trace log
 * debug_zevi_zazozoz.log of the destination run, the console trace (off
 * unless debug_on is set), the wall-clock stamp that prefixes console
 * messages, and the sample dump file rtg_data.txt with its size rollover.
 *
 * Trace record layout, written in one unbuffered write():
 *   "\n" date-time "|" line "|" source file "|" function "|" message
 * A record is at most TRACE_RECORD_MAX bytes; a longer message is cut and its
 * terminating zero byte is written as the record's last byte. Call sites test
 * the category byte of sd_log_tracing_level themselves (TRACE1..3), so a
 * disabled trace costs one bit test. The trace log opens lazily on the first
 * record and stays open until exit.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "twlb_util.h"
#include "vira_zedazad_uvoz_izu.h"

unsigned int sd_log_tracing_level = 0;
int debug_fd = -1;
char g_test_start_time[128] = "";
int debug_on = 0;
int log_level = 0;
char g_rtg_dump_path[TW_PATH_LEN] = "";
int g_rtg_data_fd = -1;
int rtg_file_count = 1;

namespace {

constexpr int TRACE_RECORD_MAX = 64000;
constexpr int CONSOLE_TRACE_MAX = 1024;

const char RTG_DUMP_HEADER[] =
    "#Group Name|Vector_Name|RTG Index|Data|Packet Size|RTG FILE Size|Start Index|"
    "Total Elements| Element Size\n";

/* Formats the message after a header of h bytes; returns the number of
 * message bytes to write (a cut message keeps its zero byte). */
int format_trace_message(char *buf, int h, const char *format, va_list ap) {
  int room = TRACE_RECORD_MAX - h;
  int len = vsnprintf(buf + h, static_cast<size_t>(room), format, ap);
  if (len < 0) return static_cast<int>(strlen(buf)) - h;
  return len > room ? room : len;
}

}  // namespace

void open_file_fd(void) {
  const char *wdir = getenv("TW_WDIR");
  char path[TW_PATH_LEN];
  int len = snprintf(path, sizeof path, "%s/logs/TR%d/debug_zevi_zazozoz.log",
                     wdir ? wdir : tw_wdir, g_dest_testrun);
  debug_fd = len < TW_PATH_LEN ? open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0664) : -1;
  if (debug_fd < 0) {
    int err = len < TW_PATH_LEN ? errno : ENAMETOOLONG;
    reset_test_start_time();
    vzu_fatal(stderr, " %s | Error in opening log file %s. Err = %s\n", g_test_start_time, path,
              twlb_strerror(err));
  }
}

void sd_debug_logs(int log_level, const char *filename, int line, const char *fname,
                   const char *format, ...) {
  static int opened = 0;
  static char record[TRACE_RECORD_MAX + 1];
  if (log_level > g_debug_level) return;
  if (!opened) {
    open_file_fd();
    opened = 1;
  }
  char stamp[64];
  int h = snprintf(record, sizeof record, "\n%s|%d|%s|%s|", twlb_get_cur_date_time(stamp, 1), line,
                   filename, fname);
  if (h < 0) return;
  if (h >= TRACE_RECORD_MAX) h = TRACE_RECORD_MAX - 1;
  va_list ap;
  va_start(ap, format);
  int len = format_trace_message(record, h, format, ap);
  va_end(ap);
  record[TRACE_RECORD_MAX] = '\0';
  twlb_write_all(debug_fd == -1 ? STDERR_FILENO : debug_fd, record, static_cast<size_t>(h + len));
}

void debug_log(int level, const char *fname, const char *format, ...) {
  if (!debug_on) return;
  char msg[CONSOLE_TRACE_MAX + 1];
  va_list ap;
  va_start(ap, format);
  vsnprintf(msg, sizeof msg, format, ap);
  va_end(ap);
  if (level <= log_level) vzu_print(stdout, "%s:%s\n", fname, msg);
}

void reset_test_start_time(void) {
  time_t now = time(NULL);
  struct tm tm;
  if (localtime_r(&now, &tm) == NULL) return;
  snprintf(g_test_start_time, sizeof g_test_start_time, "%02d/%02d/%2.2d  %02d:%02d:%02d",
           tm.tm_mon + 1, tm.tm_mday, tm.tm_year - 100, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

void open_rtg_dump_file(char *tw_wdir) {
  snprintf(g_rtg_dump_path, sizeof g_rtg_dump_path, "%s/logs/TR%d/rtg_data.txt", tw_wdir,
           g_dest_testrun);
  g_rtg_data_fd = open(g_rtg_dump_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (g_rtg_data_fd < 0)
    vzu_fatal(stderr, "Unable to open RTG dump data file [%s]", twlb_strerror(errno));
  twlb_write_all(g_rtg_data_fd, RTG_DUMP_HEADER, sizeof RTG_DUMP_HEADER - 1);
}

void check_and_open_rtg_data(char *tw_wdir) {
  struct stat st;
  if (stat(g_rtg_dump_path, &st) != 0) return;
  if (static_cast<long long>(st.st_size) <= static_cast<long long>(g_file_size)) return;
  if (g_rtg_data_fd > 0) close(g_rtg_data_fd);
  g_rtg_data_fd = -1;
  char rolled[TW_PATH_LEN + 16];
  snprintf(rolled, sizeof rolled, "%s.%d", g_rtg_dump_path, rtg_file_count);
  rtg_file_count++;
  if (rename(g_rtg_dump_path, rolled) != 0)
    vzu_print(stderr, "Error in moving '%s' file, err = %s\n", g_rtg_dump_path,
              twlb_strerror(errno));
  open_rtg_dump_file(tw_wdir);
}
