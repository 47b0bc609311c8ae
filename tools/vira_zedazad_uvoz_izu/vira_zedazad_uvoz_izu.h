/*
 * vira_zedazad_uvoz_izu.h - the state and the functions that the migration
 * tool's sources share.
 *
 * The tool migrates a finished load-test run ("%s/logs/TR%d" under TW_WDIR)
 * into the time-series store, partition by partition and version by version.
 * It is one single-threaded process: every global below is defined in exactly
 * one source file (named in its group's heading) and read everywhere.
 * Tables grow with create_table_entry() and move when they grow: holders keep
 * row indexes, never pointers into a table, across anything that adds a row.
 * Every fatal condition prints one fixed message and ends the process with
 * exit status -1 (vzu_fatal); there is no clean-up path.
 */
#ifndef VIRA_ZEDAZAD_UVOZ_IZU_H
#define VIRA_ZEDAZAD_UVOZ_IZU_H

#include <dirent.h>
#include <stddef.h>
#include <stdio.h>

#include "orvtsdb.h"
#include "rtg_packet.h"
#include "twlb_get_norm_obj_id.h"

/* ---------------------------------------------------------------------------
 * Fatal exits and console messages (console.cpp)
 * ------------------------------------------------------------------------ */

/* The one choke point for fatal conditions: prints the formatted message to
 * `stream` (after clearing the progress line) and ends the process with exit
 * status -1. */
[[noreturn]] void vzu_fatal(FILE *stream, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* When set, vzu_fatal calls it after the message instead of ending the
 * process; it must not return (an in-process driver jumps back to itself).
 * NULL in the tool. */
extern void (*vzu_fatal_hook)(void);

/* Opens /dev/null on any of descriptors 0 to 2 the caller left closed, so
 * that the files the tool opens later never take their numbers and receive
 * console messages. Called first thing. */
void keep_standard_streams_open(void);

/* Prints a console message to `stream` after clearing the progress line. Use
 * this for every message of the tool on standard output or standard error. */
void vzu_print(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Progress display on standard error, only when it is a terminal (nothing is
 * printed otherwise): partition, version and packets done of total. */
void progress_set_version(const char *partition, int version, int total_packets);
void progress_set_packets(int packets_done);
void progress_clear(void);

/* Writes `in` quoted for the POSIX shell (single quotes, embedded quotes
 * escaped) into out (outsz bytes). Returns 0, or -1 when it does not fit. */
int shell_quote(const char *in, char *out, size_t outsz);

/* Runs a shell command through popen(cmd, "w") and pclose(). Returns -1 when
 * popen failed (errno set), else the command's exit status (128 when it
 * ended by a signal). */
int run_shell_command(const char *cmd);
/* The same, and a note on standard error when the command ran but ended with
 * a status other than 0 (which the tool does not act on). */
int run_shell_command_noted(const char *cmd);

/* ---------------------------------------------------------------------------
 * The run's input files (input_file.cpp)
 * ------------------------------------------------------------------------ */

/* Opens path read-only without blocking on a FIFO. Returns the descriptor
 * of a regular file; -1 when it cannot be opened, -2 when it is not a
 * regular file (closed again); *why then gets the reason (valid until the
 * next call). */
int open_regular_file(const char *path, const char **why);

/* The same as a read stream; NULL with *why, and *not_regular set when the
 * file is not a regular file. */
FILE *fopen_regular(const char *path, const char **why, bool *not_regular);

/* Ends the process after " <time> | <kind> '<path>' refused: <why>" on
 * standard error: an input file that cannot be read as one (not a regular
 * file). */
[[noreturn]] void refuse_input_file(const char *kind, const char *path, const char *why);

/* ---------------------------------------------------------------------------
 * Command line and run setup (command_line.cpp)
 * ------------------------------------------------------------------------ */
#define TW_PATH_LEN 1024

/* Written by main and parse_and_validate_arg before anything else runs, then
 * only read. */
extern char tw_wdir[TW_PATH_LEN];  /* work directory from TW_WDIR; every path starts with it */
extern int g_testrun;              /* source run number (-t); -1 until given */
extern int g_dest_testrun;         /* run written to: g_testrun once the options are in; every
                                       output path (trace log, dump, partitions, finish) uses it */
extern long g_start_partition_idx; /* -s as a 14-digit number; 1 when not given */
extern long g_end_partition_idx;   /* -e as a 14-digit number; 1 when not given */
extern int g_debug_level;          /* -D, 0 to 4; highest trace record level written */
extern int dump_data_flag;         /* 1 with -g: every decoded sample goes to rtg_data.txt */
extern int g_file_size;            /* dump file roll-over size in bytes (-w MiB); 0 without -w,
                                       INT32_MIN after a -w out of range */
extern int file_size_flag;         /* 1 when -w gave a valid size */
extern int not_include_generator;  /* 1 (default): generator vectors stay out of the store;
                                       -G sets 0 */

void parse_and_validate_arg(int argc, char **argv, char *tw_wdir);
[[noreturn]] void print_usage(void);
int check_test_run_exists(int test_run, char *tw_wdir, char *errmsg);
void check_and_set_debug_level(void);
void make_destination_testrun_directory(char *tw_wdir);

/* ---------------------------------------------------------------------------
 * Trace log, console time stamp and sample dump file (trace_log.cpp)
 * ------------------------------------------------------------------------ */
extern unsigned int sd_log_tracing_level; /* trace category mask derived from -D by
                                            check_and_set_debug_level: byte 0 level 1,
                                            byte 1 level 2, byte 2 level 3 */
extern int debug_fd;                /* trace log descriptor; -1 until the first record opens it */
extern char g_test_start_time[128]; /* wall-clock stamp prefixing console messages; refreshed by
                                         reset_test_start_time just before they are printed */
extern int debug_on;                /* console trace switch; never set, so DEBUG_LOG is silent */
extern int log_level;               /* highest level the console trace would print */
extern char g_rtg_dump_path[TW_PATH_LEN]; /* path of the current sample dump file (-g) */
extern int g_rtg_data_fd;                 /* its descriptor; -1 while closed */
extern int rtg_file_count;                /* number given to the next rolled-over dump file */

void sd_debug_logs(int log_level, const char *filename, int line, const char *fname,
                   const char *format, ...) __attribute__((format(printf, 5, 6)));
void open_file_fd(void);
void debug_log(int level, const char *fname, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void reset_test_start_time(void);
void open_rtg_dump_file(char *tw_wdir);
void check_and_open_rtg_data(char *tw_wdir);

/* Trace records: each call site tests its level's category byte first, so a
 * disabled trace costs one bit test. */
#define SD_TRACE(level, mask, ...)                                            \
  do {                                                                        \
    if (sd_log_tracing_level & (mask))                                        \
      sd_debug_logs((level), __FILE_NAME__, __LINE__, __func__, __VA_ARGS__); \
  } while (0)
#define TRACE1(...) SD_TRACE(1, 0x000000FFu, __VA_ARGS__)
#define TRACE2(...) SD_TRACE(2, 0x0000FF00u, __VA_ARGS__)
#define TRACE3(...) SD_TRACE(3, 0x00FF0000u, __VA_ARGS__)
#define DEBUG_LOG(level, ...)                                \
  do {                                                       \
    if (debug_on) debug_log((level), __func__, __VA_ARGS__); \
  } while (0)

/* ---------------------------------------------------------------------------
 * Growable tables (tables.cpp)
 * ------------------------------------------------------------------------ */

/* Reserves the next row of a table (base *ptr, *total rows used, *max rows
 * allocated), growing it by 5 rows of `size` bytes when full. *row_num gets
 * the new row's index. The row is not cleared. Returns 0; a failed growth
 * prints the designed message and ends the process (exit status -1). */
int create_table_entry(int *row_num, int *total, int *max, char **ptr, int size, const char *name);

/* Typed front for create_table_entry(). */
template <typename T>
inline int create_table_entry_t(int *row_num, int *total, int *max, T **ptr, const char *name) {
  return create_table_entry(row_num, total, max, reinterpret_cast<char **>(ptr),
                            static_cast<int>(sizeof(T)), name);
}

/* ---------------------------------------------------------------------------
 * Source partitions (partitions.cpp)
 * ------------------------------------------------------------------------ */
/* One data version of a partition: a graph definition file and the raw
 * sample file of the same number. Filled by get_next_version. */
typedef struct {
  char testrun_gdf_path[TW_PATH_LEN]; /* testrun.gdf or testrun.gdf.diff.<n> */
  char rtg_path[TW_PATH_LEN];         /* rtgMessage.dat or rtgMessage.dat.<n> */
  long long rtg_pkt_size;             /* never set: the packet size comes from the Info line */
} tr_gdf_struct;

/* One selected source partition; a row of the table make_partition_list
 * builds once before the loop. */
typedef struct {
  char partition_idx[TW_PATH_LEN]; /* absolute path of the partition folder */
  int testrun_gdf_count;           /* versions found (rows used in gdf_struct_arr) */
  int rtg_count;                   /* copy of testrun_gdf_count: versions the loop reads */
  int max_testrun_gdf_count;       /* rows allocated in gdf_struct_arr */
  int max_rtg_count;               /* copy of max_testrun_gdf_count */
  int progress_interval;           /* never set by the tool */
  tr_gdf_struct *gdf_struct_arr;   /* the versions, owned by the row; filled by the loop when
                                      the partition comes up and freed after it, NULL otherwise */
} partition_struct;

extern int g_start_partition_index; /* position in the sorted partition list: set by
                                       get_partition_range, then one ahead of the partition
                                       being migrated (advanced by the destination setup
                                       and check_for_next_partition) */
extern int g_end_partition_index;   /* position of the last partition to migrate */
extern int total_partition_count;   /* rows used in the partition table */
extern int max_partition_count;     /* rows allocated in the partition table */

struct dirent **get_tr_partiton_list(int tr_num, int *count, char *path);
int is_partition_present(const struct dirent *dir_e);
int partition_comparator(const struct dirent **p1, const struct dirent **p2);
void check_if_partition_exists(char *tw_wdir, long partition_id);
int get_partition_range(struct dirent **ptr, long start, long end, int total_count);
char make_partition_list(long start_partition, long end_partition, char *tr_abs_path,
                         int *partition_count, partition_struct **partition_arr_struct);
int set_partition_time(long long *partition_idx);

/* ---------------------------------------------------------------------------
 * Migration loop (migration_loop.cpp)
 * ------------------------------------------------------------------------ */
extern long test_start_time;      /* run start in seconds from packet 0 of the first raw sample
                                     file; -1 when that file is missing */
extern long test_end_time;        /* seconds of the last packet handled (packet walk); -1 before */
extern NormObjKey g_group_hash;   /* group name -> row of tsdb_info; made before the first
                                     partition, a name keeps its row for the whole run */
extern int partition_switch_flag; /* 0 during the first partition, 1 from the second on */
extern int flat;                  /* 1 until a partition's first definition file is read: the
                                     reader then assigns raw indexes and clears it */
extern long long no_of_sample_inserted_in_par; /* inserts tried in this partition (store
                                                  writer); printed and reset per partition */
extern long long total_sample;                 /* inserts tried in the whole run */
extern long long total_missing_sample;         /* clock steps for samples missing in the files */
extern int g_prev_seq_no;              /* sequence number of the last packet handled; carried across
                                     the files of a partition, 0 at each partition start */
extern int g_curr_seq_no;              /* sequence number of the packet in hand */
extern int total_versions_read;        /* data versions (definition and raw sample file pairs)
                                     handed to the definition reader in the whole run */
extern int partitions_without_samples; /* partitions with a graph definition file but no
                                          raw sample file of the same version */
extern int g_tsdb_register_group;      /* groups registered with the store so far */
extern int g_tsdb_subject_register;    /* vectors created in the store so far */

/* The body of main after the command line was accepted; never returns. */
[[noreturn]] void run_migration(void);
int get_next_version(partition_struct *partition_arr_struct, int idx, char *testrun_dir,
                     int num_rtg);
void check_for_next_partition(partition_struct *ptr);

/* ---------------------------------------------------------------------------
 * Destination partition layout (dest_layout.cpp)
 * ------------------------------------------------------------------------ */
extern long long g_partition_idx;      /* name of the destination partition folder made last;
                                          -1 before the first switch */
extern long long g_prev_partition_idx; /* g_partition_idx before the last switch */

void create_partition_dir(char *tw_wdir, char request_count, tr_gdf_struct *gdf_struct_arr);

/* ---------------------------------------------------------------------------
 * Reconciliation at a partition switch (reconcile.cpp)
 * ------------------------------------------------------------------------ */
extern NormObjKey *g_group_temp_hash; /* group names the new partition declares -> row of
                                         tsdb_info; exists only during a switch, else NULL */

/* Unindexes vectors deleted earlier, then reports and marks every group and
 * vector of the group table that the new partition's first definition file
 * (row 0 of gdf_struct_arr; NULL for none) no longer declares. */
void reconcile_with_new_partition(const tr_gdf_struct *gdf_struct_arr);

/* ---------------------------------------------------------------------------
 * Finishing the destination run (finish.cpp)
 * ------------------------------------------------------------------------ */
[[noreturn]] void tr_migrate_exit(void);
void update_summary_top_file(void);
void convert_sec_to_hh_mm_ss(char *hh_mm_ss, int sec);
void import_db_data(void);

/* ---------------------------------------------------------------------------
 * Graph definition model and type tables (graph_model.cpp)
 * ------------------------------------------------------------------------ */
#define MAX_GRAPHS_PER_GROUP 1024
#define MAX_ELEMENTS_PER_VECTOR 1024
#define VECTOR_NAME_BUF_LEN 1025
#define GROUP_HASH_SIZE 0x20000
#define VECTOR_HASH_SIZE 16384

/* A vector's registration state (Vector_list.metrics_idx_found). */
enum { VECTOR_NEW = 0, VECTOR_IN_STORE = 1, VECTOR_LEFT_OUT = 255 };

/* Formula numbers. */
enum { FORMULA_SEC = 0, FORMULA_KBPS = 1, FORMULA_PM = 2, FORMULA_PS = 3, FORMULA_DBH = 4 };

/* One vector of a group: a row of the group's vector table. Rows are made by
 * the vector list logic (vector_list.cpp) while definitions are read and all
 * discarded at every partition start (free_vector_list_struct). */
typedef struct {
  char *vector_name; /* owned, VECTOR_NAME_BUF_LEN bytes: the name as stored ("VuvoRavu>"
                              prefixed for built-in and remapped groups) */
  int *sample_count; /* owned, one per graph: packets merged so far in a window;
                              allocated by the packet walk at the first packet, else NULL */
  int vector_idx;    /* the vector's id in the group's vector_norm_table */
  char delete_flag;  /* 1 deleted (by a delete line or a partition switch), 0 active */
  void *metric_id;   /* owned: the store's metric id buffer, set at the first insert;
                              NULL until then */
  unsigned char metrics_idx_found; /* VECTOR_NEW, VECTOR_IN_STORE or VECTOR_LEFT_OUT */
  long rtg_idx;                    /* byte offset of the vector's block in a packet; -1 none yet */
  double *data;                    /* owned, one per element: the decoded values (running sums in a
                              merge window); allocated by the packet walk, else NULL */
} Vector_list;

/* One group of the run: a row of tsdb_info, made by the definition reader
 * the first time a file names the group and kept for the whole run (a later
 * version cannot change it). Valid fields grow with the file: the record at
 * the Group line, the graphs line by line, the element layout once all
 * graphs are in and the store registered the group (elements_done). */
typedef struct {
  Vector_list *vector_list_ptr; /* the vector table (vector_list.cpp); rebuilt per partition */
  NormObjKey vector_norm_table; /* vector name -> vector id; made with the group and
                                          emptied at every partition start */
  NormObjKey *vector_temp_norm_table;     /* vector names the new partition declares; only during
                                          a partition switch (reconcile.cpp), else NULL */
  tsdb_metric_group *tsdb_group_data_ptr; /* the group record handed to the store; one row */
  tsdb_metric_info *tsdb_metric_ptr;      /* the graph records, in Graph line order */
  long mg_gid;                            /* the store's id of the group; negative when its
                                          registration failed, 0 before it */
  int *graph_element_size;                /* per declared graph: bytes of one vector's elements */
  int *num_elements;                      /* per declared graph: elements per vector */
  int num_vectors;             /* vector count of the Group line; 0 takes no vector lines */
  int *elements_size;          /* per element, packet order: stored width in bytes;
                                          built with the layout (get_no_of_elements) */
  char is_all_graph_processed; /* 1 once every declared graph is stored and registration
                                          was tried; later Graph lines are skipped */
  int total_graph_entries, max_graph_entries;      /* graph rows used and allocated */
  int type_cast_reqd;                              /* 1 when an element is narrower than 8 bytes */
  int total_elements;                              /* elements per vector over all graphs */
  int total_vector_entries, max_vector_entries;    /* vector rows used and allocated */
  int total_group_entries, max_groups_entries;     /* group record rows used and allocated (1) */
  int graph_formula[MAX_GRAPHS_PER_GROUP];         /* per graph: formula number (-1 unknown) */
  int graph_formula_type[MAX_ELEMENTS_PER_VECTOR]; /* per element: its graph's formula */
  char elements_done;       /* 1 once elements_size and total_elements_size exist */
  char group_deleted;       /* 1 while the current partition does not declare the
                                          group (reconcile.cpp); the packet walk skips it */
  int start_index_of_graph; /* byte offset of the group's block in a packet: the
                                          first non-zero field 5 of its Graph lines */
  int total_elements_size;  /* bytes of one vector's values in a packet */
} TSDB_INFO;

extern TSDB_INFO *tsdb_info;         /* the group table, in order of first appearance; grows
                                          (and moves) with init_tsdb_group_info */
extern int total_tsdb_group_entries; /* groups in use */
extern int max_tsdb_group_entries;   /* groups allocated */
extern int is_all_graph_parsed;      /* Graph lines stored for the group defined last; 0 at
                                          each new group (traced, not relied on) */

int init_tsdb_group_info(void);
unsigned char data_type_to_num(const char *d_type);
/* Adds data type `type`'s element width to *graph_element_size and its
 * element count to *num_elements. Returns 0, or -1 for a type the table does
 * not know (nothing added): the caller refuses the graph. */
int getTotalElements(char type, int *graph_element_size, int *num_elements);
int get_converstion_value(char data_type, int *flag);
char formula_to_num(const char *graph_formula);
int is_graph_excluded(const char *graph_priority, const char *graph_state, int mon_priority);
void fill_formula_info(TSDB_INFO *tsdb_info);
void get_no_of_elements(TSDB_INFO *tsdb_info);

/* Report group id classes. */
int is_remapped_group(int rpt_grp_id); /* 50..55 */
int is_builtin_group(int rpt_grp_id);  /* <= 1001, not remapped */
int remap_rpt_grp_id(int rpt_id);

/* Heap-exhaustion exit for the model's arrays: "Out of Memory: %s for index
 * %d\n" with `label` and -1. */
[[noreturn]] void out_of_memory_exit(const char *label);

/* A cleared block of `bytes` for the model's arrays, announced on the console
 * trace with `label`; NULL for 0 bytes; heap exhaustion ends the process
 * through out_of_memory_exit(label). */
void *model_calloc(size_t bytes, const char *label);

/* ---------------------------------------------------------------------------
 * Graph definition lines (gdf_line.cpp)
 * ------------------------------------------------------------------------ */

/* A definition file being read line by line. */
struct GdfLines {
  FILE *fp;                  /* open for reading; the caller's */
  int line_no = 0;           /* 1-based number of the line of the last piece */
  bool at_line_start = true; /* the next piece starts a new line */
};

enum { GDF_LINE_END = 0, GDF_LINE_OK = 1, GDF_LINE_NUL = 2 };

/* Reads the next piece of a line into buf (at most size - 1 characters,
 * ending with "\n" when the line ends in it; "\r\n" reads as "\n" and a
 * last line without a line end gets one). Returns GDF_LINE_OK,
 * GDF_LINE_NUL when the piece holds a NUL byte, GDF_LINE_END at end of file
 * or on a read error. */
int gdf_read_line(GdfLines *in, char *buf, int size);

/* ---------------------------------------------------------------------------
 * Graph definition file reader (gdf_reader.cpp)
 * ------------------------------------------------------------------------ */
/* The reader's fatal definition errors: writes `trace_text` as a level-1
 * trace record and, on standard error, one line naming the definition file,
 * the line, `trace_text` and `detail` (the cause in plain words); ends the
 * process with exit status -1. */
[[noreturn]] void fatal_after_trace(const char *trace_text, const char *detail);

void read_testrun_gdf_diff_rtg_file(tr_gdf_struct *gdf_struct_arr, char *tw_wdir,
                                    partition_struct *ptr);
void process_group(char *line, int tsdb_group_idx, char **buffer, int num_fields);
void fill_group_info(char *gname, int rpt_id, int numGraph, int numVector, char *groupType,
                     char *groupHierarchy, char *group_description, char *groupMetric,
                     int tsdb_group_idx);
int process_graph(char *line, int index);
int fill_graph_info(char *graph_name, char *graph_desc, char *graph_type, char *data_type,
                    char *formula, char *graph_state, char *graph_priority, int rpt_id,
                    int metric_priority, int group_idx);

/* ---------------------------------------------------------------------------
 * Vector lists and raw sample indexes (vector_list.cpp)
 * ------------------------------------------------------------------------ */
void add_vector_one_token(int group_idx, char *token);
void process_vector_list(char *testrun_gdf_path, char **fields, int index, char *line);
void set_rtg_index_and_vuvoravu_on_tw_gdf(void);
void free_vector_list_struct(void);

/* ---------------------------------------------------------------------------
 * Sampling frequency rule (frequency_rule.cpp)
 * ------------------------------------------------------------------------ */
/* Set at every Info line by the definition reader (with this rule). */
extern int g_frequency;         /* store granularity in seconds the samples are written at;
                                   -1 until an Info line sets it */
extern int g_prev_frequency;    /* g_frequency before the current Info line; a deleted
                                   vector's last values are flushed at it */
extern int g_progress_interval; /* the Info line's interval, then g_frequency (seconds) */

void calculate_packet_count_to_merge(int freq, int *frequency_changed, int *packet_count_to_merge);

/* ---------------------------------------------------------------------------
 * Raw sample file reader (rtg_reader.cpp); the packet layout is rtg_packet.h
 * ------------------------------------------------------------------------ */

/* Migrates the raw sample file gdf_struct_arr->rtg_path of packets of
 * packet_size bytes (at least the header) through write_data_in_tsdb. A file
 * that cannot be opened, or is 2 GiB or more, is skipped with a message; one
 * that is not a regular file is refused (the process ends); a file of packet
 * 0 alone has nothing to migrate. */
void read_rtg_file(tr_gdf_struct *gdf_struct_arr, int packet_size, char *tw_wdir,
                   partition_struct *ptr, int frequency_changed, int packet_count_to_merge);
/* Size of path in bytes and its whole packets; a failing stat ends the
 * process with the designed message. */
void get_total_pkt(char *path, long long packet_size, long long *total_pkts,
                   long long *rtg_msg_file_size);
/* Raw sample file versions to probe in partition folder rtg_path: the
 * regular files named "rtgMessage.*" halved, plus one (1 when unreadable). */
int get_no_of_rtg(char *rtg_path);
/* The scandir filter of get_no_of_rtg: 1 for such a regular file, else 0. */
int filter_rtg_files(const struct dirent *file_name);

/* ---------------------------------------------------------------------------
 * Sample decoding and aggregation: the decoders (sample_decode.cpp), the
 * conversion steps (sample_convert.cpp), the merge rules (sample_merge.cpp)
 * and the per-file decode plans (decode_plan.cpp)
 * ------------------------------------------------------------------------ */

/* Where a packet stands in a merge window: it opens one (clearing the
 * running sums) and/or closes one (turning them into the stored values). The
 * designed interfaces carry the two as int flags (sample_reset_flag,
 * migrate_flag); this is their one translation. */
struct MergeWindow {
  bool open;
  bool close;
};

inline MergeWindow merge_window(int migrate_flag, int sample_reset_flag) {
  return {sample_reset_flag != 0, migrate_flag != 0};
}

/* Width-aware decoding of vector vec_idx of the packet at start_index of the
 * file data (rtg_size bytes) into its `data` (merged in merge mode). Returns
 * 0, -1 when rtg_memory_data is NULL, -2 when the block lies outside the
 * data. rtg_idx and packet_count_to_merge are not used. */
int get_type_cast_and_send_to_tsdb(TSDB_INFO *tsdb_info, long rtg_idx, int start_index, int vec_idx,
                                   char *rtg_memory_data, int rtg_size, long long packet_size,
                                   char *rtg_file, int frequency_changed, int packet_count_to_merge,
                                   int migrate_flag, int sample_reset_flag);
/* Direct decoding of a vector of an all-double group at unchanged frequency.
 * Returns 0, -1 when rtg_memory_data is NULL, -2 when the block lies outside
 * the data. */
int decode_double_vector(TSDB_INFO *tsdb_info, int vec_idx, int start_index, char *rtg_memory_data,
                         int rtg_size, long long packet_size, char *rtg_file);

/* Merges one graph's decoded elements freq_data (the graph's elements of one
 * packet, in order) into vector vec_idx's data; ele_idx is the graph's last
 * element and g_idx the graph. migrate_flag closes the window (the merged,
 * scaled, formula-converted values stay in data), sample_reset_flag opens it;
 * packet_count_to_merge is not used. */
void agg_sample_value_based_on_graph_type(TSDB_INFO *tsdb_info, double *freq_data, int vec_idx,
                                          int ele_idx, int g_idx, int migrate_flag,
                                          int sample_reset_flag, int packet_count_to_merge);
/* Divides the scale of data_type out of the graph of vector vec_idx whose
 * last element is ele_idx, in place; its count and missing values stay. */
void revert_data_type_changes_done_in_rtg(TSDB_INFO *tsdb_info, int data_type, int vec_idx,
                                          int ele_idx);
/* Applies `formula` to element ele_idx of vector vec_idx in place; the
 * missing-value marker stays. counter and num_elements_in_graph are not
 * used. */
void handle_formula_type(int formula, TSDB_INFO *tsdb_info, int vec_idx, int ele_idx, int counter,
                         int num_elements_in_graph);

/* While one raw sample file is walked, the per-group decode plans of `table`
 * (of `count` groups: graph walk, formula and scale fixes) are built on first
 * use and reused for every packet; the group table must not change between
 * begin and end. */
void sample_decode_begin_file(TSDB_INFO *table, int count);
void sample_decode_end_file(void);

/* ---------------------------------------------------------------------------
 * Raw sample file block (rtg_file_block.cpp)
 * ------------------------------------------------------------------------ */

/* The next `size` bytes of fd in one block of at least size + 1 bytes,
 * zero after the data. The block is reused by the next call, so it stays
 * valid until then; the caller does not free it. Ends the process when
 * memory fails or the file holds fewer bytes. */
char *rtg_read_whole_file(int fd, int size);

/* ---------------------------------------------------------------------------
 * Packet walk (packet_walk.cpp)
 * ------------------------------------------------------------------------ */
extern double g_curr_rtg_ts; /* time stamp (ms) of packet 1 of the file in hand, from the
                               second partition on */
extern double g_prev_rtg_ts; /* time stamp (ms) of the last packet of the last file read;
                               0.0 until a file's last packet was handled */

/* Reads the `size` bytes of fd (rtg_file, num_pckts packets) and migrates
 * packets 1 to num_pckts - 1 for every group of tsdb_info. Ends the process
 * when memory or the read fails, or when a packet is refused (a time stamp
 * that is no count of milliseconds, a gap of more than 31 days of samples);
 * the store's migration is then never closed, so it keeps nothing. */
void write_data_in_tsdb(TSDB_INFO *tsdb_info, char *rtg_file, int num_pckts, int fd,
                        long long packet_size, int size, char *tw_wdir, partition_struct *ptr,
                        int frequency_changed, int packet_count_to_merge);

/* ---------------------------------------------------------------------------
 * Time-series store writer (store_writer.cpp)
 * ------------------------------------------------------------------------ */
extern long long total_sample_stored;  /* inserts the store accepted in the whole run; 0 at the
                                         finish means the migration stored no value at all */
extern long long total_store_refusals; /* group registrations and inserts the store refused (it
                                          says why on standard error: a full disk, a write error) */
/* Inserts vector vec_idx's values: the first time by group id (creating the
 * vector in the store, or leaving a generator vector out for good), later by
 * metric id. Returns 0 when done or left out, -1 when the store refused (a
 * refused first insert is retried at the next closing packet). Every call
 * counts in the totals. */
int insert_into_tsdb(TSDB_INFO *tsdb_info, int vec_idx, int frequency_changed, int migrate_flag);
/* Fills tv_arr_buf (hierarchy_level + 2 entries): customer and application
 * "Default", then per hierarchy level its name and the vector's field there
 * ("Default" past the name's end). Returns 0; num_levels is not used. */
char get_subject_name(char **vector_fields, char **Hierarchy, tag_val_ptr_t *tv_arr_buf,
                      int num_levels, int vector_name_fields, int hierarchy_level);

#endif /* VIRA_ZEDAZAD_UVOZ_IZU_H */
