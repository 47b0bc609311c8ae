/*
 * twlb_mem_pool.h - a pool of fixed-size slots handed out from chunks and
 * kept on a free list and a busy list (both doubly linked, both ends held, so
 * get and free are constant time). Chunks are released only by destroy.
 * With handler_flag 1 the list operations hold mem_pool_lock.
 */
#ifndef TWLB_MEM_POOL_H
#define TWLB_MEM_POOL_H

#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef pthread_mutex_t LOCK;

/* Slot header: every slot record begins with these three fields. */
typedef struct node {
  struct node *prev;
  struct node *next;
  char slot_status; /* bit 0: first slot of a chunk (the chunk's start) */
} node;

typedef struct {
  char handler_flag;       /* 1: list operations lock mem_pool_lock */
  int num_slots_init;      /* slots in the first chunk */
  int num_slots_increment; /* slots in each later chunk */
  int num_slots_max;       /* limit over all chunks; 0 = none */
  node *free_head, *free_tail;
  node *busy_head, *busy_tail;
  int slot_size;         /* bytes per slot, header included */
  int num_malloced_slot; /* chunks obtained so far */
  LOCK mem_pool_lock;
} twlb_mp_handler;

/* 0, or 1 when slot_size is 0. Obtains no memory. */
int twlb_mp_init(twlb_mp_handler *mpool, int slot_size, int num_slot_init,
                 int num_slots_increment, int handle_flag);
/* Adds a chunk: 0; 1 for NULL/slot size 0; -1 when the maximum allows no
 * further slot ("Memory pool max limit reached") or the size is not
 * positive. */
int twlb_mp_create(twlb_mp_handler *mpool);
/* A slot moved from the free list to the busy list, or NULL. */
void *twlb_mp_get_slot(twlb_mp_handler *mpool);
/* Busy slot back to the free tail (reused last) / free head (reused next). */
void twlb_mp_free_slot(twlb_mp_handler *mpool, void *slot);
void twlb_mp_free_slot_ex(twlb_mp_handler *mpool, void *slot);
/* Every busy slot back with twlb_mp_free_slot, busy head first. */
void twlb_mp_free_all_slots(twlb_mp_handler *mpool);
/* Removes and returns the busy head (on neither list afterwards). */
void *twlb_mp_get_busy_head(twlb_mp_handler *mpool);
/* The busy head, not removed. */
void *twlb_mp_check_busy_head(twlb_mp_handler *mpool);
/* A slot from twlb_mp_get_busy_head back to the free head. */
void twlb_mp_free_busy_head(twlb_mp_handler *mpool, void *slot);
void twlb_mp_set_max(twlb_mp_handler *mpool, int max);
/* Releases every chunk and clears the handler. */
void twlb_mp_destroy(twlb_mp_handler *mpool);
/* Text of a pool error code. */
char *mpool_errstr(int errno_val);

#ifdef __cplusplus
}
#endif

#endif /* TWLB_MEM_POOL_H */
