/*
 * exports_test.cpp - the tool exports the four functions that the store
 * library binds to by name, as plain C names in its dynamic symbol table.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "vzu_test_support.h"

namespace {

/* Names of the functions defined in the dynamic symbol table of `binary`. */
std::set<std::string> exported_functions(const std::string &binary) {
  std::string cmd = "nm -D --defined-only '" + binary + "' 2>/dev/null";
  FILE *fp = popen(cmd.c_str(), "r");
  std::set<std::string> names;
  if (fp == nullptr) return names;
  char line[1024];
  while (fgets(line, sizeof line, fp) != nullptr) {
    std::istringstream fields(line);
    std::string addr, type, name;
    if (fields >> addr >> type >> name && (type == "T" || type == "W")) names.insert(name);
  }
  pclose(fp);
  return names;
}

TEST(Exports, StoreCallbacksAreInTheDynamicSymbolTable) {
  auto names = exported_functions(vzu_test::tool_path());
  ASSERT_FALSE(names.empty()) << "nm -D found nothing in " << vzu_test::tool_path();
  for (const char *fn : {"get_tokens", "twlb_strerror", "mkdir_ex", "twlb_copy_file"})
    EXPECT_EQ(1u, names.count(fn)) << fn << " is not exported";
}

}  // namespace
