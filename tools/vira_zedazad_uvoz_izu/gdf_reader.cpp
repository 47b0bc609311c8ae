/*
 * gdf_reader.cpp - reads one graph definition file version: Info, Group,
 * Graph and vector lines into the group table, registration of each group
 * with the store at its last Graph line, the raw indexes after a partition's
 * first file, and the hand-over of the paired raw sample file.
 *
 * A group is defined by the first file that names it; later versions only
 * make it current again and add, move or delete its vectors. Lines are read
 * in 1024-byte pieces (gdf_line.cpp: Windows line ends and a missing last
 * line end read as plain ones), each piece classified on its own; a line
 * holding a NUL byte is refused. Every refusal names the file and the line
 * on standard error. Names are cut to their record fields. Groups are limited to MAX_GRAPHS_PER_GROUP graphs and
 * MAX_ELEMENTS_PER_VECTOR elements per vector: a file declaring more is
 * refused and the run ends, and so is a file whose Info line gives no
 * usable packet size (one that holds at least the packet header) or
 * interval (one second or more, and at most a day unless an earlier
 * version gave one): its raw samples could not be read, and a
 * migration that leaves a version out is not one to keep. Single thread.
 */
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <unistd.h>

#include "rtg_packet.h"
#include "twlb_util.h"
#include "vira_zedazad_uvoz_izu.h"

namespace {

constexpr int kLineLen = 1024;
constexpr int kMaxFields = 20;
constexpr int kMaxGraphFields = 15;
constexpr int kGraphFields = 14;
constexpr int kGraphTextMax = 255;

const char kGroupFieldsError[] = "Error in reading Group line: no. of fields are not correc";
const char kGraphFieldsError[] = "Error in reading Group line: no. of fields are not correct";

/* Where the reader stands, for the refusal messages. */
const char *g_reading_path = "";
int g_reading_line = 0;

/* What one file's Info line gave; `problem` says why its raw samples cannot
 * be read (NULL when they can). */
struct InfoState {
  long long packet_size = 0;
  int frequency_changed = 0;
  int packet_count_to_merge = -1;
  const char *problem = "it has no Info line";
};

/* A numeric field: optional sign and leading digits, clamped to int. */
int to_int(const char *field) {
  long long v = strtoll(field, NULL, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

/* 1 for a type starting with "vector", 0 for "scalar" (any case), else -1. */
int vector_or_scalar(const char *type) {
  if (strncasecmp(type, "vector", 6) == 0) return 1;
  if (strncasecmp(type, "scalar", 6) == 0) return 0;
  return -1;
}

[[noreturn]] void refuse_group(const char *group, const char *what, int count, int limit) {
  vzu_fatal(stderr,
            "Graph definition file '%s' refused at line %d: group '%s' declares %d %s; at most "
            "%d are supported\n",
            g_reading_path, g_reading_line, group, count, what, limit);
}

void read_info_line(char *line, InfoState *st) {
  char *f[kMaxFields];
  int n = get_tokens(line, f, const_cast<char *>("|"), kMaxFields);
  if (n < 7) {
    st->problem = "its Info line has fewer than 7 fields";
    return;
  }
  /* Read as a 64-bit count and handed on cut to 32 bits; what is left must
   * hold at least one packet header. */
  long long packet_size = static_cast<int>(static_cast<uint32_t>(strtoll(f[5], NULL, 10)));
  int interval = to_int(f[6]);
  if (packet_size < RTG_HDR_LEN) {
    st->problem = "its Info line gives no usable packet size";
    return;
  }
  if (interval / 1000 <= 0) {
    st->problem = "its Info line gives a sampling interval below one second";
    return;
  }
  st->packet_size = packet_size;
  st->problem = NULL;
  g_progress_interval = interval;
  g_prev_frequency = g_frequency;
  calculate_packet_count_to_merge(g_progress_interval, &st->frequency_changed,
                                  &st->packet_count_to_merge);
  g_progress_interval = g_frequency;
  // Above one day an interval changes nothing: it keeps the granularity of
  // an earlier version, and without one the store has none to step by.
  if (g_frequency <= 0)
    st->problem =
        "its Info line gives a sampling interval above one day, and no earlier version "
        "one the store takes";
}

/* Makes the Group line's group current, defining it when it is new. */
int read_group_line(char *line) {
  char *f[kMaxFields];
  int n = get_tokens(line, f, const_cast<char *>("|"), kMaxFields);
  if (n < 2) fatal_after_trace(kGroupFieldsError, "a Group line without a group name");
  int idx = twlb_get_norm_id(&g_group_hash, f[1], static_cast<int>(strlen(f[1])));
  if (idx < 0) {
    idx = init_tsdb_group_info();
    process_group(line, idx, f, n);
  }
  if (tsdb_info[idx].group_deleted == 1) tsdb_info[idx].group_deleted = 0;
  return idx;
}

/* Whether the group still takes Graph lines (none once all are stored). */
bool takes_graphs(int idx) {
  if (idx < 0) return false;
  const TSDB_INFO &g = tsdb_info[idx];
  return !g.is_all_graph_processed && g.total_graph_entries < g.tsdb_group_data_ptr[0].num_graphs;
}

void read_vector_line(char *line, int idx) {
  char *t[kMaxFields];
  int n = get_tokens(line, t, const_cast<char *>(" "), kMaxFields);
  if (idx < 0 || tsdb_info[idx].num_vectors <= 0 || (n != 1 && n != 2)) return;
  TRACE3("prcess_vector_list  befor tsdb_group_idx %d", idx);
  if (n == 2)
    process_vector_list(const_cast<char *>(g_reading_path), t, idx, line);
  else
    add_vector_one_token(idx, t[0]);
}

void read_line(char *line, int *group, InfoState *st) {
  if (strcmp(line, "\n") == 0) return;
  if (strncmp(line, "Info|", 5) == 0)
    read_info_line(line, st);
  else if (strncmp(line, "Group|", 6) == 0)
    *group = read_group_line(line);
  else if (strncmp(line, "Graph|", 6) == 0) {
    if (takes_graphs(*group)) process_graph(line, *group);
  } else
    read_vector_line(line, *group);
}

/* "(Sec..." in a SEC graph's name becomes "(ms)", ending the name. */
void rewrite_seconds(char *name) {
  char *p = strstr(name, "(Sec");
  if (p == NULL) return;
  memcpy(p + 1, "ms)", 4);
}

/* The group's last graph is stored: spread formulas, register, lay out. */
int complete_group(int idx) {
  TSDB_INFO &g = tsdb_info[idx];
  g.is_all_graph_processed = 1;
  fill_formula_info(&g);
  char err[TSDB_ERR_MSG_LEN] = "";
  g.mg_gid = tsdb_register_gdf(g.tsdb_group_data_ptr, g.tsdb_group_data_ptr[0].num_graphs,
                               g.tsdb_metric_ptr, err);
  if (g.mg_gid < 0) {
    TRACE1("Error\n");
    ++total_store_refusals;
    return -1;
  }
  if (!g.elements_done) get_no_of_elements(&g);
  g_tsdb_register_group++;
  return 0;
}

/* The version's definition file, or NULL after saying why it is skipped.
 * Only a regular file is read: anything else is refused. */
FILE *open_definition_file(const char *path) {
  const char *why = "";
  bool not_regular = false;
  FILE *fp = fopen_regular(path, &why, &not_regular);
  if (not_regular) refuse_input_file("Graph definition file", path, why);
  if (fp == NULL) vzu_print(stderr, "Unable to open '%s'. Error = %s", path, why);
  return fp;
}

}  // namespace

void fatal_after_trace(const char *trace_text, const char *detail) {
  TRACE1("%s", trace_text);
  vzu_fatal(stderr, "Graph definition file '%s' refused at line %d: %s (%s)\n", g_reading_path,
            g_reading_line, trace_text, detail);
}

void read_testrun_gdf_diff_rtg_file(tr_gdf_struct *gdf_struct_arr, char *tw_wdir,
                                    partition_struct *ptr) {
  const char *path = gdf_struct_arr->testrun_gdf_path;
  FILE *fp = open_definition_file(path);
  if (fp == NULL) return;
  g_reading_path = path;
  int group = -1;
  InfoState st;
  char line[kLineLen];
  GdfLines in{fp};
  int cut_line = 0;
  /* A NUL byte ends the line's text where it stands, as for any C string. */
  while (gdf_read_line(&in, line, kLineLen) != GDF_LINE_END) {
    g_reading_line = in.line_no;
    // A line longer than the buffer is read in parts, each as a line of its
    // own: said once per line, since names and offsets after it may differ.
    if (!in.at_line_start && in.line_no != cut_line) {
      cut_line = in.line_no;
      reset_test_start_time();
      vzu_print(stderr,
                " %s | Graph definition file '%s' line %d is longer than %d characters: it is "
                "read in parts, each as a line of its own\n",
                g_test_start_time, path, in.line_no, kLineLen - 1);
    }
    read_line(line, &group, &st);
  }
  fclose(fp);
  g_reading_path = "";
  if (flat) {
    set_rtg_index_and_vuvoravu_on_tw_gdf();
    flat = 0;
  }
  if (st.problem) refuse_input_file("Graph definition file", path, st.problem);
  read_rtg_file(gdf_struct_arr, static_cast<int>(st.packet_size), tw_wdir, ptr,
                st.frequency_changed, st.packet_count_to_merge);
}

void process_group(char *line, int tsdb_group_idx, char **buffer, int num_fields) {
  (void)line;
  if (num_fields != 6 && num_fields != 9)
    fatal_after_trace(kGroupFieldsError, "a new group's Group line needs 6 or 9 fields");
  const char *name = buffer[1];
  int len = static_cast<int>(strlen(name));
  int id = twlb_get_norm_id(&g_group_hash, name, len);
  TRACE2("Group norm idx for Group name %s - %d", name, id);
  if (id >= 0) return;
  bool full = num_fields == 9;
  char none[] = "", no_hierarchy[] = "-";
  fill_group_info(buffer[1], to_int(buffer[2]), to_int(buffer[4]), to_int(buffer[5]), buffer[3],
                  full ? buffer[7] : no_hierarchy, full ? buffer[8] : none, full ? buffer[6] : none,
                  tsdb_group_idx);
  id = static_cast<int>(twlb_set_norm_id(&g_group_hash, name, len, tsdb_group_idx));
  TRACE2("Inside first time Group norm idx for Group name %s - %d", name, id);
}

void fill_group_info(char *gname, int rpt_id, int numGraph, int numVector, char *groupType,
                     char *groupHierarchy, char *group_description, char *groupMetric,
                     int tsdb_group_idx) {
  if (numGraph < 0 || numGraph > MAX_GRAPHS_PER_GROUP)
    refuse_group(gname, "graphs", numGraph, MAX_GRAPHS_PER_GROUP);
  TSDB_INFO &g = tsdb_info[tsdb_group_idx];
  int row = 0;
  create_table_entry_t(&row, &g.total_group_entries, &g.max_groups_entries, &g.tsdb_group_data_ptr,
                       "Group Data");
  tsdb_metric_group &rec = g.tsdb_group_data_ptr[0];
  memset(&rec, 0, sizeof rec);
  snprintf(rec.group_name, sizeof rec.group_name, "%s", gname);
  snprintf(rec.group_desc, sizeof rec.group_desc, "%s", group_description);
  snprintf(rec.group_metric, sizeof rec.group_metric, "%s", groupMetric);
  size_t per_graph = sizeof(int) * static_cast<size_t>(numGraph);
  g.graph_element_size = static_cast<int *>(model_calloc(per_graph, "numGraph"));
  g.num_elements = static_cast<int *>(model_calloc(per_graph, "numGraph"));
  g.num_vectors = numVector;
  rec.group_type = static_cast<signed char>(vector_or_scalar(groupType));
  if (rec.group_type < 0) {
    TRACE1("Invalid Group Data for Group name %s", gname);
    /* Where it was found, then the message itself (which has no line end). */
    vzu_print(stderr, "Graph definition file '%s', line %d: unknown group type\n", g_reading_path,
              g_reading_line);
    vzu_fatal(stderr, "Invalid Group Data for Group name %s", gname);
  }
  is_all_graph_parsed = 0;
  rec.num_graphs = static_cast<unsigned short>(numGraph);
  rec.rpt_grp_id = remap_rpt_grp_id(rpt_id);
  if (rec.rpt_grp_id > 1001)
    snprintf(rec.heirarchy, sizeof rec.heirarchy, "%s", groupHierarchy);
  else if (strcmp(groupHierarchy, "-") == 0)
    snprintf(rec.heirarchy, sizeof rec.heirarchy, "TestMetrics");
  else
    snprintf(rec.heirarchy, sizeof rec.heirarchy, "TestMetrics>%s", groupHierarchy);
  twlb_init_norm_id_table_ex(&g.vector_norm_table, VECTOR_HASH_SIZE);
}

int process_graph(char *line, int index) {
  char *f[kMaxGraphFields];
  int n = get_tokens(line, f, const_cast<char *>("|"), kMaxGraphFields);
  if (n != kGraphFields) fatal_after_trace(kGraphFieldsError, "a Graph line needs 14 fields");
  if (tsdb_info[index].start_index_of_graph == 0)
    tsdb_info[index].start_index_of_graph = to_int(f[5]);
  return fill_graph_info(f[1], f[13], f[3], f[4], f[6], f[8], f[11], to_int(f[2]), -1, index);
}

int fill_graph_info(char *graph_name, char *graph_desc, char *graph_type, char *data_type,
                    char *formula, char *graph_state, char *graph_priority, int rpt_id,
                    int metric_priority, int group_idx) {
  TSDB_INFO &g = tsdb_info[group_idx];
  int row = 0;
  create_table_entry_t(&row, &g.total_graph_entries, &g.max_graph_entries, &g.tsdb_metric_ptr,
                       "Graph Data");
  tsdb_metric_info &rec = g.tsdb_metric_ptr[row];
  memset(&rec, 0, sizeof rec);
  rec.graph_type = static_cast<signed char>(vector_or_scalar(graph_type));
  rec.data_type = data_type_to_num(data_type);
  rec.rpt_id = static_cast<unsigned short>(rpt_id);
  rec.formula = static_cast<signed char>(formula_to_num(formula));
  g.graph_formula[row] = rec.formula;
  char name[kLineLen];
  snprintf(name, sizeof name, "%s", graph_name);
  if (rec.formula == FORMULA_SEC) rewrite_seconds(name);
  snprintf(rec.graph_name, sizeof rec.graph_name, "%.*s", kGraphTextMax, name);
  snprintf(rec.graph_desc, sizeof rec.graph_desc, "%.*s", kGraphTextMax, graph_desc);
  snprintf(rec.derived_formula, sizeof rec.derived_formula, "NA");
  if (getTotalElements(static_cast<char>(rec.data_type), &g.graph_element_size[row],
                       &g.num_elements[row]) < 0)
    fatal_after_trace("Error in reading Group line: no. of fields are not correc",
                      "the graph's data type is not known");
  if (g.total_elements + g.num_elements[row] > MAX_ELEMENTS_PER_VECTOR)
    refuse_group(g.tsdb_group_data_ptr[0].group_name, "elements per vector",
                 g.total_elements + g.num_elements[row], MAX_ELEMENTS_PER_VECTOR);
  g.total_elements += g.num_elements[row];
  if (g.graph_element_size[row] < 8) g.type_cast_reqd = 1;
  TRACE2("\n\nDEBUG---Element for graph %s data type %s graph elemet size %hi\n\n", rec.graph_name,
         data_type, static_cast<short>(g.graph_element_size[row]));
  rec.graph_state = static_cast<signed char>(
      is_graph_excluded(graph_priority, graph_state, metric_priority));
  rec.metric_priority = static_cast<signed char>(metric_priority);
  is_all_graph_parsed++;
  /* Complete when the group's own count is reached: is_all_graph_parsed
   * restarts at every new group, so a group whose Graph lines continue in a
   * later file, after other new groups, would never complete by it. */
  bool complete = g.total_graph_entries == g.tsdb_group_data_ptr[0].num_graphs;
  if (complete && complete_group(group_idx) < 0) return -1;
  return row;
}
