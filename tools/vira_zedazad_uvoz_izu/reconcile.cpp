/*
 * reconcile.cpp - at a partition switch, compares the group table built so
 * far with the groups and vectors that the new partition's first graph
 * definition file declares: every group and vector it no longer declares is
 * reported on standard error and marked, so the packet walk skips a vanished
 * group until the reader meets it again.
 *
 * The names the new file declares are collected in scratch normalized-ID
 * tables (g_group_temp_hash, and per group vector_temp_norm_table) that live
 * only during the switch; nothing of them survives it. A vector is looked up
 * by its stored name: one of a built-in or remapped group, stored as
 * "VuvoRavu>name" and listed as "name", is reported as deleted at every
 * switch, and so marked on the previous partition's vector list, which the
 * loop then discards (the report is the only lasting effect). Single
 * thread.
 */
#include <stdlib.h>
#include <string.h>

#include "twlb_util.h"
#include "vira_zedazad_uvoz_izu.h"

NormObjKey *g_group_temp_hash = NULL;

namespace {

const char kScratchLabel[] = "Memory allocation to Norm gdf_name table";
constexpr int kLineLen = 1024;
constexpr int kMaxFields = 20;
constexpr int kGroupScratchSize = 1024;
constexpr int kGroupScratchBytes = 90112;
constexpr int kVectorScratchBytes = 1441792;

NormObjKey *new_scratch_table(int size, int bytes) {
  DEBUG_LOG(1, "Allocating memory of %d bytes for %s", bytes, kScratchLabel);
  NormObjKey *table = static_cast<NormObjKey *>(calloc(1, sizeof(NormObjKey)));
  if (table == NULL) out_of_memory_exit(kScratchLabel);
  twlb_init_norm_id_table_ex(table, size);
  return table;
}

void free_scratch_table(NormObjKey **table) {
  if (*table == NULL) return;
  twlb_obj_hash_destroy(*table);
  free(*table);
  *table = NULL;
}

bool in_table(NormObjKey *table, const char *name) {
  return twlb_get_norm_id(table, name, static_cast<int>(strlen(name))) >= 0;
}

/* Vectors deleted earlier have no place in the packets any more. */
void unindex_deleted_vectors(void) {
  for (int g = 0; g < total_tsdb_group_entries; g++) {
    TSDB_INFO *group = &tsdb_info[g];
    for (int v = 0; v < group->total_vector_entries; v++)
      if (group->vector_list_ptr[v].delete_flag == 1) group->vector_list_ptr[v].rtg_idx = -1;
  }
}

/* Where the scan of the new definition file stands: the group whose lines
 * follow (-1 for none or a group new to this run) and its vector counter. */
struct Scan {
  int group_idx = -1;
  int vector_counter = 0;
};

void scan_group_line(char *line, Scan *scan) {
  char *fields[kMaxFields];
  int n = get_tokens(line, fields, const_cast<char *>("|"), kMaxFields);
  scan->vector_counter = 0;
  scan->group_idx = -1;
  if (n < 2) return;
  int len = static_cast<int>(strlen(fields[1]));
  int idx = twlb_get_norm_id(&g_group_hash, fields[1], len);
  if (idx < 0 || idx >= total_tsdb_group_entries) return; /* new to this run */
  scan->group_idx = idx;
  twlb_set_norm_id(g_group_temp_hash, fields[1], len, idx);
  int num_vectors = n > 5 ? atoi(fields[5]) : 0;
  TSDB_INFO *group = &tsdb_info[idx];
  if (num_vectors >= 1 && group->vector_temp_norm_table == NULL)
    group->vector_temp_norm_table = new_scratch_table(VECTOR_HASH_SIZE, kVectorScratchBytes);
}

/* Only a line of exactly two blank-separated tokens (name and index)
 * declares a vector here. */
void scan_vector_line(char *line, Scan *scan) {
  if (scan->group_idx < 0) return;
  NormObjKey *vectors = tsdb_info[scan->group_idx].vector_temp_norm_table;
  if (vectors == NULL) return;
  char *fields[kMaxFields];
  if (get_tokens(line, fields, const_cast<char *>(" "), kMaxFields) != 2) return;
  int len = static_cast<int>(strlen(fields[0]));
  if (twlb_get_norm_id(vectors, fields[0], len) == -2)
    twlb_set_norm_id(vectors, fields[0], len, scan->vector_counter++);
}

/* Lines are classified as the graph definition reader does; Info and Graph
 * lines declare no vectors. */
void scan_new_definitions(FILE *fp) {
  char line[kLineLen];
  Scan scan;
  GdfLines in{fp};
  for (int rc; (rc = gdf_read_line(&in, line, kLineLen)) != GDF_LINE_END;) {
    /* the reader refuses such a line when it reads the file */
    if (rc == GDF_LINE_NUL || strcmp(line, "\n") == 0) continue;
    if (strncmp(line, "Group|", 6) == 0)
      scan_group_line(line, &scan);
    else if (strncmp(line, "Info|", 5) != 0 && strncmp(line, "Graph|", 6) != 0)
      scan_vector_line(line, &scan);
  }
}

/* Whether the new file lists the vector under its stored name. */
bool vector_still_declared(const TSDB_INFO *group, const char *stored_name) {
  return in_table(group->vector_temp_norm_table, stored_name);
}

void mark_vector_deleted(Vector_list *vector) {
  vector->delete_flag = 1;
  vzu_print(stderr, "Vector Deleted [%s] rtg_idx [%ld]\n", vector->vector_name, vector->rtg_idx);
  vector->rtg_idx = -1;
  vector->metrics_idx_found = 0;
}

/* Reports and marks, in group-table order, what the new file no longer
 * declares. A group declared with no vectors keeps all of them. */
void mark_undeclared(void) {
  for (int g = 0; g < total_tsdb_group_entries; g++) {
    TSDB_INFO *group = &tsdb_info[g];
    const char *name = group->tsdb_group_data_ptr->group_name;
    if (!in_table(g_group_temp_hash, name)) {
      for (int v = 0; v < group->total_vector_entries; v++)
        mark_vector_deleted(&group->vector_list_ptr[v]);
      group->group_deleted = 1;
      vzu_print(stderr, "GROUP Deleted [%s]\n", name);
    } else if (group->vector_temp_norm_table != NULL) {
      for (int v = 0; v < group->total_vector_entries; v++)
        if (!vector_still_declared(group, group->vector_list_ptr[v].vector_name))
          mark_vector_deleted(&group->vector_list_ptr[v]);
    }
  }
}

void release_scratch_tables(void) {
  for (int g = 0; g < total_tsdb_group_entries; g++)
    free_scratch_table(&tsdb_info[g].vector_temp_norm_table);
  free_scratch_table(&g_group_temp_hash);
}

}  // namespace

/* Without a readable first definition file there is nothing to compare. */
void reconcile_with_new_partition(const tr_gdf_struct *gdf_struct_arr) {
  unindex_deleted_vectors();
  if (gdf_struct_arr == NULL || strstr(gdf_struct_arr->testrun_gdf_path, "testrun.gdf") == NULL)
    return;
  const char *why = "";
  bool not_regular = false;
  FILE *fp = fopen_regular(gdf_struct_arr->testrun_gdf_path, &why, &not_regular);
  if (fp == NULL) return; /* the reader says why when it gets to the file */
  g_group_temp_hash = new_scratch_table(kGroupScratchSize, kGroupScratchBytes);
  scan_new_definitions(fp);
  mark_undeclared();
  release_scratch_tables();
  fclose(fp);
}
