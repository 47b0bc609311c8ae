/*
 * rtg_file_block.cpp - the one block of memory that holds a raw sample file
 * while the packet walk (packet_walk.cpp) goes over its packets, and the
 * whole-file read into it.
 *
 * One block serves every file of the migration: it grows (the old one
 * released first) only when a file is larger than any before, so peak memory
 * stays the largest file and the pages of the block are faulted in once
 * rather than once per file. The block is never released: it lives until
 * process exit. Single thread.
 */
#include <errno.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "vira_zedazad_uvoz_izu.h"

namespace {

/* A large block asks for transparent huge pages: with 4 KiB pages the first
 * touch of every page is a fault, which on a virtual machine costs more than
 * decoding the page. */
constexpr size_t kHugePage = 2u << 20;

char *alloc_file_block(size_t bytes) {
  if (bytes < kHugePage) return static_cast<char *>(malloc(bytes));
  void *p = nullptr;
  if (posix_memalign(&p, kHugePage, bytes) != 0) return nullptr;
  madvise(p, bytes, MADV_HUGEPAGE); /* a hint: without huge pages it still works */
  return static_cast<char *>(p);
}

char *s_block = nullptr;
size_t s_block_size = 0;

/* The reused block, at least `bytes` long; null when memory fails. */
char *file_block(size_t bytes) {
  if (bytes <= s_block_size) return s_block;
  free(s_block);
  s_block_size = 0;
  s_block = alloc_file_block(bytes);
  if (s_block) s_block_size = bytes;
  return s_block;
}

/* Reads up to len bytes, resuming after interrupts and short reads; the
 * count read (less only at end of file or on an error). */
long read_fully(int fd, char *buf, long len) {
  long got = 0;
  while (got < len) {
    ssize_t n = read(fd, buf + got, static_cast<size_t>(len - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  return got;
}

}  // namespace

char *rtg_read_whole_file(int fd, int size) {
  char *buf = size >= 0 ? file_block(static_cast<size_t>(size) + 1) : nullptr;
  if (!buf) vzu_fatal(stderr, "*********Unable to allocated memory ********\n");
  long got = read_fully(fd, buf, size);
  if (got != size) {
    close(fd);
    vzu_fatal(stdout, "File is partitially read %ld  and fd %d", got, fd);
  }
  buf[size] = '\0';
  return buf;
}
