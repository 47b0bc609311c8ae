/*
 * graph_model_test.cpp - the model's word tables (data types, formulas,
 * exclusion), report id remapping and classes, and the per-vector element
 * layout and formula spreading that the sample path reads per packet.
 */
#include <gtest/gtest.h>

#include <cstdlib>

#include "orvtsdb_data_types.h"
#include "vira_zedazad_uvoz_izu.h"

namespace {

TEST(WordTables, DataTypeAndFormulaNamesAreExactAndCaseSensitive) {
  for (int i = 0; i < ORV_NUM_DATA_TYPES; ++i)
    EXPECT_EQ(i, data_type_to_num(ORV_DATA_TYPES[i].name)) << ORV_DATA_TYPES[i].name;
  EXPECT_EQ(16, data_type_to_num("tdigest"));
  EXPECT_EQ(255, data_type_to_num("Sample"));
  EXPECT_EQ(255, data_type_to_num(""));
  EXPECT_EQ(FORMULA_SEC, formula_to_num("SEC"));
  EXPECT_EQ(FORMULA_DBH, formula_to_num("DBH"));
  EXPECT_EQ(-1, static_cast<signed char>(formula_to_num("sec")));
  int flag = -1;
  EXPECT_EQ(100, get_converstion_value(10, &flag));
  EXPECT_EQ(1, flag);
  EXPECT_EQ(0, get_converstion_value(3, &flag));
  EXPECT_EQ(0, flag);
}

TEST(Exclusion, StateEExcludesElsePriorityClassAgainstMonitor) {
  EXPECT_EQ(100, is_graph_excluded("H", "E", -1));
  EXPECT_EQ(100, is_graph_excluded("H", "E", 3));
  EXPECT_EQ(0, is_graph_excluded("L", "0", -1));
  EXPECT_EQ(100, is_graph_excluded("M", "0", 0));  /* class 1 above monitor 0 */
  EXPECT_EQ(100, is_graph_excluded("X", "0", 1));  /* class 2 above monitor 1 */
  EXPECT_EQ(1, is_graph_excluded("M", "0", 2));
  EXPECT_EQ(0, is_graph_excluded("H", "0", 0));
  EXPECT_EQ(3, is_graph_excluded("X", "0", 3));
}

TEST(ReportIds, RemappingAndClasses) {
  const int from[] = {10294, 10469, 10506, 10519, 10520, 10521};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(50 + i, remap_rpt_grp_id(from[i]));
  EXPECT_EQ(5, remap_rpt_grp_id(5));
  EXPECT_EQ(10295, remap_rpt_grp_id(10295));
  EXPECT_TRUE(is_remapped_group(50) && is_remapped_group(55));
  EXPECT_FALSE(is_remapped_group(49) || is_remapped_group(56));
  EXPECT_TRUE(is_builtin_group(5) && is_builtin_group(49) && is_builtin_group(1001));
  EXPECT_FALSE(is_builtin_group(52) || is_builtin_group(1002));
}

/* A group of the given data types, its graph arrays as the reader fills them. */
TSDB_INFO make_group(std::initializer_list<int> types, std::initializer_list<int> formulas) {
  TSDB_INFO g{};
  g.total_graph_entries = static_cast<int>(types.size());
  g.graph_element_size = static_cast<int *>(calloc(types.size(), sizeof(int)));
  g.num_elements = static_cast<int *>(calloc(types.size(), sizeof(int)));
  int i = 0;
  for (int t : types) {
    getTotalElements(static_cast<char>(t), &g.graph_element_size[i], &g.num_elements[i]);
    g.total_elements += g.num_elements[i++];
  }
  i = 0;
  for (int f : formulas) g.graph_formula[i++] = f;
  return g;
}

void free_group(TSDB_INFO &g) {
  free(g.graph_element_size);
  free(g.num_elements);
  free(g.elements_size);
}

TEST(ElementLayout, SplitTypeThenTimes) {
  TSDB_INFO g = make_group({10, 3}, {FORMULA_PM, -1});
  get_no_of_elements(&g);
  ASSERT_EQ(6, g.total_elements);
  const int expected[] = {2, 4, 8, 8, 8, 8};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(expected[i], g.elements_size[i]) << i;
  EXPECT_EQ(38, g.total_elements_size);
  EXPECT_EQ(1, g.elements_done);

  fill_formula_info(&g);
  const int formula[] = {FORMULA_PM, FORMULA_PM, -1, -1, -1, -1};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(formula[i], g.graph_formula_type[i]) << i;
  free_group(g);
}

}  // namespace
