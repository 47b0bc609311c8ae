/*
 * partitions.cpp - source partition selection: lists the partition
 * directories of the source run (14-digit names beginning with "20", one per
 * partition start time), sorts them by their numeric value, picks the range
 * asked for with -s / -e and builds the partition table the migration loop
 * walks. Also names new destination partitions after the current local time.
 *
 * The partition table is owned by the caller of make_partition_list and lives
 * until exit; each row's version array is filled and freed by the loop.
 * g_start_partition_index / g_end_partition_index are positions in the sorted
 * list; the loop advances the start position as it goes.
 */
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "vira_zedazad_uvoz_izu.h"

int g_start_partition_index = -1;
int g_end_partition_index = -1;
int total_partition_count = 0;
int max_partition_count = 0;

namespace {

constexpr size_t PARTITION_NAME_LEN = 14;

/* Bound value meaning "not given on the command line". */
constexpr long BOUND_NOT_GIVEN = 1;

long long partition_number(const struct dirent *dir_e) { return atoll(dir_e->d_name); }

void free_partition_list(struct dirent **list, int count) {
  for (int i = 0; i < count; i++) free(list[i]);
  free(list);
}

/* Appends the row for partition `name_value` of run directory `tr_abs_path`. */
void add_partition_row(partition_struct **table, const char *tr_abs_path, long long name_value) {
  int row;
  create_table_entry_t(&row, &total_partition_count, &max_partition_count, table, "Group Data");
  partition_struct *p = &(*table)[row];
  memset(p, 0, sizeof *p);
  snprintf(p->partition_idx, sizeof p->partition_idx, "%s/%lld", tr_abs_path, name_value);
  p->gdf_struct_arr = NULL;
}

}  // namespace

int is_partition_present(const struct dirent *dir_e) {
  const char *name = dir_e->d_name;
  if (strlen(name) != PARTITION_NAME_LEN || strncmp(name, "20", 2) != 0) return 0;
  for (const char *c = name; *c; c++)
    if (!isdigit(static_cast<unsigned char>(*c))) return 0;
  /* Only an entry the file system reports as a directory counts. */
  return dir_e->d_type == DT_DIR ? 1 : 0;
}

int partition_comparator(const struct dirent **p1, const struct dirent **p2) {
  long long a = partition_number(*p1);
  long long b = partition_number(*p2);
  return (a > b) - (a < b);
}

struct dirent **get_tr_partiton_list(int tr_num, int *count, char *path) {
  (void)tr_num;
  struct dirent **list = NULL;
  *count = scandir(path, &list, is_partition_present, partition_comparator);
  if (*count > 0) return list;
  if (*count == 0) free(list);
  TRACE1("Error: No partition directory present in: %s", path);
  return NULL;
}

void check_if_partition_exists(char *tw_wdir, long partition_id) {
  char path[TW_PATH_LEN];
  struct stat st;
  snprintf(path, sizeof path, "%s/logs/TR%d/%ld", tw_wdir, g_testrun, partition_id);
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return;
  TRACE1("Error: No given partition present %ld", partition_id);
  vzu_fatal(stdout, "Error: No given partition present %ld", partition_id);
}

int get_partition_range(struct dirent **ptr, long start, long end, int total_count) {
  g_start_partition_index = -1;
  g_end_partition_index = -1;
  if (start == BOUND_NOT_GIVEN && end == BOUND_NOT_GIVEN) {
    g_start_partition_index = 0;
    g_end_partition_index = total_count - 1;
    return 0;
  }
  for (int i = 0; i < total_count; i++) {
    long name_value = atol(ptr[i]->d_name);
    if (g_start_partition_index < 0 && start != BOUND_NOT_GIVEN && name_value == start)
      g_start_partition_index = i;
    if (g_end_partition_index < 0 && end != BOUND_NOT_GIVEN && name_value == end)
      g_end_partition_index = i;
  }
  if (g_start_partition_index < 0) g_start_partition_index = 0;
  if (g_end_partition_index < 0) g_end_partition_index = total_count - 1;
  return 0;
}

char make_partition_list(long start_partition, long end_partition, char *tr_abs_path,
                         int *partition_count, partition_struct **partition_arr_struct) {
  int n = 0;
  struct dirent **list = get_tr_partiton_list(g_testrun, &n, tr_abs_path);
  get_partition_range(list, start_partition, end_partition, n);
  if (g_end_partition_index < g_start_partition_index)
    vzu_fatal(stderr, "Error: End partition is not less than start partition\n");
  for (int p = g_start_partition_index; p <= g_end_partition_index; p++) {
    add_partition_row(partition_arr_struct, tr_abs_path, partition_number(list[p]));
    (*partition_count)++;
  }
  free_partition_list(list, n);
  return 0;
}

int set_partition_time(long long *partition_idx) {
  time_t now = time(NULL);
  struct tm tm;
  char name[32];
  if (localtime_r(&now, &tm) == NULL) return -1;
  if (strftime(name, sizeof name, "%Y%m%d%H%M%S", &tm) == 0) return -1;
  *partition_idx = atoll(name);
  return 0;
}
