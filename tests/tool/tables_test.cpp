/*
 * tables_test.cpp - the growable table routine: growth 5 rows at a time,
 * row numbering, contents kept across growth, and the fatal exit when the
 * byte size cannot be formed.
 */
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "vira_zedazad_uvoz_izu.h"

namespace {

struct Row {
  int value;
  char pad[60];
};

TEST(CreateTableEntry, GrowsFiveRowsAtATimeAndKeepsRows) {
  Row *table = nullptr;
  int total = 0, max = 0;
  const int expected_max[] = {5, 5, 5, 5, 5, 10, 10, 10, 10, 10, 15};
  for (int i = 0; i < 11; i++) {
    int row = -1;
    ASSERT_EQ(0, create_table_entry_t(&row, &total, &max, &table, "Group Data"));
    EXPECT_EQ(i, row);
    EXPECT_EQ(i + 1, total);
    EXPECT_EQ(expected_max[i], max) << "after row " << i;
    table[row].value = 1000 + i;
  }
  for (int i = 0; i < 11; i++) EXPECT_EQ(1000 + i, table[i].value);
  free(table);
}

TEST(CreateTableEntryDeath, ZeroOrOverflowingSizeEndsTheProcess) {
  int total = 0, max = 0, row = 0;
  char *table = nullptr;
  EXPECT_EXIT(create_table_entry(&row, &total, &max, &table, 0, "Group Data"),
              testing::ExitedWithCode(255),
              "Trying to realloc a negative or 0 size \\(0\\) for index  -1\n");
  /* (0 + 5) * (INT_MAX / 4) does not fit 32 bits */
  EXPECT_EXIT(create_table_entry(&row, &total, &max, &table, INT_MAX / 4, "Graph Data"),
              testing::ExitedWithCode(255), "Trying to realloc a negative or 0 size");
}

}  // namespace
