/*
 * sample_convert.cpp - the formula and scale steps on one element or one
 * graph of a vector's values, for callers that convert value by value; the
 * decoders use the same inline steps of sample_convert.h on whole blocks.
 */
#include "sample_convert.h"

using namespace vzu_sample;

/* Divides the scale of data_type out of the graph whose last element is
 * ele_idx; counts and missing values are left as they are. */
void revert_data_type_changes_done_in_rtg(TSDB_INFO *tsdb_info, int data_type, int vec_idx,
                                          int ele_idx) {
  const orv_data_type_t *t = type_of(data_type);
  unscale(tsdb_info->vector_list_ptr[vec_idx].data + ele_idx - (t->elements - 1), t);
}

/* Applies `formula` to element ele_idx of vector vec_idx in place ("KBPS":
 * bytes to kilobits per second at g_frequency, "DBH": / 100, others none);
 * the missing-value marker is left alone. counter and num_elements_in_graph
 * do not matter. */
void handle_formula_type(int formula, TSDB_INFO *tsdb_info, int vec_idx, int ele_idx,
                         int /*counter*/, int /*num_elements_in_graph*/) {
  apply_formula(formula, &tsdb_info->vector_list_ptr[vec_idx].data[ele_idx]);
}
