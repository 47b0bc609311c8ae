/*
 * graph_model.cpp - the in-memory model of the graph definitions: the global
 * group table `tsdb_info`, the word-to-number tables (data types, formulas,
 * exclusion), report group id classes, and the per-vector element layout that
 * the sample path reads for every packet.
 *
 * Data types come from the one table shared with the store,
 * ORV_DATA_TYPES (orvtsdb_data_types.h): element count, width and scale are
 * never repeated here. The group table grows with create_table_entry() and
 * moves when it does, so callers keep group indexes, never row pointers.
 * Everything allocated here lives until process exit, except what the vector
 * rebuild releases (vector_list.cpp). Single thread.
 */
#include <stdlib.h>
#include <string.h>

#include "orvtsdb_data_types.h"
#include "vira_zedazad_uvoz_izu.h"

TSDB_INFO *tsdb_info = NULL;
int total_tsdb_group_entries = 0;
int max_tsdb_group_entries = 0;
int is_all_graph_parsed = 0;

namespace {

const char *const kFormulaNames[] = {"SEC", "KBPS", "PM", "PS", "DBH"};
constexpr int kNumFormulas = sizeof kFormulaNames / sizeof kFormulaNames[0];

/* Width of the first element of data type 10 (its second takes the rest). */
constexpr int kSplitFirstWidth = 2;
constexpr int kSplitGraphWidth = 6;

/* Class of a graph priority for the exclusion rule: "H" 0, "M" 1, else 2. */
int priority_class(const char *graph_priority) {
  if (strcmp(graph_priority, "H") == 0) return 0;
  if (strcmp(graph_priority, "M") == 0) return 1;
  return 2;
}

}  // namespace

/* Announces and allocates a cleared block for the model; NULL for 0 bytes.
 * Heap exhaustion ends the process with the "Out of Memory" message. */
void *model_calloc(size_t bytes, const char *label) {
  if (bytes == 0) return NULL;
  DEBUG_LOG(1, "Allocating memory of %d bytes for %s", static_cast<int>(bytes), label);
  void *block = calloc(1, bytes);
  if (block == NULL) out_of_memory_exit(label);
  return block;
}

void out_of_memory_exit(const char *label) {
  vzu_fatal(stderr, "Out of Memory: %s for index %d\n", label, -1);
}

int init_tsdb_group_info(void) {
  int row = 0;
  create_table_entry_t(&row, &total_tsdb_group_entries, &max_tsdb_group_entries, &tsdb_info,
                       "Group Data");
  memset(&tsdb_info[row], 0, sizeof(TSDB_INFO));
  tsdb_info[row].vector_temp_norm_table = NULL;
  return row;
}

unsigned char data_type_to_num(const char *d_type) {
  for (int i = 0; i < ORV_NUM_DATA_TYPES; ++i) {
    const orv_data_type_t &t = ORV_DATA_TYPES[i];
    if (strcmp(d_type, t.name) == 0 || (t.alt_name && strcmp(d_type, t.alt_name) == 0))
      return static_cast<unsigned char>(i);
  }
  return 255;
}

int getTotalElements(char type, int *graph_element_size, int *num_elements) {
  const orv_data_type_t *t = orv_data_type(static_cast<unsigned char>(type));
  if (t == NULL) return -1;
  *graph_element_size += t->width;
  *num_elements += t->elements;
  return 0;
}

int get_converstion_value(char data_type, int *flag) {
  const orv_data_type_t *t = orv_data_type(static_cast<unsigned char>(data_type));
  int scale = t ? t->scale : 0;
  *flag = scale ? 1 : 0;
  return scale;
}

char formula_to_num(const char *graph_formula) {
  for (int i = 0; i < kNumFormulas; ++i)
    if (strcmp(graph_formula, kFormulaNames[i]) == 0) return static_cast<char>(i);
  return static_cast<char>(255);
}

int is_graph_excluded(const char *graph_priority, const char *graph_state, int mon_priority) {
  if (strcmp(graph_state, "E") == 0) return 100;
  if (mon_priority == -1) return 0;
  int cls = priority_class(graph_priority);
  if (mon_priority < cls) return 100;
  return mon_priority == 3 ? 3 : cls;
}

void fill_formula_info(TSDB_INFO *g) {
  int element = 0;
  for (int graph = 0; graph < g->total_graph_entries; ++graph) {
    for (int k = 0; k < g->num_elements[graph] && element < MAX_ELEMENTS_PER_VECTOR; ++k)
      g->graph_formula_type[element++] = g->graph_formula[graph];
  }
}

void get_no_of_elements(TSDB_INFO *g) {
  g->elements_size = static_cast<int *>(
      model_calloc(sizeof(int) * static_cast<size_t>(g->total_elements), "numGraph"));
  g->total_elements_size = 0;
  int element = 0;
  for (int graph = 0; graph < g->total_graph_entries; ++graph) {
    int width = g->graph_element_size[graph];
    for (int k = 0; k < g->num_elements[graph] && element < g->total_elements; ++k) {
      int w = width;
      if (width == kSplitGraphWidth) w = (k == 0) ? kSplitFirstWidth : width - kSplitFirstWidth;
      g->elements_size[element++] = w;
      g->total_elements_size += w;
    }
  }
  g->elements_done = 1;
}

int is_remapped_group(int rpt_grp_id) { return rpt_grp_id >= 50 && rpt_grp_id <= 55; }

int is_builtin_group(int rpt_grp_id) {
  return rpt_grp_id <= 1001 && !is_remapped_group(rpt_grp_id);
}

int remap_rpt_grp_id(int rpt_id) {
  static const int kFrom[] = {10294, 10469, 10506, 10519, 10520, 10521};
  for (int i = 0; i < 6; ++i)
    if (rpt_id == kFrom[i]) return 50 + i;
  return rpt_id;
}
