/*
 * recording_store.cpp - a test double of the store library that writes every
 * call and its arguments, one line per call, to the file named by the
 * environment variable ORVTSDB_RECORD (nothing is written when it is unset).
 * Built as its own liborvtsdb.so and put in front of the real one with
 * LD_LIBRARY_PATH, so process-level tests can assert the exact calls.
 *
 * Each line is the call's name, its arguments as key=value and "-> result"
 * (values with %.17g, the missing-value marker as "M", line feeds inside
 * texts as "\n"); metric id buffers are named m1, m2, ... in order of making.
 *
 * Failure injection: ORVTSDB_RECORD_FAIL_GROUP=G makes the registration of
 * group G fail (-1); ORVTSDB_RECORD_FAIL_FIRST_INSERTS=N makes the first N
 * first inserts fail (-1); ORVTSDB_RECORD_DELETE_STATUS=N is the delete's
 * status (default 0).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "orvtsdb.h"

namespace {

FILE *record_file() {
  static FILE *fp = nullptr;
  static bool tried = false;
  if (!tried) {
    tried = true;
    const char *path = getenv("ORVTSDB_RECORD");
    if (path && *path) fp = fopen(path, "a");
  }
  return fp;
}

std::string text(const char *s) {
  std::string out;
  for (; s && *s; ++s) {
    if (*s == '\n')
      out += "\\n";
    else
      out += *s;
  }
  return out;
}

std::string values(const double *data, int n) {
  std::string out;
  char buf[64];
  for (int i = 0; data && i < n; ++i) {
    if (i) out += ',';
    if (data[i] == TSDB_MISSING_VALUE) {
      out += 'M';
    } else {
      snprintf(buf, sizeof buf, "%.17g", data[i]);
      out += buf;
    }
  }
  return out;
}

void record(const std::string &line) {
  FILE *fp = record_file();
  if (!fp) return;
  fputs(line.c_str(), fp);
  fputc('\n', fp);
  fflush(fp);
}

int env_int(const char *name, int dflt) {
  const char *v = getenv(name);
  return (v && *v) ? atoi(v) : dflt;
}

int metric_serial(void *metric_id) { return metric_id ? *static_cast<int *>(metric_id) : -1; }

int g_next_gid = 0;
int g_next_metric = 0;
int g_first_inserts = 0;

}  // namespace

extern "C" {

int tsdb_init_migration(long start_time_sec) {
  record("tsdb_init_migration start=" + std::to_string(start_time_sec));
  return 0;
}

int tsdb_register_gdf(tsdb_metric_group *group, int num_graphs, tsdb_metric_info *graphs,
                      char *err_msg) {
  const char *fail = getenv("ORVTSDB_RECORD_FAIL_GROUP");
  int id = (fail && strcmp(fail, group->group_name) == 0) ? -1 : g_next_gid++;
  if (id < 0 && err_msg) snprintf(err_msg, TSDB_ERR_MSG_LEN, "registration refused");
  record("tsdb_register_gdf group=" + text(group->group_name) + " num_graphs=" +
         std::to_string(group->num_graphs) + " rpt_grp_id=" + std::to_string(group->rpt_grp_id) +
         " group_type=" + std::to_string(group->group_type) +
         " heirarchy=" + text(group->heirarchy) + " metric=" + text(group->group_metric) +
         " desc=" + text(group->group_desc) + " -> " + std::to_string(id));
  for (int i = 0; i < num_graphs; ++i) {
    const tsdb_metric_info &g = graphs[i];
    record("tsdb_register_graph group=" + text(group->group_name) + " idx=" + std::to_string(i) +
           " name=" + text(g.graph_name) + " data_type=" + std::to_string(g.data_type) +
           " formula=" + std::to_string(g.formula) + " state=" + std::to_string(g.graph_state) +
           " graph_type=" + std::to_string(g.graph_type) + " rpt_id=" + std::to_string(g.rpt_id) +
           " priority=" + std::to_string(g.metric_priority) +
           " derived=" + text(g.derived_formula) + " desc=" + text(g.graph_desc));
  }
  return id;
}

void *tsdb_malloc_metric_id_buffer(int num_graphs) {
  int *buf = static_cast<int *>(malloc(sizeof(int) * (num_graphs > 0 ? num_graphs : 1)));
  buf[0] = ++g_next_metric;
  record("tsdb_malloc_metric_id_buffer num_graphs=" + std::to_string(num_graphs) + " -> m" +
         std::to_string(buf[0]));
  return buf;
}

int tsdb_insert_bulk_metric_by_mg_gid_ex(tag_val_ptr_t *tag_val, void *, void *, int,
                                         int num_tag_val, int mg_gid, int granularity, double *data,
                                         int num_graphs, void *metric_id, int, char *err_msg,
                                         int total_elements) {
  int rc = (g_first_inserts++ < env_int("ORVTSDB_RECORD_FAIL_FIRST_INSERTS", 0)) ? -1 : 0;
  if (rc < 0 && err_msg) snprintf(err_msg, TSDB_ERR_MSG_LEN, "insert refused");
  std::string tags;
  for (int i = 0; i < num_tag_val; ++i) {
    if (i) tags += ',';
    tags += text(tag_val[i].tag) + "=" + text(tag_val[i].val);
  }
  record("tsdb_insert_bulk_metric_by_mg_gid_ex mg_gid=" + std::to_string(mg_gid) +
         " gran=" + std::to_string(granularity) + " num_graphs=" + std::to_string(num_graphs) +
         " total=" + std::to_string(total_elements) + " metric=m" +
         std::to_string(metric_serial(metric_id)) + " tags=" + tags +
         " data=" + values(data, total_elements) + " -> " + std::to_string(rc));
  return rc;
}

int tsdb_insert_bulk_metric_by_id(void *, void *metric_id, int granularity, double *data,
                                  int num_graphs, int, int total_elements) {
  record("tsdb_insert_bulk_metric_by_id metric=m" + std::to_string(metric_serial(metric_id)) +
         " gran=" + std::to_string(granularity) + " num_graphs=" + std::to_string(num_graphs) +
         " total=" + std::to_string(total_elements) + " data=" + values(data, total_elements) +
         " -> 0");
  return 0;
}

int tsdb_migration_increment_sample_ex(int granularity) {
  record("tsdb_migration_increment_sample_ex gran=" + std::to_string(granularity));
  return 0;
}

unsigned char tsdb_delete_metric_by_id(void *metric_id, char *err_msg) {
  int status = env_int("ORVTSDB_RECORD_DELETE_STATUS", 0);
  if (status && err_msg) snprintf(err_msg, TSDB_ERR_MSG_LEN, "delete refused");
  record("tsdb_delete_metric_by_id metric=m" + std::to_string(metric_serial(metric_id)) + " -> " +
         std::to_string(status));
  return static_cast<unsigned char>(status);
}

void tsdb_free_metric_id_buffer(void *metric_id) {
  record("tsdb_free_metric_id_buffer metric=m" + std::to_string(metric_serial(metric_id)));
  free(metric_id);
}

int tsdb_exit_migration(long end_time_sec) {
  record("tsdb_exit_migration end=" + std::to_string(end_time_sec));
  return 0;
}

}  // extern "C"
