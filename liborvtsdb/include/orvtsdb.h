/*
 * orvtsdb.h - the time-series store's nine-call migration interface.
 *
 * A migration tool feeds the store through these calls from one thread:
 * tsdb_init_migration() once, tsdb_register_gdf() per metric group, per
 * vector a metric id buffer and a first insert by group id followed by
 * inserts by id, tsdb_migration_increment_sample_ex() once per sample
 * step, tsdb_delete_metric_by_id() when a vector disappears and
 * tsdb_exit_migration() last.
 *
 * The two records below are read by the store byte for byte: their layout
 * (little-endian, natural alignment) is fixed and checked at compile time.
 * int is 32-bit, long 64-bit. Message buffers passed in are 1024 bytes.
 * The metric id buffer is a plain heap block: the caller may release it
 * with free().
 */
#ifndef ORVTSDB_H
#define ORVTSDB_H

#ifdef __cplusplus
extern "C" {
#endif

/* The value that marks a missing sample: -2^63 as a double. */
#define TSDB_MISSING_VALUE (-9223372036854775808.0)

/* Size of every message buffer handed to the store. */
#define TSDB_ERR_MSG_LEN 1024

typedef struct {
  char *tag;
  char *val;
} tag_val_ptr_t;

/* One metric group, handed to tsdb_register_gdf(). 1832 bytes. */
typedef struct {
  char group_name[257];                  /*    0 */
  char group_desc[1025];                 /*  257 */
  char group_metric[257];                /* 1282 */
  char heirarchy[257];                   /* 1539 */
  unsigned short num_graphs;             /* 1796 */
  signed char group_type;                /* 1798: 1 vector, 0 scalar */
                                         /* 1799: 1 byte padding */
  int rpt_grp_id;                        /* 1800 */
  unsigned short metric_delay_in_second; /* 1804 */
                                         /* 1806: 2 bytes padding */
  union {
    char *roll_up_command;
    long roll_up_command_offset;
  }; /* 1808 */
  union {
    char *group_by_command;
    long group_by_command_offset;
  }; /* 1816 */
  union {
    char *group_attributes;
    long group_attributes_offset;
  }; /* 1824 */
} tsdb_metric_group;

/* One graph of a group; an array in Graph line order. 1608 bytes. */
typedef struct {
  signed char graph_type;       /*    0: 1 vector, 0 scalar, -1 other */
  unsigned char data_type;      /*    1: see orvtsdb_data_types.h */
  signed char formula;          /*    2: -1 unknown */
  signed char graph_state;      /*    3: 100 excluded */
  signed char metric_priority;  /*    4 */
  char unit;                    /*    5 */
  unsigned char next_hml;       /*    6 */
  char agg_by;                  /*    7 */
  unsigned short rpt_id;        /*    8 */
  unsigned short num_vectors;   /*   10 */
  unsigned int graph_msg_index; /*   12 */
  unsigned int pdf_data_index;  /*   16 */
  unsigned int cm_index;        /*   20 */
  int pdf_info_idx;             /*   24 */
  int pdf_id;                   /*   28 */
  int presets_bv[4];            /*   32 */
  char derived_formula[257];    /*   48 */
  char graph_name[257];         /*  305 */
  char graph_desc[1025];        /*  562 */
  char num_fileds_per_graph;    /* 1587 */
  char pad[3];                  /* 1588 */
  int size;                     /* 1592 */
                                /* 1596: 4 bytes padding */
  union {
    char *graph_attributes;
    long graph_attributes_offset;
  }; /* 1600 */
} tsdb_metric_info;

/* Opens a migration whose first sample lies at start_time_sec. Result ignored
 * by the tool; 0 on success, negative on failure. */
int tsdb_init_migration(long start_time_sec);

/* Registers (or finds) a group with its graphs. Returns the group id (>= 0),
 * the same id for the same group name every time; negative on failure with a
 * text in err_msg. */
int tsdb_register_gdf(tsdb_metric_group *group, int num_graphs, tsdb_metric_info *graphs,
                      char *err_msg);

/* A metric id buffer for a vector of a group of num_graphs graphs; a plain
 * heap block (free() releases it). NULL when num_graphs is not positive. */
void *tsdb_malloc_metric_id_buffer(int num_graphs);

/* First insert of a vector: creates (or reopens) the series named by the
 * group mg_gid and the tag/value list, fills metric_id and stores data
 * (total_elements doubles) at the current sample. 0 on success, negative on
 * failure with a text in err_msg. */
int tsdb_insert_bulk_metric_by_mg_gid_ex(tag_val_ptr_t *tag_val, void *reserved1, void *reserved2,
                                         int reserved3, int num_tag_val, int mg_gid,
                                         int granularity, double *data, int num_graphs,
                                         void *metric_id, int reserved4, char *err_msg,
                                         int total_elements);

/* Later inserts of a vector already created. 0 on success, negative on
 * failure. */
int tsdb_insert_bulk_metric_by_id(void *reserved1, void *metric_id, int granularity, double *data,
                                  int num_graphs, int reserved2, int total_elements);

/* Moves the sample clock on by one step of granularity seconds. */
int tsdb_migration_increment_sample_ex(int granularity);

/* Ends the vector's series at the current sample. 0 = done; anything else
 * (0xFF) = failure with a text in err_msg, the buffer stays the caller's. */
unsigned char tsdb_delete_metric_by_id(void *metric_id, char *err_msg);

/* Releases a metric id buffer. */
void tsdb_free_metric_id_buffer(void *metric_id);

/* Closes the migration; its samples become visible now. 0 on success. */
int tsdb_exit_migration(long end_time_sec);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <cstddef>
#define ORVTSDB_LAYOUT_ASSERT static_assert
#define ORVTSDB_OFFSETOF offsetof
#else
#include <stddef.h>
#define ORVTSDB_LAYOUT_ASSERT _Static_assert
#define ORVTSDB_OFFSETOF offsetof
#endif

ORVTSDB_LAYOUT_ASSERT(sizeof(tsdb_metric_group) == 1832, "tsdb_metric_group size");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_group, group_desc) == 257, "group_desc");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_group, group_metric) == 1282, "group_metric");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_group, heirarchy) == 1539, "heirarchy");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_group, num_graphs) == 1796, "num_graphs");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_group, group_type) == 1798, "group_type");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_group, rpt_grp_id) == 1800, "rpt_grp_id");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_group, metric_delay_in_second) == 1804, "delay");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_group, roll_up_command) == 1808, "roll_up");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_group, group_by_command) == 1816, "group_by");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_group, group_attributes) == 1824, "attributes");

ORVTSDB_LAYOUT_ASSERT(sizeof(tsdb_metric_info) == 1608, "tsdb_metric_info size");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, data_type) == 1, "data_type");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, formula) == 2, "formula");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, graph_state) == 3, "graph_state");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, metric_priority) == 4, "priority");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, agg_by) == 7, "agg_by");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, rpt_id) == 8, "rpt_id");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, num_vectors) == 10, "num_vectors");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, graph_msg_index) == 12, "msg_index");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, pdf_data_index) == 16, "pdf_data_index");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, cm_index) == 20, "cm_index");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, pdf_info_idx) == 24, "pdf_info_idx");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, pdf_id) == 28, "pdf_id");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, presets_bv) == 32, "presets_bv");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, derived_formula) == 48, "derived_formula");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, graph_name) == 305, "graph_name");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, graph_desc) == 562, "graph_desc");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, num_fileds_per_graph) == 1587,
                      "num_fileds");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, pad) == 1588, "pad");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, size) == 1592, "size");
ORVTSDB_LAYOUT_ASSERT(ORVTSDB_OFFSETOF(tsdb_metric_info, graph_attributes) == 1600,
                      "graph_attributes");

#endif /* ORVTSDB_H */
