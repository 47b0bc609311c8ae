/*
 * input_file.cpp - opens the run's input files (graph definitions and raw
 * samples). Only regular files are read: a FIFO would block the tool for
 * good, a folder or a device reads nothing or never ends, so anything else
 * is refused by name. Opening never blocks (O_NONBLOCK until the file is
 * known to be regular). Single thread.
 */
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "twlb_util.h"
#include "vira_zedazad_uvoz_izu.h"

int open_regular_file(const char *path, const char **why) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = twlb_strerror(errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *why = "not a regular file";
    return -2;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

FILE *fopen_regular(const char *path, const char **why, bool *not_regular) {
  int fd = open_regular_file(path, why);
  *not_regular = fd == -2;
  if (fd < 0) return NULL;
  FILE *fp = fdopen(fd, "r");
  if (fp == NULL) {
    *why = twlb_strerror(errno);
    close(fd);
  }
  return fp;
}

void refuse_input_file(const char *kind, const char *path, const char *why) {
  reset_test_start_time();
  TRACE1("%s %s refused: %s\n", kind, path, why);
  vzu_fatal(stderr, " %s | %s '%s' refused: %s\n", g_test_start_time, kind, path, why);
}
