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

/* Prints a console message to `stream` after clearing the progress line. Use
 * this for every message of the tool on standard output or standard error. */
void vzu_print(FILE *stream, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* Progress display on standard error, only when it is a terminal (nothing is
 * printed otherwise): partition, version and packets done of total. */
void progress_set_version(const char *partition, int version, int total_packets);
void progress_set_packets(int packets_done);
void progress_clear(void);

/* Writes `in` quoted for the POSIX shell (single quotes, embedded quotes
 * escaped) into out (outsz bytes). Returns 0, or -1 when it does not fit. */
int shell_quote(const char *in, char *out, size_t outsz);

/* Runs a shell command through popen(cmd, "w") and pclose(). Returns 0, or -1
 * when popen failed (errno set). The command's own status is not examined. */
int run_shell_command(const char *cmd);

/* ---------------------------------------------------------------------------
 * Command line and run setup (command_line.cpp)
 * ------------------------------------------------------------------------ */
#define TW_PATH_LEN 1024

extern char tw_wdir[TW_PATH_LEN];
extern int g_testrun;
extern int g_dest_testrun;
extern long g_start_partition_idx;
extern long g_end_partition_idx;
extern int g_debug_level;
extern int dump_data_flag;
extern int g_file_size;
extern int file_size_flag;
extern int not_include_generator;

void parse_and_validate_arg(int argc, char **argv, char *tw_wdir);
[[noreturn]] void print_usage(void);
int check_test_run_exists(int test_run, char *tw_wdir, char *errmsg);
void check_and_set_debug_level(void);
void make_destination_testrun_directory(char *tw_wdir);

/* ---------------------------------------------------------------------------
 * Trace log, console time stamp and sample dump file (trace_log.cpp)
 * ------------------------------------------------------------------------ */
extern unsigned int sd_log_tracing_level;
extern int debug_fd;
extern char g_test_start_time[128];
extern int debug_on;
extern int log_level;
extern char g_rtg_dump_path[TW_PATH_LEN];
extern int g_rtg_data_fd;
extern int rtg_file_count;

void sd_debug_logs(int log_level, const char *filename, int line,
                   const char *fname, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
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
#define DEBUG_LOG(level, ...)                         \
  do {                                                \
    if (debug_on) debug_log((level), __func__, __VA_ARGS__); \
  } while (0)

/* ---------------------------------------------------------------------------
 * Growable tables (tables.cpp)
 * ------------------------------------------------------------------------ */

/* Reserves the next row of a table (base *ptr, *total rows used, *max rows
 * allocated), growing it by 5 rows of `size` bytes when full. *row_num gets
 * the new row's index. The row is not cleared. Returns 0; a failed growth
 * prints the designed message and ends the process (exit status -1). */
int create_table_entry(int *row_num, int *total, int *max, char **ptr,
                       int size, const char *name);

/* Typed front for create_table_entry(). */
template <typename T>
inline int create_table_entry_t(int *row_num, int *total, int *max, T **ptr,
                                const char *name) {
  return create_table_entry(row_num, total, max, reinterpret_cast<char **>(ptr),
                            static_cast<int>(sizeof(T)), name);
}

/* ---------------------------------------------------------------------------
 * Source partitions (partitions.cpp)
 * ------------------------------------------------------------------------ */
typedef struct {
  char testrun_gdf_path[TW_PATH_LEN];
  char rtg_path[TW_PATH_LEN];
  long long rtg_pkt_size;
} tr_gdf_struct;

typedef struct {
  char partition_idx[TW_PATH_LEN];
  int testrun_gdf_count;
  int rtg_count;
  int max_testrun_gdf_count;
  int max_rtg_count;
  int progress_interval;
  tr_gdf_struct *gdf_struct_arr;
} partition_struct;

extern int g_start_partition_index;
extern int g_end_partition_index;
extern int total_partition_count;
extern int max_partition_count;

struct dirent **get_tr_partiton_list(int tr_num, int *count, char *path);
int is_partition_present(const struct dirent *dir_e);
int partition_comparator(const struct dirent **p1, const struct dirent **p2);
void check_if_partition_exists(char *tw_wdir, long partition_id);
int get_partition_range(struct dirent **ptr, long start, long end, int total_count);
char make_partition_list(long start_partition, long end_partition,
                         char *tr_abs_path, int *partition_count,
                         partition_struct **partition_arr_struct);
int set_partition_time(long long *partition_idx);

/* ---------------------------------------------------------------------------
 * Migration loop (migration_loop.cpp)
 * ------------------------------------------------------------------------ */
extern long test_start_time;
extern long test_end_time;
extern NormObjKey g_group_hash;
extern int partition_switch_flag;
extern int flat;
extern long long no_of_sample_inserted_in_par;
extern long long total_sample;
extern long long total_missing_sample;
extern int g_prev_seq_no;
extern int g_curr_seq_no;
extern int g_tsdb_register_group;
extern int g_tsdb_subject_register;

/* The body of main after the command line was accepted; never returns. */
[[noreturn]] void run_migration(void);
int get_next_version(partition_struct *partition_arr_struct, int idx,
                     char *testrun_dir, int num_rtg);
void check_for_next_partition(partition_struct *ptr);

/* ---------------------------------------------------------------------------
 * Destination partition layout (dest_layout.cpp)
 * ------------------------------------------------------------------------ */
extern long long g_partition_idx;
extern long long g_prev_partition_idx;
extern NormObjKey *g_group_temp_hash;

void create_partition_dir(char *tw_wdir, char request_count,
                          tr_gdf_struct *gdf_struct_arr);

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

/* Formula numbers. */
enum { FORMULA_SEC = 0, FORMULA_KBPS = 1, FORMULA_PM = 2, FORMULA_PS = 3, FORMULA_DBH = 4 };

typedef struct {
  char *vector_name;       /* owned, VECTOR_NAME_BUF_LEN bytes */
  int *sample_count;       /* owned, one per graph */
  int vector_idx;          /* id in the group's vector_norm_table */
  char delete_flag;        /* 1 deleted, 0 active */
  void *metric_id;         /* owned (malloc'ed by the store) */
  unsigned char metrics_idx_found; /* 0 not in the store, 1 registered, 255 left out */
  long rtg_idx;            /* byte offset in a packet; -1 none */
  double *data;            /* owned, one per element */
} Vector_list;

typedef struct {
  Vector_list *vector_list_ptr;
  NormObjKey vector_norm_table;
  NormObjKey *vector_temp_norm_table;
  tsdb_metric_group *tsdb_group_data_ptr;
  tsdb_metric_info *tsdb_metric_ptr;
  long mg_gid;
  int *graph_element_size;
  int *num_elements;
  int num_vectors;
  int *elements_size;
  char is_all_graph_processed;
  int total_graph_entries, max_graph_entries;
  int type_cast_reqd;
  int total_elements;
  int total_vector_entries, max_vector_entries;
  int total_group_entries, max_groups_entries;
  int graph_formula[MAX_GRAPHS_PER_GROUP];
  int graph_formula_type[MAX_ELEMENTS_PER_VECTOR];
  char elements_done;
  char group_deleted;
  int start_index_of_graph;
  int total_elements_size;
} TSDB_INFO;

extern TSDB_INFO *tsdb_info;
extern int total_tsdb_group_entries;
extern int max_tsdb_group_entries;
extern int is_all_graph_parsed;

int init_tsdb_group_info(void);
unsigned char data_type_to_num(const char *d_type);
void getTotalElements(char type, int *graph_element_size, int *num_elements);
int get_converstion_value(char data_type, int *flag);
char formula_to_num(const char *graph_formula);
int is_graph_excluded(const char *graph_priority, const char *graph_state,
                      int mon_priority);
void fill_formula_info(TSDB_INFO *tsdb_info);
void get_no_of_elements(TSDB_INFO *tsdb_info);

/* Report group id classes. */
int is_remapped_group(int rpt_grp_id);  /* 50..55 */
int is_builtin_group(int rpt_grp_id);   /* <= 1001, not remapped */
int remap_rpt_grp_id(int rpt_id);

/* Heap-exhaustion exit for the model's arrays: "Out of Memory: %s for index
 * %d\n" with `label` and -1. */
[[noreturn]] void out_of_memory_exit(const char *label);

/* A cleared block of `bytes` for the model's arrays, announced on the console
 * trace with `label`; NULL for 0 bytes; heap exhaustion ends the process
 * through out_of_memory_exit(label). */
void *model_calloc(size_t bytes, const char *label);

/* Writes `trace_text` as a level-1 trace record and ends the process with
 * exit status -1 (the reader's fatal definition errors). */
[[noreturn]] void fatal_after_trace(const char *trace_text);

/* ---------------------------------------------------------------------------
 * Graph definition file reader (gdf_reader.cpp)
 * ------------------------------------------------------------------------ */
void read_testrun_gdf_diff_rtg_file(tr_gdf_struct *gdf_struct_arr,
                                    char *tw_wdir, partition_struct *ptr);
void process_group(char *line, int tsdb_group_idx, char **buffer, int num_fields);
void fill_group_info(char *gname, int rpt_id, int numGraph, int numVector,
                     char *groupType, char *groupHierarchy,
                     char *group_description, char *groupMetric,
                     int tsdb_group_idx);
int process_graph(char *line, int index);
int fill_graph_info(char *graph_name, char *graph_desc, char *graph_type,
                    char *data_type, char *formula, char *graph_state,
                    char *graph_priority, int rpt_id, int metric_priority,
                    int group_idx);

/* ---------------------------------------------------------------------------
 * Vector lists and raw sample indexes (vector_list.cpp)
 * ------------------------------------------------------------------------ */
void add_vector_one_token(int group_idx, char *token);
void process_vector_list(char *testrun_gdf_path, char **fields, int index,
                         char *line);
void set_rtg_index_and_vuvoravu_on_tw_gdf(void);
void free_vector_list_struct(void);

/* ---------------------------------------------------------------------------
 * Raw sample file reader (rtg_reader.cpp)
 * ------------------------------------------------------------------------ */
#define RTG_HDR_OPCODE_OFF 0
#define RTG_HDR_SEQ_OFF 24
#define RTG_HDR_TS_OFF 40
#define RTG_HDR_LEN 48

extern int g_frequency;
extern int g_prev_frequency;
extern int g_progress_interval;

void calculate_packet_count_to_merge(int freq, int *frequency_changed,
                                     int *packet_count_to_merge);
void read_rtg_file(tr_gdf_struct *gdf_struct_arr, int packet_size,
                   char *tw_wdir, partition_struct *ptr, int frequency_changed,
                   int packet_count_to_merge);
void get_total_pkt(char *path, long long packet_size, long long *total_pkts,
                   long long *rtg_msg_file_size);
int get_no_of_rtg(char *rtg_path);
int filter_rtg_files(const struct dirent *file_name);

/* ---------------------------------------------------------------------------
 * Sample decoding and aggregation (sample_decode.cpp)
 * ------------------------------------------------------------------------ */
int get_type_cast_and_send_to_tsdb(TSDB_INFO *tsdb_info, long rtg_idx,
                                   int start_index, int vec_idx,
                                   char *rtg_memory_data, int rtg_size,
                                   long long packet_size, char *rtg_file,
                                   int frequency_changed,
                                   int packet_count_to_merge, int migrate_flag,
                                   int sample_reset_flag);
/* Direct decoding of a vector of an all-double group at unchanged frequency.
 * Returns 0, -1 when rtg_memory_data is NULL, -2 when the block lies outside
 * the data. */
int decode_double_vector(TSDB_INFO *tsdb_info, int vec_idx, int start_index,
                         char *rtg_memory_data, int rtg_size,
                         long long packet_size, char *rtg_file);
void agg_sample_value_based_on_graph_type(TSDB_INFO *tsdb_info,
                                          double *freq_data, int vec_idx,
                                          int ele_idx, int g_idx,
                                          int migrate_flag,
                                          int sample_reset_flag,
                                          int packet_count_to_merge);
void revert_data_type_changes_done_in_rtg(TSDB_INFO *tsdb_info, int data_type,
                                          int vec_idx, int ele_idx);
void handle_formula_type(int formula, TSDB_INFO *tsdb_info, int vec_idx,
                         int ele_idx, int counter, int num_elements_in_graph);

/* While one raw sample file is walked, the per-group decode plans of `table`
 * (of `count` groups: graph walk, formula and scale fixes) are built on first
 * use and reused for every packet; the group table must not change between
 * begin and end. */
void sample_decode_begin_file(TSDB_INFO *table, int count);
void sample_decode_end_file(void);

/* ---------------------------------------------------------------------------
 * Time-series store writer (store_writer.cpp)
 * ------------------------------------------------------------------------ */
extern double g_curr_rtg_ts;
extern double g_prev_rtg_ts;

void write_data_in_tsdb(TSDB_INFO *tsdb_info, char *rtg_file, int num_pckts,
                        int fd, long long packet_size, int size, char *tw_wdir,
                        partition_struct *ptr, int frequency_changed,
                        int packet_count_to_merge);
int insert_into_tsdb(TSDB_INFO *tsdb_info, int vec_idx, int frequency_changed,
                     int migrate_flag);
char get_subject_name(char **vector_fields, char **Hierarchy,
                      tag_val_ptr_t *tv_arr_buf, int num_levels,
                      int vector_name_fields, int hierarchy_level);

#endif /* VIRA_ZEDAZAD_UVOZ_IZU_H */
