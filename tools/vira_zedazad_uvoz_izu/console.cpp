/*
 * console.cpp - the tool's console: the fatal-exit choke point, console
 * messages, the progress line shown on a terminal, and shell commands with
 * quoted paths.
 *
 * The progress line lives only on a terminal: when standard error is not a
 * terminal nothing extra is ever printed, so logs and scripts see exactly the
 * tool's designed output. Every console message clears the line first.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vira_zedazad_uvoz_izu.h"

namespace {

struct Progress {
  int tty = -1;       /* -1 unknown, 0 no terminal, 1 terminal */
  bool shown = false; /* a progress line is on the screen */
  char partition[TW_PATH_LEN] = "";
  int version = 0;
  int total = 0;
  int last_percent = -1;
};

Progress g_progress;

bool progress_on_terminal() {
  if (g_progress.tty < 0) g_progress.tty = isatty(STDERR_FILENO) ? 1 : 0;
  return g_progress.tty == 1;
}

void progress_draw(int done) {
  const char *name = strrchr(g_progress.partition, '/');
  name = name ? name + 1 : g_progress.partition;
  fprintf(stderr, "\r\033[Kpartition %s  version %d  packets %d/%d", name, g_progress.version, done,
          g_progress.total);
  fflush(stderr);
  g_progress.shown = true;
}

}  // namespace

void progress_set_version(const char *partition, int version, int total_packets) {
  if (!progress_on_terminal()) return;
  snprintf(g_progress.partition, sizeof g_progress.partition, "%s", partition);
  g_progress.version = version;
  g_progress.total = total_packets;
  g_progress.last_percent = -1;
  progress_draw(0);
}

void progress_set_packets(int packets_done) {
  if (g_progress.tty != 1 || g_progress.total <= 0) return;
  int percent = static_cast<int>(100LL * packets_done / g_progress.total);
  if (percent == g_progress.last_percent) return;
  g_progress.last_percent = percent;
  progress_draw(packets_done);
}

void progress_clear(void) {
  if (!g_progress.shown) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  g_progress.shown = false;
}

namespace {

void print_message(FILE *stream, const char *format, va_list ap) {
  progress_clear();
  vfprintf(stream, format, ap);
  fflush(stream);
}

}  // namespace

void keep_standard_streams_open(void) {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    /* The lowest free number is fd; without /dev/null it stays closed. */
    if (opened >= 0 && opened != fd) close(opened);
  }
}

void vzu_print(FILE *stream, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  print_message(stream, format, ap);
  va_end(ap);
}

void (*vzu_fatal_hook)(void) = NULL;

void vzu_fatal(FILE *stream, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  print_message(stream, format, ap);
  va_end(ap);
  fflush(stdout);
  fflush(stderr);
  if (vzu_fatal_hook) vzu_fatal_hook();
  exit(-1);
}

int shell_quote(const char *in, char *out, size_t outsz) {
  size_t n = 0;
  auto put = [&](char c) {
    if (n + 1 >= outsz) return false;
    out[n++] = c;
    return true;
  };
  if (!put('\'')) return -1;
  for (const char *p = in; *p; ++p) {
    if (*p == '\'') {
      /* close the quote, add an escaped quote, reopen */
      if (!put('\'') || !put('\\') || !put('\'') || !put('\'')) return -1;
    } else if (!put(*p)) {
      return -1;
    }
  }
  if (!put('\'')) return -1;
  out[n] = '\0';
  return 0;
}

int run_shell_command(const char *cmd) {
  fflush(stdout);
  fflush(stderr);
  FILE *fp = popen(cmd, "w");
  if (fp == NULL) return -1;
  int status = pclose(fp);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

int run_shell_command_noted(const char *cmd) {
  int rc = run_shell_command(cmd);
  if (rc > 0) {
    reset_test_start_time();
    vzu_print(stderr, " %s | Note: '%s' ended with status %d\n", g_test_start_time, cmd, rc);
  }
  return rc;
}
