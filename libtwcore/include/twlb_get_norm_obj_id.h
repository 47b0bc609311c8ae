/*
 * twlb_get_norm_obj_id.h - the normalized-ID table: text keys to small dense
 * integer ids.
 *
 * A chained hash table whose first record per bucket lives in the bucket
 * array; overflow records come from a slot pool; every key text and data item
 * is copied into the table's own arena (bigbuf) and referred to by offset.
 * Bucket = FNV-1a over the key bytes (unsigned 64-bit arithmetic, basis
 * 0x811C9DC5, prime 16777619) modulo the largest prime not above the
 * power-of-two size. The caller provides the NormObjKey storage; the table
 * owns everything its fields point to. No lock: one thread at a time.
 *
 * The records are the interface: a bucket record with str = -1 is empty (a
 * new table's records are all zero but for str), an unset id_name entry has
 * all bits set (null after a reset), prev_id is -1 in an empty table. A
 * table still costs what it uses, not its size: its bucket array and id_name
 * start as pages that already hold the empty state and are copied only
 * where written, and a destroyed or reset table restores just the records it
 * wrote, so a rebuilt table of the same size reuses the blocks untouched.
 *
 * Codes: ids >= 0; -2 absent; -1 bad input; unsigned results report bad
 * input as 0xFFFFFFFF (or 0 where stated).
 */
#ifndef TWLB_GET_NORM_OBJ_ID_H
#define TWLB_GET_NORM_OBJ_ID_H

#include "twlb_big_buf.h"
#include "twlb_mem_pool.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One record; the first three fields coincide with the pool's node header. */
typedef struct NormTable {
  struct NormTable *prev;
  struct NormTable *next;
  char slot_status;
  long str;  /* arena offset of the key text; -1: an empty bucket record */
  int len;   /* key length without the zero byte */
  int idx;   /* normalized id */
  long data; /* arena offset of the 8-byte data item; <= 0 = none */
  struct NormTable *nt_next; /* next record of the bucket */
} NormTable;

typedef union {
  char val_char;
  int val_int;
  long val_long;
  double val_double;
  void *val_addr;
} NormTableData;

typedef struct FreeNormIdList {
  int free_id;
  struct FreeNormIdList *next_free_id;
} FreeNormIdList;

typedef struct TreeNode {
  struct TreeNode *left;
  long offset;
  int str_len;
  struct TreeNode *right;
} TreeNode;

typedef struct {
  bigbuf_t bigbuf;      /* key texts and data items */
  int size;             /* buckets, a power of two */
  int prime;            /* largest prime <= size; bucket = hash % prime */
  NormTable *nt;        /* size bucket records */
  NormTable **id_name;  /* id -> record (only twlb_get_or_set_norm_id) */
  int max_norm_id_size; /* entries of id_name */
  int prev_id;          /* highest id set or generated; -1 when empty */
  TreeNode *head;       /* unused, stays NULL */
  FreeNormIdList *free_norm_id_list_head;
  FreeNormIdList *free_norm_id_list_tail;
  twlb_mp_handler *nt_mpool; /* chained records */
} NormObjKey;

/* Sizing rules: smallest power of two >= value (1 for value <= 0); largest
 * prime <= n (1 when none). */
int twlb_change_to_2_power_n(int value);
int get_prime(int n);

/* Initialisers: 0 on success, -1 on failure (NULL key, pool failure). The _ex
 * form adds the id_name index and returns -1 only for a NULL key. */
int twlb_init_norm_id_table(NormObjKey *key, int size);
int twlb_init_norm_id_table_v2(NormObjKey *key, int size, int big_buf_size);
int twlb_init_norm_id_table_ex(NormObjKey *key, int size);
/* Releases everything; the storage may be initialised again. Returns 0. */
int twlb_obj_hash_destroy(NormObjKey *key);
/* Empties the table, keeping its allocations. Returns 0. */
int twlb_obj_hash_reset(NormObjKey *key);

/* Bucket index, or -1 for NULL str or len/size/prime below 1. */
int twlb_get_hash_index_ex(const char *str, int len, int size, int prime);

/* The id of in_str (>= 0); -2 absent; -1 for NULL, length 0 or empty. */
int twlb_get_norm_id(NormObjKey *key, const char *in_str, int in_strlen);
int twlb_get_norm_id_hash_data_ex(NormObjKey *key, const char *in_str,
                                  int in_strlen, int *hs, NormTableData *data);
int twlb_get_norm_id_hash_data(NormObjKey *key, const char *in_str,
                               int in_strlen, int *hs, int *value);

/* Sets in_str to normid unless present (then returns the existing id and
 * changes nothing). 0 for NULL/empty text or a failed hash. */
unsigned int twlb_set_norm_id(NormObjKey *key, const char *in_str,
                              int in_strlen, int normid);
unsigned int twlb_set_norm_id_and_data(NormObjKey *key, const char *in_str,
                                       int in_strlen, int normid, char data);
unsigned int twlb_set_norm_id_and_data_ex(NormObjKey *key, const char *in_str,
                                          int in_strlen, int normid,
                                          NormTableData *data);
void twlb_set_start_norm_id(NormObjKey *key, int start_normid);

/* Generated ids, deletion and reuse. flag_new: 0 when present, else 1 for an
 * empty bucket record or the number of records already in the bucket. */
unsigned int twlb_get_or_gen_norm_id(NormObjKey *key, const char *in_str,
                                     int in_strlen, int *flag_new);
unsigned int twlb_get_or_gen_norm_id_ex(NormObjKey *key, const char *in_str,
                                        int in_strlen, int *flag_new, int *hs);
unsigned int twlb_get_or_set_norm_id(NormObjKey *key, const char *in_str,
                                     int in_strlen, int *flag_new);
unsigned int twlb_get_set_or_gen_norm_id(NormObjKey *key, const char *in_str,
                                         int in_strlen, int *flag_new,
                                         int normid);
unsigned int twlb_get_set_or_gen_norm_id_ex(NormObjKey *key, const char *in_str,
                                            int in_strlen, int *flag_new);
/* Stored text of the record registered under norm_id; "InvalidInput" or
 * "NormIdNameNotFound" otherwise. */
char *twlb_get_norm_table_data(NormObjKey *key, int norm_id);
/* 0 when removed (id through norm_id, appended to the free list); -1 else. */
int twlb_delete_norm_id_ex(NormObjKey *key, const char *in_str, int in_strlen,
                           int *norm_id);
int twlb_delete_norm_id(NormObjKey *key, int hash);
void twlb_add_id_in_free_list(NormObjKey *key, int data);
void add_pnt_to_idname(NormObjKey *key, int norm_id, NormTable *p_nt);

#ifdef __cplusplus
}
#endif

#endif /* TWLB_GET_NORM_OBJ_ID_H */
