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
  auto nm = vzu_test::run_program("/usr/bin/nm", {"-D", "--defined-only", vzu_test::tool_path()});
  std::string names;
  for (auto &line : vzu_test::split_lines(nm.out)) {
    char addr[64], type[8], name[512];
    if (sscanf(line.c_str(), "%63s %7s %511s", addr, type, name) == 3 &&
        (type[0] == 'T' || type[0] == 'W'))
      names += std::string(" ") + name + " ";
  }
  ASSERT_FALSE(names.empty()) << "nm -D found nothing in " << vzu_test::tool_path();
  for (const char *fn : {"get_tokens", "twlb_strerror", "mkdir_ex", "twlb_copy_file"})
    EXPECT_NE(names.find(std::string(" ") + fn + " "), std::string::npos)
        << fn << " is not exported";
}

}  // namespace
