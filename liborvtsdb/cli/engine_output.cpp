/*
 * engine_output.cpp - --role selection of engine series and --align-start
 * (see engine_output.h).
 */
#include "engine_output.h"

#include <algorithm>

#include "command_line.h"
#include "selection.h"
#include "store_reading.h"
#include "time_text.h"

namespace orvtsdb_cli {

bool output_selected(const std::vector<int> &roles, const orvtsdb::GraphMapping &m, size_t o) {
  auto has = [&](int r) { return std::find(roles.begin(), roles.end(), r) != roles.end(); };
  const orvtsdb::EngineOutput &out = m.outputs[o];
  return out.is_sum ? has(out.role) && has(m.count_role) : has(out.role);
}

void add_align_start_option(CLI::App &cmd, std::string &text) {
  cmd.add_option("--align-start", text,
                 "move the run's time stamps so that its first sample is at TIME "
                 "(to overlay several runs)")
      ->check([](const std::string &t) {
        // An instant only: an offset from the run's own start moves nothing
        // a reader could line up with another run.
        auto when = parse_time(t);
        return when && !when->from_start
                   ? std::string()
                   : "'" + t +
                         "' is not a time (seconds or milliseconds since the epoch, or ISO 8601)";
      });
}

int64_t align_shift(sqlite3 *db, const std::string &text, const std::string &run) {
  if (text.empty()) return 0;
  std::vector<int64_t> numbers;
  if (!run.empty())
    for (const orvtsdb::RunEntry &r : select_runs(db, run)) numbers.push_back(r.number);
  int64_t first = 0, last = 0;
  bool any = false;
  std::string err;
  if (!orvtsdb::stored_time_span(db, &first, &last, &any, err, numbers)) die_reading(db, err);
  return any ? parse_time(text)->seconds - first : 0;
}

}  // namespace orvtsdb_cli
