/*
 * graph_model_test.cpp - the model's word tables (data types, formulas,
 * exclusion), report id remapping and classes, and the per-vector element
 * layout and formula spreading that the sample path reads per packet.
 */
#include <gtest/gtest.h>

#include <cstdlib>

#include "vira_zedazad_uvoz_izu.h"

namespace {

TEST(DataTypes, NamesAreExactAndCaseSensitive) {
  const char *names[] = {"sample", "rate", "cumulative", "times", "timesStd", "sum",
                         "rate_4B_1000", "times_4B_1000", "sample_2B_100", "sample_4B_1000",
                         "sample_2B_100_count_4B", "sum_4B", "timesStd_4B_1000", "sample_4B",
                         "sample_1B", "times_4B_10", "tdigest_4B"};
  for (int i = 0; i < 17; ++i) EXPECT_EQ(i, data_type_to_num(names[i])) << names[i];
  EXPECT_EQ(16, data_type_to_num("tdigest"));
  EXPECT_EQ(255, data_type_to_num("Sample"));
  EXPECT_EQ(255, data_type_to_num("sample "));
  EXPECT_EQ(255, data_type_to_num(""));
}

TEST(DataTypes, WidthsCountsAndScales) {
  struct {
    int type, width, count, scale;
  } rows[] = {{0, 8, 1, 0},   {3, 8, 4, 0},   {4, 8, 5, 0},    {6, 4, 1, 1000}, {7, 4, 4, 1000},
              {8, 2, 1, 100}, {10, 6, 2, 100}, {12, 4, 5, 1000}, {14, 1, 1, 0},   {15, 4, 4, 10},
              {16, 4, 1, 0}};
  for (auto &r : rows) {
    int width = 0, count = 0, flag = -1;
    getTotalElements(static_cast<char>(r.type), &width, &count);
    EXPECT_EQ(r.width, width) << "type " << r.type;
    EXPECT_EQ(r.count, count) << "type " << r.type;
    EXPECT_EQ(r.scale, get_converstion_value(static_cast<char>(r.type), &flag));
    EXPECT_EQ(r.scale ? 1 : 0, flag) << "type " << r.type;
  }
}

TEST(DataTypesDeath, UnknownTypeEndsTheProcess) {
  int width = 0, count = 0;
  EXPECT_EXIT(getTotalElements(static_cast<char>(255), &width, &count),
              testing::ExitedWithCode(255), "");
  EXPECT_EXIT(getTotalElements(17, &width, &count), testing::ExitedWithCode(255), "");
}

TEST(Formulas, ExactNamesElseMinusOne) {
  EXPECT_EQ(FORMULA_SEC, formula_to_num("SEC"));
  EXPECT_EQ(FORMULA_KBPS, formula_to_num("KBPS"));
  EXPECT_EQ(FORMULA_PM, formula_to_num("PM"));
  EXPECT_EQ(FORMULA_PS, formula_to_num("PS"));
  EXPECT_EQ(FORMULA_DBH, formula_to_num("DBH"));
  EXPECT_EQ(-1, static_cast<signed char>(formula_to_num("sec")));
  EXPECT_EQ(-1, static_cast<signed char>(formula_to_num("NA")));
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

TEST(ElementLayout, NarrowTypesKeepTheirWidths) {
  TSDB_INFO g = make_group({14, 8, 12, 0}, {});
  get_no_of_elements(&g);
  const int expected[] = {1, 2, 4, 4, 4, 4, 4, 8};
  ASSERT_EQ(8, g.total_elements);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(expected[i], g.elements_size[i]) << i;
  EXPECT_EQ(31, g.total_elements_size);
  free_group(g);
}

TEST(GroupTable, GrowsByFiveAndKeepsEarlierGroups) {
  int first = init_tsdb_group_info();
  for (int i = 1; i < 6; ++i) {
    tsdb_info[first + i - 1].num_vectors = 100 + i;
    EXPECT_EQ(first + i, init_tsdb_group_info());
  }
  EXPECT_EQ(first + 6, total_tsdb_group_entries);
  EXPECT_GE(max_tsdb_group_entries, 10);
  for (int i = 1; i < 6; ++i) EXPECT_EQ(100 + i, tsdb_info[first + i - 1].num_vectors);
  EXPECT_EQ(0, tsdb_info[first + 5].num_vectors);
  EXPECT_EQ(nullptr, tsdb_info[first + 5].vector_temp_norm_table);
}

}  // namespace
