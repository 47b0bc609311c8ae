/*
 * twlb_util.h - text and time utilities shared by the tool and the library:
 * field splitters, a re-entrant tokenizer, a bounded line reader, time-stamp
 * formatters, per-thread error texts, and the two file helpers that the store
 * library calls back by name (mkdir_ex, twlb_copy_file).
 *
 * Per-thread buffers (tw_strtok's position, get_cur_date_time's and
 * twlb_strerror's results, the error text) are thread_local: no locking.
 */
#ifndef TWLB_UTIL_H
#define TWLB_UTIL_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Splits read_buf in place at any character of `token`; runs of delimiters
 * count as one, so no field is empty. Stores up to max_flds field pointers in
 * fields[] and returns their number (max_flds when more existed; the extra
 * field is cut off but not stored). NULL read_buf returns 0. */
int get_tokens(char *read_buf, char *fields[], char *token, int max_flds);

/* Splits read_buf in place at every occurrence of the whole string `token`
 * (with tw_strtok); empty fields count. Returns the number of fields, capped
 * at max_flds like get_tokens. */
int get_tokens_ex2(char *read_buf, char *fields[], char *token, int max_flds);

/* Re-entrant per thread strtok on a whole separator string; empty fields are
 * returned. A non-NULL str starts a new string; NULL when exhausted. */
char *tw_strtok(char *str, char *delim);

/* Reads up to and including a line feed, at most max-1 characters, and
 * terminates dst. With flag non-zero, the rest of a line that did not fit is
 * read and dropped. NULL for bad arguments or end of file before any
 * character; else dst. */
char *twlb_fgets(char *dst, int max, FILE *fp, int flag);

/* Local time as "MM/DD/YY hh:mm:ss" into time_string (at least 18 bytes);
 * with need_to_block_signal 1 all signals are blocked around the conversion
 * and unblocked after. "Error|Error" when the time cannot be had. */
char *twlb_get_cur_date_time(char *time_string, int need_to_block_signal);

/* The same format in a per-thread 100-byte buffer; "Error" on failure. */
char *get_cur_date_time(void);

/* The system's text for errno value num in a per-thread 256-byte buffer. */
char *twlb_strerror(int num);

/* Sets / returns the per-thread library error text (256 characters). */
void twlb_set_error(char *error);
char *twlb_get_error(void);

/* Creates every directory leading to the last component of absolute `path`
 * (and the last one too when path ends with "/"), mode 0777 under the umask.
 * Existing directories are fine. 1 on success, 0 on failure (message on
 * standard error). */
int mkdir_ex(char *path);

/* Writes all len bytes of buf to fd, resuming after interrupts and short
 * writes. 0 on success; -1 on a write error (errno set). */
int twlb_write_all(int fd, const char *buf, size_t len);

/* Copies src_file to dest_file (created or truncated, 0666) in chunks of up
 * to 64,000 bytes. 0 on success; -1 with a message in err_msg. */
int twlb_copy_file(char *dest_file, char *src_file, char *err_msg);

#ifdef __cplusplus
}
#endif

#endif /* TWLB_UTIL_H */
