/*
 * graph_model_test.cpp - the model's word tables (data types, formulas,
 * exclusion) and report id remapping and classes. The element layout is seen
 * through the definition reader's tests.
 */
#include <gtest/gtest.h>

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
  struct {
    const char *priority, *state;
    int monitor, expected;
  } cases[] = {{"H", "E", -1, 100}, {"H", "E", 3, 100}, {"L", "0", -1, 0},
               {"M", "0", 0, 100} /* class 1 above monitor 0 */,
               {"X", "0", 1, 100} /* class 2 above monitor 1 */,
               {"M", "0", 2, 1},    {"H", "0", 0, 0},   {"X", "0", 3, 3}};
  for (auto &c : cases)
    EXPECT_EQ(c.expected, is_graph_excluded(c.priority, c.state, c.monitor))
        << c.priority << " " << c.state << " " << c.monitor;
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

}  // namespace
