/*
 * verify.cpp - `orvtsdb verify`: is everything in the store what was
 * written, and does it hold everything a reader relies on?
 *
 * Prints each fault the audit finds (audit_store of store_reading.h: the
 * file, the tables and every row's check, every chunk, the series' facts,
 * every migration's count) as one line "fault: ..." on standard output, the
 * first 100 of them, then a summary line. A store of the older format
 * (before the row checks) is checked without the checks it does not have,
 * and a note line says so: not a fault, as it was written correctly by its
 * version; a migration into it adds them. The exit status is 0 only when
 * nothing was found.
 */
#include <cstdio>
#include <memory>
#include <string>

#include "command_line.h"
#include "store_reading.h"

namespace orvtsdb_cli {

namespace {

/* Fault lines beyond this many are counted, not printed. */
constexpr long MAX_FAULT_LINES = 100;

/* Runs the audit and prints it; dies (status 1) when it found a fault. */
void verify_store(sqlite3 *db, const std::string &path) {
  long faults = 0;
  orvtsdb::StoreAudit a = orvtsdb::audit_store(db, MAX_FAULT_LINES + 1,
                                               [&](const std::string &what) {
                                                 if (++faults <= MAX_FAULT_LINES)
                                                   std::printf("fault: %s\n", what.c_str());
                                               });
  if (faults > MAX_FAULT_LINES) std::printf("fault: ... and %ld more\n", faults - MAX_FAULT_LINES);
  if (!a.row_checks && a.format > 0)
    std::printf(
        "note: store format %d predates the row checks and the series' facts: its chunks are "
        "checked, its names, labels and chunk rows cannot be; the next migration into it adds "
        "them\n",
        a.format);
  std::printf("%s: %lld chunk%s and %lld migration%s checked, %ld fault%s\n", path.c_str(),
              (long long)a.chunks, a.chunks == 1 ? "" : "s", (long long)a.migrations,
              a.migrations == 1 ? "" : "s", faults, faults == 1 ? "" : "s");
  if (faults)
    die(EXIT_FAILURE_OTHER,
        path + ": " + std::to_string(faults) + " fault" + (faults == 1 ? "" : "s") + " found");
}

}  // namespace

void add_verify_command(CLI::App &app) {
  auto store = std::make_shared<std::string>();
  CLI::App *cmd = add_store_command(
      app, "verify",
      "checks the file, the tables, every row's check, every chunk, the series' facts and "
      "every migration's count; exit 1 on a fault",
      *store);
  cmd->callback([store] {
    Store st(*store, false);
    verify_store(st.db(), st.path());
  });
}

}  // namespace orvtsdb_cli
