/* Placeholder definitions, linked only until each concern lands; every real
 * definition overrides its weak one here. Removed once all sources exist. */
#include "vira_zedazad_uvoz_izu.h"
#define W __attribute__((weak))

W char tw_wdir[TW_PATH_LEN];
W int g_testrun;
W int g_dest_testrun;
W long g_start_partition_idx;
W long g_end_partition_idx;
W int g_debug_level;
W int dump_data_flag;
W int g_file_size;
W int file_size_flag;
W int not_include_generator;
W unsigned int sd_log_tracing_level;
W int debug_fd;
W char g_test_start_time[128];
W int debug_on;
W int log_level;
W char g_rtg_dump_path[TW_PATH_LEN];
W int g_rtg_data_fd;
W int rtg_file_count;
W int g_start_partition_index;
W int g_end_partition_index;
W int total_partition_count;
W int max_partition_count;
W long test_start_time;
W long test_end_time;
W NormObjKey g_group_hash;
W int partition_switch_flag;
W int flat;
W long long no_of_sample_inserted_in_par;
W long long total_sample;
W long long total_missing_sample;
W int g_prev_seq_no;
W int g_curr_seq_no;
W int g_tsdb_register_group;
W int g_tsdb_subject_register;
W long long g_partition_idx;
W long long g_prev_partition_idx;
W int total_tsdb_group_entries;
W int max_tsdb_group_entries;
W int is_all_graph_parsed;
W int g_frequency;
W int g_prev_frequency;
W int g_progress_interval;
W double g_curr_rtg_ts;
W double g_prev_rtg_ts;
W void parse_and_validate_arg(int argc, char **argv, char *tw_wdir) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void print_usage(void) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int check_test_run_exists(int test_run, char *tw_wdir, char *errmsg) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void check_and_set_debug_level(void) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void make_destination_testrun_directory(char *tw_wdir) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void sd_debug_logs(int log_level, const char *filename, int line, const char *fname, const char *format, ...) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void open_file_fd(void) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void debug_log(int level, const char *fname, const char *format, ...) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void reset_test_start_time(void) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void open_rtg_dump_file(char *tw_wdir) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void check_and_open_rtg_data(char *tw_wdir) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W struct dirent **get_tr_partiton_list(int tr_num, int *count, char *path) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int is_partition_present(const struct dirent *dir_e) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int partition_comparator(const struct dirent **p1, const struct dirent **p2) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void check_if_partition_exists(char *tw_wdir, long partition_id) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int get_partition_range(struct dirent **ptr, long start, long end, int total_count) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W char make_partition_list(long start_partition, long end_partition, char *tr_abs_path, int *partition_count, partition_struct **partition_arr_struct) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int set_partition_time(long long *partition_idx) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void run_migration(void) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int get_next_version(partition_struct *partition_arr_struct, int idx, char *testrun_dir, int num_rtg) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void check_for_next_partition(partition_struct *ptr) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void create_partition_dir(char *tw_wdir, char request_count, tr_gdf_struct *gdf_struct_arr) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void tr_migrate_exit(void) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void update_summary_top_file(void) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void convert_sec_to_hh_mm_ss(char *hh_mm_ss, int sec) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void import_db_data(void) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int init_tsdb_group_info(void) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W unsigned char data_type_to_num(const char *d_type) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void getTotalElements(char type, int *graph_element_size, int *num_elements) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int get_converstion_value(char data_type, int *flag) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W char formula_to_num(const char *graph_formula) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int is_graph_excluded(const char *graph_priority, const char *graph_state, int mon_priority) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void fill_formula_info(TSDB_INFO *tsdb_info) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void get_no_of_elements(TSDB_INFO *tsdb_info) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int is_remapped_group(int rpt_grp_id) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int is_builtin_group(int rpt_grp_id) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int remap_rpt_grp_id(int rpt_id) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void out_of_memory_exit(const char *label) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void read_testrun_gdf_diff_rtg_file(tr_gdf_struct *gdf_struct_arr, char *tw_wdir, partition_struct *ptr) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void process_group(char *line, int tsdb_group_idx, char **buffer, int num_fields) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void fill_group_info(char *gname, int rpt_id, int numGraph, int numVector, char *groupType, char *groupHierarchy, char *group_description, char *groupMetric, int tsdb_group_idx) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int process_graph(char *line, int index) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int fill_graph_info(char *graph_name, char *graph_desc, char *graph_type, char *data_type, char *formula, char *graph_state, char *graph_priority, int rpt_id, int metric_priority, int group_idx) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void add_vector_one_token(int group_idx, char *token) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void process_vector_list(char *testrun_gdf_path, char **fields, int index, char *line) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void set_rtg_index_and_vuvoravu_on_tw_gdf(void) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void free_vector_list_struct(void) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void calculate_packet_count_to_merge(int freq, int *frequency_changed, int *packet_count_to_merge) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void read_rtg_file(tr_gdf_struct *gdf_struct_arr, int packet_size, char *tw_wdir, partition_struct *ptr, int frequency_changed, int packet_count_to_merge) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void get_total_pkt(char *path, long long packet_size, long long *total_pkts, long long *rtg_msg_file_size) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int get_no_of_rtg(char *rtg_path) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int filter_rtg_files(const struct dirent *file_name) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int get_type_cast_and_send_to_tsdb(TSDB_INFO *tsdb_info, long rtg_idx, int start_index, int vec_idx, char *rtg_memory_data, int rtg_size, long long packet_size, char *rtg_file, int frequency_changed, int packet_count_to_merge, int migrate_flag, int sample_reset_flag) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int decode_double_vector(TSDB_INFO *tsdb_info, int vec_idx, int start_index, char *rtg_memory_data, int rtg_size, long long packet_size, char *rtg_file) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void agg_sample_value_based_on_graph_type(TSDB_INFO *tsdb_info, double *freq_data, int vec_idx, int ele_idx, int g_idx, int migrate_flag, int sample_reset_flag, int packet_count_to_merge) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void revert_data_type_changes_done_in_rtg(TSDB_INFO *tsdb_info, int data_type, int vec_idx, int ele_idx) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void handle_formula_type(int formula, TSDB_INFO *tsdb_info, int vec_idx, int ele_idx, int counter, int num_elements_in_graph) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W void write_data_in_tsdb(TSDB_INFO *tsdb_info, char *rtg_file, int num_pckts, int fd, long long packet_size, int size, char *tw_wdir, partition_struct *ptr, int frequency_changed, int packet_count_to_merge) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W int insert_into_tsdb(TSDB_INFO *tsdb_info, int vec_idx, int frequency_changed, int migrate_flag) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
W char get_subject_name(char **vector_fields, char **Hierarchy, tag_val_ptr_t *tv_arr_buf, int num_levels, int vector_name_fields, int hierarchy_level) { vzu_fatal(stderr, "not built yet: %s\n", __func__); }
