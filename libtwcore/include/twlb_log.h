/*
 * twlb_log.h - the core library's own debug log.
 *
 * A record passes only when its level bits meet twlb_log_level and its module
 * bits meet lib_module_mask; both are 0 by default, so nothing is written
 * until a program switches the log on with the setters below. Call sites use
 * TWLB_TRACE, which tests the masks inline before any argument is formatted.
 * Records go to log_file through one unbuffered write each; a file grown past
 * max_debug_log_file_size is renamed to "<log_file>.prev" (under flock) and
 * a new one started. The globals are not locked.
 */
#ifndef TWLB_LOG_H
#define TWLB_LOG_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Level bytes: one byte of the 32-bit mask per level. */
#define TWLB_LOG_CRITICAL 0xFFu      /* level 1 */
#define TWLB_LOG_MAJOR 0xFF00u       /* level 2 */
#define TWLB_LOG_MINOR 0xFF0000u     /* level 3 */
#define TWLB_LOG_WARNING 0xFF000000u /* level 4 */

/* Module bits of the library's callers (ALL converts to every bit). */
enum { SEARCH = 0x1, API = 0x10, MISC = 0x20, MEMORY = 0x40, ALL = -1 };

#define TWLB_LOG_RECORD_MAX 64000 /* whole record, header included */

extern unsigned int twlb_log_level;          /* enabled level bits; 0 */
extern unsigned long long lib_module_mask;   /* enabled module bits; 0 */
extern char log_file[1024];                  /* path of the log; empty */
extern int lib_debug_fd;                     /* -1 until opened */
extern unsigned int max_debug_log_file_size; /* rollover size; 100,000,000 */
extern FILE *twlb_log_fp; /* stream over a log that got a header */

/* Non-zero when a record of these level and module bits would be written. */
static inline int twlb_log_enabled(unsigned int level,
                                   unsigned long long module) {
  return (level & twlb_log_level) != 0 && (module & lib_module_mask) != 0;
}

/* Writes one record "\n<date time>|<file>|<line>|<fname>|<message>" (at most
 * 64,000 bytes) when tmp_log_level meets twlb_log_level and mask meets
 * lib_module_mask; otherwise returns at once. Failures go to stderr. */
void twlb_debug_log_ex(int tmp_log_level, unsigned long long mask,
                       const char *file, int line, const char *fname,
                       const char *format, ...)
    __attribute__((format(printf, 6, 7)));

/* Trace from a call site; nothing is evaluated unless the masks pass. */
#define TWLB_TRACE(level, module, ...)                                        \
  do {                                                                        \
    if (twlb_log_enabled((level), (module)))                                  \
      twlb_debug_log_ex((int)(level), (module), __FILE__, __LINE__, __func__, \
                        __VA_ARGS__);                                         \
  } while (0)

/* The same for a call site given explicitly (operations that report on
 * behalf of their caller). */
#define TWLB_TRACE_AT(level, module, file, line, func, ...)             \
  do {                                                                  \
    if (twlb_log_enabled((level), (module)))                            \
      twlb_debug_log_ex((int)(level), (module), (file), (line), (func), \
                        __VA_ARGS__);                                   \
  } while (0)

/* twlb_open_log without a header; a negative result is also reported as
 * "Failed to open(<path>). Error = <text>" on stderr. Returns that result. */
int open_log_ex(const char *log_file, int *fd, unsigned int max_size);

/* Rolls over *fd when due, then opens log_file into *fd if it is not open.
 * 1: a new file got the header; 0: no header written; -1: open failed. */
int twlb_open_log(int *fd, const char *log_file, int max_file_size,
                  const char *header);

/* 0 when *fd is open already or log_file was opened without a header; 1 when
 * it did not exist and got `header` (may be NULL); -1 when open failed. */
int twlb_open_file_with_header(int *fd, const char *log_file,
                               const char *header);

/* When *fd is larger than max_file_size: renames log_file (if it still names
 * the open file and the exclusive flock is granted) to "%s.prev"
 * (prev_or_mmdd != 0) or "%s.HH.MM", then closes *fd and sets it to -1.
 * Always 0. */
int twlb_check_rollover_file(int *fd, const char *log_file, int max_file_size,
                             int prev_or_mmdd);

/* Setters of the globals above; NULL names are left unchanged. */
void twlb_util_set_debug_log_level(int level);
void twlb_util_set_modulemask(unsigned long mask);
void twlb_util_set_log_filename(const char *log_file_name,
                                const char *error_log_file_name);
void twlb_util_set_debug_log_size(unsigned int size);
void twlb_util_set_debug_log_fp(FILE *fp);

#ifdef __cplusplus
}
#endif

#endif /* TWLB_LOG_H */
