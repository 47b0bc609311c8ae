/*
 * twlb_util.cpp - text and time utilities: the two field splitters, the
 * whole-separator tokenizer, the bounded line reader, the time-stamp
 * formatters, per-thread error texts, and the directory / file-copy helpers
 * that the store library calls back by their plain C names.
 *
 * Every result buffer is thread_local, so nothing here takes a lock.
 */
#include "twlb_util.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

// glibc's XSI strerror_r; the plain name is the GNU variant under C++.
extern "C" int __xpg_strerror_r(int errnum, char *buf, size_t buflen);

namespace {

constexpr int kMkdirMaxPath = 4096;
constexpr int kMkdirReportedMax = 8192;
constexpr size_t kCopyChunk = 64000;
constexpr size_t kErrMsgSize = 1024;

thread_local char *t_strtok_pos = nullptr;
thread_local char t_cur_date_time[100];
thread_local char t_strerror_buf[256];
thread_local char g_twlb_err_buf[257];

// Formats tm as "MM/DD/YY hh:mm:ss" (year modulo 2000) into out.
void format_date_time(const struct tm &tm, char *out, size_t out_size) {
  char tmp[64];
  snprintf(tmp, sizeof tmp, "%02d/%02d/%02d %02d:%02d:%02d", tm.tm_mon + 1,
           tm.tm_mday, (tm.tm_year + 1900) % 2000, tm.tm_hour, tm.tm_min,
           tm.tm_sec);
  snprintf(out, out_size, "%s", tmp);
}

// Local time now; false when it cannot be computed.
bool local_now(struct tm *tm) {
  time_t now = time(nullptr);
  return localtime_r(&now, tm) != nullptr;
}

// Creates one directory; an existing one is accepted. 1 or 0.
int make_one_dir(const char *dir) {
  if (mkdir(dir, 0777) == 0) return 1;
  int err = errno;
  // Accepted when what is there is a directory (or a link to one); a file
  // of that name is no directory to create things in.
  struct stat st;
  if (err == EEXIST && stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) return 1;
  if (err == EEXIST) err = ENOTDIR;
  fprintf(stderr, "Error in creating directory. Path: '%s'. Error = '%s'\n",
          dir, twlb_strerror(err));
  return 0;
}

// Writes all len bytes, retrying after signals and short writes.
bool write_all(int fd, const char *buf, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, buf, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    buf += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Reads up to len bytes, retrying after signals. Bytes read, or -1.
ssize_t read_retry(int fd, char *buf, size_t len) {
  ssize_t n;
  do {
    n = read(fd, buf, len);
  } while (n < 0 && errno == EINTR);
  return n;
}

void set_err_msg(char *err_msg, const char *format, const char *a,
                 const char *b, const char *c) {
  if (err_msg) snprintf(err_msg, kErrMsgSize, format, a, b, c);
}

// Copies every byte of src_fd to dest_fd; 0 or -1 with err_msg set.
int copy_fd(int dest_fd, int src_fd, char *err_msg) {
  char chunk[kCopyChunk];
  for (;;) {
    ssize_t n = read_retry(src_fd, chunk, sizeof chunk);
    if (n == 0) return 0;
    if (n < 0) {
      if (err_msg)
        snprintf(err_msg, kErrMsgSize, "(%s)Error in reading file. Error: %s",
                 "twlb_copy_file", twlb_strerror(errno));
      return -1;
    }
    if (!write_all(dest_fd, chunk, static_cast<size_t>(n))) {
      if (err_msg)
        snprintf(err_msg, kErrMsgSize, "%s - Error in writing file. Error: %s",
                 "twlb_copy_file", twlb_strerror(errno));
      return -1;
    }
  }
}

}  // namespace

extern "C" {

int twlb_write_all(int fd, const char *buf, size_t len) {
  return write_all(fd, buf, len) ? 0 : -1;
}

int get_tokens(char *read_buf, char *fields[], char *token, int max_flds) {
  if (!read_buf || !token) return 0;
  int count = 0;
  char *save = nullptr;
  for (char *f = strtok_r(read_buf, token, &save); f;
       f = strtok_r(nullptr, token, &save)) {
    if (count >= max_flds) break;  // the extra field is already cut off
    fields[count++] = f;
  }
  return count;
}

int get_tokens_ex2(char *read_buf, char *fields[], char *token, int max_flds) {
  if (!read_buf || !token) return 0;
  int count = 0;
  for (char *f = tw_strtok(read_buf, token); f; f = tw_strtok(nullptr, token)) {
    if (count >= max_flds) break;
    fields[count++] = f;
  }
  return count;
}

char *tw_strtok(char *str, char *delim) {
  if (str) t_strtok_pos = str;
  char *start = t_strtok_pos;
  if (!start) return nullptr;
  char *found = (*start && delim) ? strstr(start, delim) : nullptr;
  if (!found) {
    t_strtok_pos = nullptr;  // last field (possibly empty)
    return start;
  }
  *found = '\0';
  t_strtok_pos = found + strlen(delim);
  return start;
}

char *twlb_fgets(char *dst, int max, FILE *fp, int flag) {
  if (!dst || !fp || max < 1) return nullptr;
  int stored = 0;
  int c = 0;
  while (stored < max - 1 && (c = getc(fp)) != EOF) {
    dst[stored++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  dst[stored] = '\0';
  bool filled = stored == max - 1 && (stored == 0 || dst[stored - 1] != '\n');
  if (filled && flag) {
    while ((c = getc(fp)) != EOF && c != '\n') {
    }
  }
  if (stored == 0 && c == EOF) return nullptr;
  return dst;
}

char *twlb_get_cur_date_time(char *time_string, int need_to_block_signal) {
  sigset_t all;
  sigfillset(&all);
  if (need_to_block_signal == 1) pthread_sigmask(SIG_BLOCK, &all, nullptr);
  struct tm tm;
  bool ok = local_now(&tm);
  // The earlier mask is not restored: every signal is unblocked.
  if (need_to_block_signal == 1) pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
  if (ok)
    format_date_time(tm, time_string, 18);
  else
    strcpy(time_string, "Error|Error");
  return time_string;
}

char *get_cur_date_time(void) {
  struct tm tm;
  if (local_now(&tm))
    format_date_time(tm, t_cur_date_time, sizeof t_cur_date_time);
  else
    strcpy(t_cur_date_time, "Error");
  return t_cur_date_time;
}

char *twlb_strerror(int num) {
  if (__xpg_strerror_r(num, t_strerror_buf, sizeof t_strerror_buf) != 0 &&
      t_strerror_buf[0] == '\0')
    snprintf(t_strerror_buf, sizeof t_strerror_buf, "Unknown error %d", num);
  return t_strerror_buf;
}

void twlb_set_error(char *error) {
  if (!error) error = const_cast<char *>("");
  strncpy(g_twlb_err_buf, error, 256);
  g_twlb_err_buf[256] = '\0';
}

char *twlb_get_error(void) { return g_twlb_err_buf; }

int mkdir_ex(char *path) {
  if (!path) return 0;
  int len = static_cast<int>(strlen(path));
  if (len > kMkdirMaxPath) {
    fprintf(stderr,
            "mkdir_ex() - Length of path (%d) is more than max allowed (%d). "
            "Path: '%s'\n",
            len, kMkdirReportedMax, path);
    return 0;
  }
  char dir[kMkdirMaxPath + 1];
  memcpy(dir, path, static_cast<size_t>(len) + 1);
  // Every "/" after the first character ends one directory to create.
  for (int i = 1; i < len; i++) {
    if (dir[i] != '/') continue;
    dir[i] = '\0';
    int ok = make_one_dir(dir);
    dir[i] = '/';
    if (!ok) return 0;
  }
  return 1;
}

int twlb_copy_file(char *dest_file, char *src_file, char *err_msg) {
  int src_fd = src_file ? open(src_file, O_RDONLY | O_CLOEXEC) : -1;
  if (src_fd < 0) {
    set_err_msg(err_msg,
                "%s - Error in opening source file (file = %s). Error: %s",
                "twlb_copy_file", src_file ? src_file : "(null)",
                twlb_strerror(src_file ? errno : EINVAL));
    return -1;
  }
  int dest_fd = dest_file ? open(dest_file,
                                 O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                          : -1;
  if (dest_fd < 0) {
    set_err_msg(err_msg,
                "%s - Error in opening destination file (file = %s). Error: %s",
                "twlb_copy_file", dest_file ? dest_file : "(null)",
                twlb_strerror(dest_file ? errno : EINVAL));
    close(src_fd);
    return -1;
  }
  int ret = copy_fd(dest_fd, src_fd, err_msg);
  close(src_fd);
  close(dest_fd);
  return ret;
}

}  // extern "C"
