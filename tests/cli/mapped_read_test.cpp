/*
 * mapped_read_test.cpp - a store file cut short while a command reads it
 * (another program truncating it, as a failing disk would answer) is the
 * command's ordinary failure: one line naming the store, status 1, not a
 * crash.
 */
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "command_kit.h"
#include "store_test_support.h"

using namespace store_test;

namespace {

/* The text that names the store at `path` in the failure's line. */
std::string failure_line(const std::string &path) {
  return "^orvtsdb: " + std::regex_replace(path, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
         ": the store file could not be read \\(cut short while it was read, or a disk "
         "error\\)\n$";
}

}  // namespace

TEST(MappedReadTest, AFileCutShortWhileItIsReadEndsWithAMessageNamingTheStore) {
  TempStore closed;
  migrate(1000, 2000, 6, 1);
  { orvtsdb_cli::Store s(closed.db()); }  // read and closed before: not named
  TempStore store;
  migrate(1000, 2000, 6, 1);
  auto read_after_cut = [&] {
    orvtsdb_cli::Store s(store.db());
    if (::truncate(store.db().c_str(), 0) != 0) std::_Exit(9);
    sqlite3_exec(s.db(), "SELECT sum(length(data)) FROM chunks", nullptr, nullptr, nullptr);
    std::_Exit(0);
  };
  EXPECT_EXIT(read_after_cut(), testing::ExitedWithCode(1), failure_line(store.db()));
}
