/*
 * twlb_big_buf.cpp - the growable text arena. Appends never fail for lack of
 * memory (the tracked allocation ends the process instead); the arena grows
 * by exactly one 10240-byte step per reallocation and added bytes are
 * zeroed, so the tail of the arena past `offset` reads as zeros.
 *
 * The arena is a zeroed block (twlb_alloc.h): it comes zero without a pass
 * over it, and because everything past `offset` is zero, clearing the bytes
 * before `offset` makes it whole zero again when it is released, at the cost
 * of what was used rather than of its size.
 */
#include "twlb_big_buf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "twlb_alloc.h"
#include "twlb_block_source.h"
#include "twlb_log.h"
#include "twlb_util.h"

namespace {

constexpr size_t kFileReadChunk = 4096;
constexpr size_t kErrMsgSize = 1024;

int init_with_size(bigbuf_t *bigbuf, int size) {
  TWLB_TRACE(TWLB_LOG_MINOR, MISC,
             "Method called, allocate big buffer of len = 1MB");
  TWLB_CALLOC(bigbuf->buffer, size, "bigbuf");
  bigbuf->offset = 0;
  bigbuf->bufsize = size;
  return 0;
}

void trace_append(const bigbuf_t *bigbuf, int len) {
  TWLB_TRACE(TWLB_LOG_MINOR, MISC,
             "Method called. bufsize = %d, bigbuf buffer = %p, needed space = "
             "%d, offset = %d",
             static_cast<int>(bigbuf->bufsize), bigbuf->buffer, len + 1,
             static_cast<int>(bigbuf->offset));
}

// The text may be a raw item without a zero byte: print len bytes at most.
void trace_copy(const char *string, int len) {
  TWLB_TRACE(TWLB_LOG_MINOR, MISC, "Copy data '%.*s' of len '%d' into big buf",
             len, string, len);
}

// Grows until len + 1 bytes fit after offset; 0, or -1 when growth failed.
int reserve(bigbuf_t *bigbuf, int len) {
  while (twlb_bigbuf_chk_avail_space(bigbuf, len + 1) == 0)
    if (twlb_bigbuf_realloc(bigbuf) != 0) return -1;
  return 0;
}

// Writes the zero byte after len bytes already placed; the old offset.
long commit(bigbuf_t *bigbuf, int len) {
  long start = bigbuf->offset;
  bigbuf->buffer[start + len] = '\0';
  bigbuf->offset += len + 1;
  return start;
}

long copy_bytes(bigbuf_t *bigbuf, const char *string, int len) {
  if (reserve(bigbuf, len) != 0) return -1;
  trace_copy(string, len);
  memcpy(bigbuf->buffer + bigbuf->offset, string, static_cast<size_t>(len));
  return commit(bigbuf, len);
}

// Reads exactly len bytes of fd into the arena at offset; false on error.
bool read_file_into(bigbuf_t *bigbuf, int fd, int len) {
  char *dst = bigbuf->buffer + bigbuf->offset;
  size_t left = static_cast<size_t>(len);
  while (left > 0) {
    ssize_t n = read(fd, dst, left < kFileReadChunk ? left : kFileReadChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    // A file that shrank since its size was taken: the missing tail stays
    // zero (the arena past offset is zeroed) rather than blocking or failing.
    if (n == 0) break;
    dst += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// The file part of the extended append; offset or -1 with err_msg set.
long append_file(bigbuf_t *bigbuf, const char *path, char *err_msg) {
  fprintf(stderr, "LBBB: Read file %s\n", path);
  struct stat st;
  if (stat(path, &st) != 0) {
    int err = errno;
    snprintf(err_msg, kErrMsgSize, "File '%s' does not exists. err(%d)=%s.",
             path, err, twlb_strerror(err));
    return -1;
  }
  fprintf(stderr, "LBBB: Read file-size = %ld\n",
          static_cast<long>(st.st_size));
  if (st.st_size == 0) {
    int err = errno;
    snprintf(err_msg, kErrMsgSize, "File '%s' is blank err(%d)=%s.", path, err,
             twlb_strerror(err));
    return -1;
  }
  int len = static_cast<int>(st.st_size);
  TWLB_TRACE(TWLB_LOG_MINOR, MISC, "file size = %ld",
             static_cast<long>(st.st_size));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    snprintf(err_msg, kErrMsgSize, "Failed to open file '%s'. err(%d)=%s", path,
             err, twlb_strerror(err));
    return -1;
  }
  fprintf(stderr, "LBBB: Read and fill into bigbuf = %d\n", len);
  if (reserve(bigbuf, len) != 0) {
    close(fd);
    return -1;
  }
  trace_copy(path, len);
  bool ok = read_file_into(bigbuf, fd, len);
  int err = errno;
  close(fd);
  if (!ok) {
    snprintf(err_msg, kErrMsgSize, "Error in reading file[%s]. SysErr[%s]",
             path, twlb_strerror(err));
    return -1;
  }
  return commit(bigbuf, len);
}

}  // namespace

extern "C" {

int twlb_bigbuf_init(bigbuf_t *bigbuf) {
  if (!bigbuf) return -1;
  return init_with_size(bigbuf, BIGBUF_INIT_SIZE);
}

int twlb_bigbuf_init_ex(bigbuf_t *bigbuf, int init_size) {
  if (!bigbuf || init_size <= 0) return -1;
  return init_with_size(bigbuf, init_size);
}

int twlb_bigbuf_realloc(bigbuf_t *bigbuf) {
  if (!bigbuf) return -1;
  long new_size = bigbuf->bufsize + BIGBUF_GROW_SIZE;
  /* The added bytes come zero. */
  if (bigbuf->buffer)
    TWLB_REALLOC_ZEROED(bigbuf->buffer, new_size, bigbuf->bufsize, 0, "bigbuf",
                        -1);
  else
    TWLB_CALLOC(bigbuf->buffer, new_size, "bigbuf");
  bigbuf->bufsize = new_size;
  return 0;
}

int twlb_bigbuf_chk_avail_space(bigbuf_t *bigbuf, int needed_space) {
  if (!bigbuf) return -1;
  TWLB_TRACE(TWLB_LOG_MINOR, MISC,
             "Method called. needed space = %d, bufsize = %d, bigbuf buffer = "
             "%p, ",
             needed_space, static_cast<int>(bigbuf->bufsize), bigbuf->buffer);
  return bigbuf->offset + needed_space < bigbuf->bufsize ? 1 : 0;
}

long twlb_bigbuf_copy_into_bigbuf(bigbuf_t *bigbuf, char *string, int len) {
  if (!bigbuf || !string || len < 0)
    return -1;  // a negative length copies nothing
  if (len == 0) len = static_cast<int>(strlen(string));
  trace_append(bigbuf, len);
  return copy_bytes(bigbuf, string, len);
}

long twlb_bigbuf_copy_into_bigbuf_ex(bigbuf_t *bigbuf, char *string, int len,
                                     char flag, char *err_msg) {
  fprintf(stderr, "Method called, string = %s, len = %d, flag = %d",
          string ? string : "(null)", len, flag);
  if (!bigbuf || !string || !err_msg) return -1;
  if (len < 0) {
    snprintf(err_msg, kErrMsgSize, "Length %d is negative", len);
    return -1;
  }
  if (len == 0) len = static_cast<int>(strlen(string));
  if (flag != BIGBUF_TYPE_BUFFER && flag != BIGBUF_TYPE_FILE) {
    snprintf(err_msg, kErrMsgSize, "%s",
             "Flag type can only be BIGBUF_TYPE_FILE or BIGBUF_TYPE_BUFFER");
    return -1;
  }
  trace_append(bigbuf, len);
  long start;
  if (flag == BIGBUF_TYPE_FILE) {
    start = append_file(bigbuf, string, err_msg);
  } else {
    fprintf(stderr, "LBBB: Read and fill into bigbuf = %d\n", len);
    start = copy_bytes(bigbuf, string, len);
  }
  if (start >= 0) fprintf(stderr, "DONE!!!, offset = %ld\n", bigbuf->offset);
  return start;
}

void twlb_bigbuf_clear_used(bigbuf_t *bigbuf) {
  if (!bigbuf || !bigbuf->buffer) return;
  memset(bigbuf->buffer, 0, static_cast<size_t>(bigbuf->offset));
  bigbuf->offset = 0;
}

char *twlb_bigbuf_get_value(bigbuf_t *bigbuf, long offset) {
  if (!bigbuf) return nullptr;
  return bigbuf->buffer + offset;
}

void twlb_bigbuf_free(bigbuf_t *bigbuf) {
  if (!bigbuf) return;
  if (bigbuf->buffer) {
    // Bytes past offset may have been written (through get_value, or before
    // a caller set offset back to 0 to overwrite the arena): the whole arena
    // is cleared before the zeroed-block cache hands it to the next init,
    // its untouched pages given back rather than written (a table's arena is
    // mostly never used, and writing it made every arena resident).
    twlb_zero_block_clear(bigbuf->buffer, static_cast<size_t>(bigbuf->bufsize),
                          static_cast<size_t>(bigbuf->offset));
    TWLB_FREE_ZEROED(bigbuf->buffer, bigbuf->bufsize, "bigbuf", -1);
  }
  bigbuf->offset = 0;
  bigbuf->bufsize = 0;
}

}  // extern "C"
