/*
 * twlb_big_buf.h - a growable byte arena. Texts are appended one after
 * another, each followed by a zero byte; every append returns the offset at
 * which it starts. Users keep offsets, never pointers: growing may move the
 * arena. Starts at 1 MB and grows in 10240-byte steps through the tracked
 * allocation ("bigbuf"). One thread at a time per arena. Every byte past
 * `offset` is zero; users move `offset` only through these calls.
 */
#ifndef TWLB_BIG_BUF_H
#define TWLB_BIG_BUF_H

#ifdef __cplusplus
extern "C" {
#endif

#define BIGBUF_INIT_SIZE 1048576
#define BIGBUF_GROW_SIZE 10240
#define BIGBUF_TYPE_BUFFER 0
#define BIGBUF_TYPE_FILE 1

typedef struct {
  char *buffer; /* start of the arena; NULL before init and after free */
  long offset;  /* bytes in use; the next append starts here */
  long bufsize; /* size of the arena */
} bigbuf_t;

/* 0, or -1 for a NULL handle. */
int twlb_bigbuf_init(bigbuf_t *bigbuf);
/* 0, or -1 for a NULL handle or a non-positive size. */
int twlb_bigbuf_init_ex(bigbuf_t *bigbuf, int init_size);
/* Grows by one step; 0, or -1 for a NULL handle. */
int twlb_bigbuf_realloc(bigbuf_t *bigbuf);
/* 1 when offset + needed_space < bufsize, 0 when not, -1 for NULL. */
int twlb_bigbuf_chk_avail_space(bigbuf_t *bigbuf, int needed_space);
/* Appends len bytes (len 0: strlen) and a zero byte; offset or -1. */
long twlb_bigbuf_copy_into_bigbuf(bigbuf_t *bigbuf, char *string, int len);
/* As above from memory (flag BIGBUF_TYPE_BUFFER) or from the file named by
 * string (BIGBUF_TYPE_FILE); -1 with a message in err_msg. */
long twlb_bigbuf_copy_into_bigbuf_ex(bigbuf_t *bigbuf, char *string, int len,
                                     char flag, char *err_msg);
/* buffer + offset, or NULL for a NULL handle. */
char *twlb_bigbuf_get_value(bigbuf_t *bigbuf, long offset);
/* Empties the arena, keeping its size: zeroes the bytes used and sets
 * offset to 0. Nothing for a NULL handle or arena. */
void twlb_bigbuf_clear_used(bigbuf_t *bigbuf);
/* Releases the arena and zeroes the handle; harmless twice. */
void twlb_bigbuf_free(bigbuf_t *bigbuf);

#ifdef __cplusplus
}
#endif

#endif /* TWLB_BIG_BUF_H */
