/*
 * twlb_mem_map.h - the per-thread allocation map: an optional record of the
 * live blocks of the tracked allocation (address, size, call site, name, and
 * when it was recorded), findable by the block's printed address through a
 * normalized-ID table of its own, and dumpable to a file.
 *
 * Inactive (records nothing) until the thread calls twlb_mem_map_init. The
 * map's own table and array come from the tracked allocation too, so it
 * suspends itself while it works on them. All state is thread_local.
 */
#ifndef TWLB_MEM_MAP_H
#define TWLB_MEM_MAP_H

#include <stddef.h>

#include "twlb_alloc.h"
#include "twlb_get_norm_obj_id.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TWLB_MEM_MAP_INIT_ENTRIES 10240
#define TWLB_MEM_MAP_GROW_ENTRIES 10

typedef struct {
  void *address;      /* the block; NULL in a free entry */
  size_t size;        /* requested size plus the extra size; 0 when free */
  char message[256];  /* "file|line|function|name", at most 255 chars */
  char timestamp[32]; /* local date and time of the recording */
} OrvMemoryMap;

extern TWLB_THREAD_LOCAL OrvMemoryMap *orv_mem_map; /* the entry array */
extern TWLB_THREAD_LOCAL int mem_map_entry_max;     /* entries; 0 = inactive */
extern TWLB_THREAD_LOCAL int mem_map_max_norm_id;   /* highest index created */
extern TWLB_THREAD_LOCAL NormObjKey mem_map_norm_tbl; /* address -> index */

/* Starts this thread's map: 0, or -1 when it is already active. */
int twlb_mem_map_init(void);
/* Records (or overwrites) the entry of address: 0; -1 when the map is
 * inactive, address is NULL, or msg is NULL or empty. */
int twlb_mem_map_add(void *address, size_t size, const char *msg,
                     const char *file, int line, const char *func);
/* Clears the entry of address: 0; -1 when inactive, NULL or unknown. */
int twlb_mem_map_remove(void *address);
/* Makes sure entry norm_id exists, growing the array 10 entries at a time. */
void twlb_mem_map_create_entry(int norm_id);
/* Writes the header line and every live entry in index order to fname:
 * 0; -1 for a NULL/empty name, an inactive map or a file not opened. */
int twlb_mem_map_dump(const char *fname);
/* Stops the map and releases its table and array: 0; -1 when inactive. */
int twlb_mem_map_free(void);

#ifdef __cplusplus
}
#endif

#endif /* TWLB_MEM_MAP_H */
