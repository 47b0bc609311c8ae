/*
 * store_writer.cpp - puts one vector's decoded values into the time-series
 * store. The first insert of a vector creates it in the store under a
 * tag/value list built from the group's hierarchy and the vector's name
 * (customer, application, then one pair per hierarchy level); later inserts
 * go by the metric ids the store handed back. Generator vectors stay out of
 * the store unless -G was given, except the overall one.
 *
 * Ownership: a vector's metric id buffer comes from the store and is the
 * vector's until the vector tables are rebuilt; a refused first insert's
 * buffer is released here. Single-threaded.
 */
#include <stdlib.h>
#include <string.h>

#include "twlb_util.h"
#include "vira_zedazad_uvoz_izu.h"

long long total_sample_stored = 0;
long long total_store_refusals = 0;

namespace {

constexpr int kMaxNameFields = 50;

/* The generator rule: generator vectors stay out of the store unless -G was
 * given, except the overall one. */
bool is_left_out_generator(const char *hierarchy, const char *vector_name) {
  return strstr(hierarchy, "Controller>Generator") && not_include_generator &&
         !strstr(vector_name, "Controller>Overall");
}

void trace_insert(const TSDB_INFO *g, const Vector_list *v, bool merged_later) {
  if (!(sd_log_tracing_level & 0x0000FF00u)) return;
  const char *group = g->tsdb_group_data_ptr->group_name;
  if (merged_later)
    TRACE2("Going to insert agg data on tsdb for Group : %s, Vector : %s\n start Time : ", group,
           v->vector_name);
  else
    TRACE2("Going to insert agg data on tsdb for Group : %s, Vector : %s\n", group, v->vector_name);
  if (g_debug_level > 1)
    for (int e = 0; e < g->total_elements; ++e) TRACE2("Date[%d] = %lf, ", e, v->data[e]);
}

/* First insert of vector vi: creates it in the store. */
int first_insert(TSDB_INFO *g, int vi) {
  Vector_list *v = &g->vector_list_ptr[vi];
  const tsdb_metric_group *grp = g->tsdb_group_data_ptr;
  if (is_left_out_generator(grp->heirarchy, v->vector_name)) {
    v->metrics_idx_found = VECTOR_LEFT_OUT;
    return 0;
  }
  char hier_buf[512], name_buf[1024];
  char *hier[kMaxNameFields], *name[kMaxNameFields];
  snprintf(hier_buf, sizeof hier_buf, "%s", grp->heirarchy);
  snprintf(name_buf, sizeof name_buf, "%s", v->vector_name);
  char sep[] = ">";
  int vf = get_tokens(name_buf, name, sep, kMaxNameFields);
  int hf = get_tokens(hier_buf, hier, sep, kMaxNameFields);
  if (hf != vf)
    TRACE1(
        "TSDB:ERROR MISMATCHED BREADCUM vector_name_fields  %d mon_breadcrumb_fields %d "
        "vector_name = %s local_group_data_ptr->Hierarchy %s MONITOR_NAME %s Group Name %s\n",
        vf, hf, vf > 0 ? name[0] : "", grp->heirarchy, grp->group_name, grp->group_name);
  tag_val_ptr_t tags[kMaxNameFields + 2];
  get_subject_name(name, hier, tags, hf + 2, vf, hf);
  v->metric_id = tsdb_malloc_metric_id_buffer(grp->num_graphs);
  trace_insert(g, v, false);
  char msg[TSDB_ERR_MSG_LEN] = "";
  int rc = tsdb_insert_bulk_metric_by_mg_gid_ex(
      tags, nullptr, nullptr, 0, hf + 2, static_cast<int>(g->mg_gid), g_frequency, v->data,
      grp->num_graphs, v->metric_id, 0, msg, g->total_elements);
  if (rc < 0) {
    TRACE2(
        "TSDB:ERROR tsdb_insert_bulk_metric_by_mg_gid_ex() error message = %s Return val = "
        "%d\n",
        msg, rc);
    /* The store never filled this buffer, so no series stands behind it: the
     * ordinary heap release (the store's buffers are plain heap blocks) frees
     * it without a store call, and the retry asks for a new one. */
    free(v->metric_id);
    v->metric_id = nullptr;
    return -1;
  }
  v->metrics_idx_found = VECTOR_IN_STORE;
  ++g_tsdb_subject_register;
  return 0;
}

}  // namespace

/* Inserts vector vec_idx of tsdb_info: the first time by group id (or leaves
 * a generator vector out for good), later by metric id. Returns 0 when done
 * or left out, -1 when the store refused (a refused first insert is retried
 * at the next closing packet). Counts every call. */
int insert_into_tsdb(TSDB_INFO *tsdb_info, int vec_idx, int frequency_changed,
                     int /*migrate_flag*/) {
  ++no_of_sample_inserted_in_par;
  ++total_sample;
  Vector_list *v = &tsdb_info->vector_list_ptr[vec_idx];
  if (v->metrics_idx_found == VECTOR_NEW) {
    int rc = first_insert(tsdb_info, vec_idx);
    if (rc == 0 && v->metrics_idx_found == VECTOR_IN_STORE) ++total_sample_stored;
    if (rc < 0) ++total_store_refusals;
    return rc;
  }
  if (v->metrics_idx_found != VECTOR_IN_STORE) return 0;
  trace_insert(tsdb_info, v, frequency_changed != 0);
  int rc = tsdb_insert_bulk_metric_by_id(nullptr, v->metric_id, g_frequency, v->data,
                                         tsdb_info->tsdb_group_data_ptr->num_graphs, 0,
                                         tsdb_info->total_elements);
  if (rc < 0) {
    TRACE2("TSDB:ERROR tsdb_insert_bulk_metric_by_id() error message = %s Return val = %d\n", "",
           rc);
    ++total_store_refusals;
    return -1;
  }
  ++total_sample_stored;
  return 0;
}

/* Fills tv_arr_buf with customer and application ("Default"), then one entry
 * per hierarchy level: the level's name as tag, the vector's field at that
 * level as value ("Default" when the name is shorter). Returns 0. */
char get_subject_name(char **vector_fields, char **Hierarchy, tag_val_ptr_t *tv_arr_buf,
                      int /*num_levels*/, int vector_name_fields, int hierarchy_level) {
  static char customer[] = "customer", application[] = "application", dflt[] = "Default";
  tv_arr_buf[0] = {customer, dflt};
  tv_arr_buf[1] = {application, dflt};
  for (int i = 0; i < hierarchy_level; ++i)
    tv_arr_buf[i + 2] = {Hierarchy[i], i < vector_name_fields ? vector_fields[i] : dflt};
  return 0;
}
