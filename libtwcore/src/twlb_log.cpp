/*
 * twlb_log.cpp - the library debug log: record building with the 64,000-byte
 * cut, lazy opening of the log file, and size-based rollover that only the
 * holder of an exclusive flock performs (several processes may share a log).
 */
#include "twlb_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "twlb_util.h"

extern "C" {
unsigned int twlb_log_level = 0;
unsigned long long lib_module_mask = 0;
char log_file[1024];
int lib_debug_fd = -1;
unsigned int max_debug_log_file_size = 100000000;
FILE *twlb_log_fp = nullptr;
}

namespace {

char g_error_log_file[1024];

// Header and message into buf (TWLB_LOG_RECORD_MAX + 1 bytes), cut as the
// tool's trace records are; returns the number of bytes to write.
int build_record(char *buf, const char *file, int line, const char *fname,
                 const char *format, va_list ap) {
  int h = snprintf(buf, TWLB_LOG_RECORD_MAX + 1, "\n%s|%s|%d|%s|",
                   get_cur_date_time(), file, line, fname);
  if (h < 0) return 0;
  if (h >= TWLB_LOG_RECORD_MAX) return TWLB_LOG_RECORD_MAX;
  int room = TWLB_LOG_RECORD_MAX - h;
  int n = vsnprintf(buf + h, static_cast<size_t>(room), format, ap);
  if (n < 0)
    n = static_cast<int>(strlen(buf)) - h;
  else if (n > room)
    n = room;  // the cut message keeps its terminating zero, written too
  buf[TWLB_LOG_RECORD_MAX] = '\0';
  return h + n;
}

// Renames the file behind fd when the path still names it.
void rename_if_same_file(int fd, const char *path, int prev_or_mmdd) {
  struct stat by_fd, by_path;
  if (fstat(fd, &by_fd) != 0 || stat(path, &by_path) != 0) return;
  if (by_fd.st_ino != by_path.st_ino) return;
  char target[2048];
  if (prev_or_mmdd) {
    snprintf(target, sizeof target, "%s.prev", path);
  } else {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    snprintf(target, sizeof target, "%s.%02d.%02d", path, tm.tm_hour,
             tm.tm_min);
  }
  rename(path, target);
}

}  // namespace

extern "C" {

void twlb_debug_log_ex(int tmp_log_level, unsigned long long mask,
                       const char *file, int line, const char *fname,
                       const char *format, ...) {
  if (!twlb_log_enabled(static_cast<unsigned int>(tmp_log_level), mask)) return;
  char record[TWLB_LOG_RECORD_MAX + 1];
  va_list ap;
  va_start(ap, format);
  int len = build_record(record, file, line, fname, format, ap);
  va_end(ap);
  if (open_log_ex(log_file, &lib_debug_fd, max_debug_log_file_size) == 1) {
    FILE *fp = fdopen(lib_debug_fd, "a");
    if (fp)
      twlb_util_set_debug_log_fp(fp);
    else
      fprintf(stderr, "Failed to fdopen(%s). Error = %s", log_file,
              twlb_strerror(errno));
  }
  ssize_t ignored = write(lib_debug_fd, record, static_cast<size_t>(len));
  (void)ignored;  // a lost record is not reported
}

int open_log_ex(const char *log_file_path, int *fd, unsigned int max_size) {
  int ret = twlb_open_log(fd, log_file_path, static_cast<int>(max_size),
                          nullptr);
  if (ret < 0)
    fprintf(stderr, "Failed to open(%s). Error = %s", log_file_path,
            twlb_strerror(errno));
  return ret;
}

int twlb_open_log(int *fd, const char *log_file_path, int max_file_size,
                  const char *header) {
  twlb_check_rollover_file(fd, log_file_path, max_file_size, 1);
  return twlb_open_file_with_header(fd, log_file_path, header);
}

int twlb_open_file_with_header(int *fd, const char *log_file_path,
                               const char *header) {
  if (*fd > 0) return 0;
  struct stat st;
  bool existed = stat(log_file_path, &st) == 0;
  *fd = open(log_file_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (*fd < 1) return -1;
  if (existed || !header) return 0;
  ssize_t ignored = write(*fd, header, strlen(header));
  (void)ignored;
  return 1;
}

int twlb_check_rollover_file(int *fd, const char *log_file_path,
                             int max_file_size, int prev_or_mmdd) {
  if (*fd <= 0 || max_file_size <= 0) return 0;
  struct stat st;
  if (fstat(*fd, &st) != 0 || st.st_size <= max_file_size) return 0;
  if (flock(*fd, LOCK_EX | LOCK_NB) == 0) {
    rename_if_same_file(*fd, log_file_path, prev_or_mmdd);
    flock(*fd, LOCK_UN);
  }
  close(*fd);
  *fd = -1;
  return 0;
}

void twlb_util_set_debug_log_level(int level) {
  twlb_log_level = static_cast<unsigned int>(level);
}

void twlb_util_set_modulemask(unsigned long mask) { lib_module_mask = mask; }

void twlb_util_set_log_filename(const char *log_file_name,
                                const char *error_log_file_name) {
  if (log_file_name) snprintf(log_file, sizeof log_file, "%s", log_file_name);
  if (error_log_file_name)
    snprintf(g_error_log_file, sizeof g_error_log_file, "%s",
             error_log_file_name);
}

void twlb_util_set_debug_log_size(unsigned int size) {
  max_debug_log_file_size = size;
}

void twlb_util_set_debug_log_fp(FILE *fp) { twlb_log_fp = fp; }

}  // extern "C"
