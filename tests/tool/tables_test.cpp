/*
 * tables_test.cpp - the growable table routine ends the process when the
 * byte size cannot be formed. (Its growth and row numbering carry every
 * group table the reader's tests build, which outgrow five rows.)
 */
#include <gtest/gtest.h>

#include <climits>

#include "vira_zedazad_uvoz_izu.h"

namespace {

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
