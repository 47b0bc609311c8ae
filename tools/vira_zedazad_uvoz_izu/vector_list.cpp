/*
 * vector_list.cpp - each group's vector table across the versions of a
 * partition's graph definitions: vectors added by one- and two-token lines,
 * moved to a new raw index, deleted (with a last flush and a delete in the
 * store) and brought back; after a partition's first file, raw indexes from
 * the group's block layout and the "VuvoRavu" naming of built-in groups; and
 * the rebuild that drops every vector before the next partition.
 *
 * A vector is found by its listed name through the group's vector_norm_table,
 * whose id is the row the name was first added at; rows are addressed by
 * index because the table moves when it grows. Every buffer of a row is a
 * plain heap block owned by the row (the store's metric id buffer included).
 * Single thread.
 */
#include <stdlib.h>
#include <string.h>

#include "vira_zedazad_uvoz_izu.h"

namespace {

const char kVuvoRavu[] = "VuvoRavu";
constexpr int kNameBuildLen = 1024;

/* "VuvoRavu>" followed by `name`, cut to the 1024-byte build buffer. */
void build_prefixed_name(const char *name, char *out) {
  snprintf(out, kNameBuildLen, "%s>%s", kVuvoRavu, name);
}

/* Appends a vector row for `key` (its listed name) stored as `stored`; the
 * row's id is the key's id in the group's name table. Returns the row. */
int add_vector_row(int group_idx, const char *key, const char *stored) {
  TSDB_INFO &g = tsdb_info[group_idx];
  int row = 0;
  create_table_entry_t(&row, &g.total_vector_entries, &g.max_vector_entries, &g.vector_list_ptr,
                       "Group Data");
  unsigned int id = twlb_set_norm_id(&g.vector_norm_table, key, static_cast<int>(strlen(key)), row);
  Vector_list &v = g.vector_list_ptr[row];
  memset(&v, 0, sizeof v);
  v.vector_idx = static_cast<int>(id);
  v.vector_name = static_cast<char *>(model_calloc(VECTOR_NAME_BUF_LEN, "vector_name copy"));
  snprintf(v.vector_name, VECTOR_NAME_BUF_LEN, "%s", stored);
  return row;
}

/* Row of the vector listed as `name` in the group, or -1 when unknown. */
int find_vector_row(TSDB_INFO &g, const char *name) {
  int id = twlb_get_norm_id(&g.vector_norm_table, name, static_cast<int>(strlen(name)));
  return (id >= 0 && id < g.total_vector_entries) ? id : -1;
}

/* The vector's last values at the previous granularity, then the store
 * delete; the metric id buffer is released only when the store agreed. */
void delete_in_store(TSDB_INFO &g, Vector_list &v, const char *name) {
  int num_graphs = g.tsdb_group_data_ptr[0].num_graphs;
  if (v.data)
    tsdb_insert_bulk_metric_by_id(NULL, v.metric_id, g_prev_frequency, v.data, num_graphs, 0,
                                  g.total_elements);
  char err[TSDB_ERR_MSG_LEN] = "";
  unsigned char status = tsdb_delete_metric_by_id(v.metric_id, err);
  TRACE2("Delete vector received for vector name %s", name);
  if (status != 0) {
    TRACE2("TSDB:ERROR Received error deleting metric id error message = %s Return val =%d\n", err,
           status);
    return;
  }
  tsdb_free_metric_id_buffer(v.metric_id);
  v.metric_id = NULL;
}

void delete_vector(int group_idx, const char *name) {
  TSDB_INFO &g = tsdb_info[group_idx];
  int row = find_vector_row(g, name);
  if (row < 0) {
    TRACE2("Delete vector received %s not found", name);
    return;
  }
  Vector_list &v = g.vector_list_ptr[row];
  v.delete_flag = 1;
  v.metrics_idx_found = 0;
  if (v.metric_id) delete_in_store(g, v, name);
}

void list_vector(int group_idx, const char *name, long rtg_idx) {
  TSDB_INFO &g = tsdb_info[group_idx];
  int row = find_vector_row(g, name);
  if (row >= 0) {
    Vector_list &v = g.vector_list_ptr[row];
    if (v.delete_flag) {
      if (v.rtg_idx == -1) v.rtg_idx = rtg_idx;
      v.delete_flag = 0;
    } else if (v.rtg_idx != rtg_idx) {
      v.rtg_idx = rtg_idx;
    }
    return;
  }
  char stored[kNameBuildLen];
  if (is_remapped_group(g.tsdb_group_data_ptr[0].rpt_grp_id))
    build_prefixed_name(name, stored);
  else
    snprintf(stored, sizeof stored, "%s", name);
  row = add_vector_row(group_idx, name, stored);
  g.vector_list_ptr[row].rtg_idx = rtg_idx;
  TRACE2("New vector Added %s with rtg_index %d", stored, static_cast<int>(rtg_idx));
}

/* Gives every row an index from the group's block layout, in row order. */
void assign_layout_indexes(TSDB_INFO &g) {
  long offset = g.start_index_of_graph;
  for (int row = 0; row < g.total_vector_entries; ++row) {
    Vector_list &v = g.vector_list_ptr[row];
    v.rtg_idx = offset;
    TRACE2("vector [%s] with starting rtg_index [%d], total_size [%d]", v.vector_name,
           static_cast<int>(v.rtg_idx), g.total_elements_size);
    offset += g.total_elements_size;
  }
}

/* Prefixes every row's stored name with "VuvoRavu>". */
void prefix_vector_names(TSDB_INFO &g, bool trace) {
  char name[kNameBuildLen];
  for (int row = 0; row < g.total_vector_entries; ++row) {
    Vector_list &v = g.vector_list_ptr[row];
    build_prefixed_name(v.vector_name, name);
    snprintf(v.vector_name, VECTOR_NAME_BUF_LEN, "%s", name);
    if (trace)
      TRACE2("vector [%s] with starting rtg_index [%d], total_size [%d]", v.vector_name,
             static_cast<int>(v.rtg_idx), g.total_elements_size);
  }
}

void index_builtin_group(int group_idx) {
  TSDB_INFO &g = tsdb_info[group_idx];
  if (g.total_vector_entries == 0) {
    int row = add_vector_row(group_idx, kVuvoRavu, kVuvoRavu);
    g.vector_list_ptr[row].rtg_idx = g.start_index_of_graph;
    TRACE2("New vector Added %s with rtg_index %d", kVuvoRavu, g.start_index_of_graph);
  } else if (g.vector_list_ptr[0].rtg_idx != -1) {
    prefix_vector_names(g, true);
  } else {
    prefix_vector_names(g, false);
    assign_layout_indexes(g);
  }
}

void free_vector_row(Vector_list &v) {
  free(v.vector_name);
  free(v.sample_count);
  free(v.metric_id);
  free(v.data);
  v.vector_name = NULL;
  v.sample_count = NULL;
  v.metric_id = NULL;
  v.data = NULL;
}

}  // namespace

void add_vector_one_token(int group_idx, char *token) {
  size_t len = strcspn(token, "\n");
  token[len] = '\0'; /* a line of blanks gives a vector of an empty name */
  int row = add_vector_row(group_idx, token, token);
  tsdb_info[group_idx].vector_list_ptr[row].rtg_idx = -1;
  TRACE2("New vector Added %s with rtg_index %d", token, -1);
}

void process_vector_list(char *testrun_gdf_path, char **fields, int index, char *line) {
  (void)testrun_gdf_path;
  (void)line;
  const char *name = fields[0];
  long rtg_idx = strtoll(fields[1], NULL, 10);
  if (name[0] == '#' && name[1] == '-')
    delete_vector(index, name + 2);
  else
    list_vector(index, name, rtg_idx);
}

void set_rtg_index_and_vuvoravu_on_tw_gdf(void) {
  for (int i = 0; i < total_tsdb_group_entries; ++i) {
    TSDB_INFO &g = tsdb_info[i];
    if (g.tsdb_group_data_ptr == NULL) continue;
    int id = g.tsdb_group_data_ptr[0].rpt_grp_id;
    if (is_remapped_group(id)) continue;
    if (is_builtin_group(id)) {
      index_builtin_group(i);
    } else if (g.total_vector_entries > 0 && g.vector_list_ptr[0].rtg_idx == -1) {
      assign_layout_indexes(g);
    }
  }
}

void free_vector_list_struct(void) {
  for (int i = 0; i < total_tsdb_group_entries; ++i) {
    TSDB_INFO &g = tsdb_info[i];
    for (int row = 0; row < g.total_vector_entries; ++row) free_vector_row(g.vector_list_ptr[row]);
    free(g.vector_list_ptr);
    g.vector_list_ptr = NULL;
    g.total_vector_entries = 0;
    g.max_vector_entries = 0;
    twlb_obj_hash_destroy(&g.vector_norm_table);
    twlb_init_norm_id_table_ex(&g.vector_norm_table, VECTOR_HASH_SIZE);
  }
}
