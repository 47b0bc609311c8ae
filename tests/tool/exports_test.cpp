/*
 * exports_test.cpp - the tool exports the four functions that the store
 * library binds to by name, as plain C names in its dynamic symbol table.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "vzu_test_support.h"

namespace {

TEST(Exports, StoreCallbacksAreInTheDynamicSymbolTable) {
  std::string cmd = "nm -D --defined-only '" + vzu_test::tool_path() + "' 2>/dev/null";
  FILE *fp = popen(cmd.c_str(), "r");
  ASSERT_NE(fp, nullptr);
  std::string names;
  char addr[64], type[8], name[512];
  while (fscanf(fp, "%63s %7s %511s", addr, type, name) == 3)
    if (type[0] == 'T' || type[0] == 'W') names += std::string(" ") + name + " ";
  pclose(fp);
  ASSERT_FALSE(names.empty()) << "nm -D found nothing in " << vzu_test::tool_path();
  for (const char *fn : {"get_tokens", "twlb_strerror", "mkdir_ex", "twlb_copy_file"})
    EXPECT_NE(names.find(std::string(" ") + fn + " "), std::string::npos)
        << fn << " is not exported";
}

}  // namespace
