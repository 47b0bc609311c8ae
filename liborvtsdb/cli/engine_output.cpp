/*
 * engine_output.cpp - --role selection of engine series and --align-start
 * (see engine_output.h).
 */
#include "engine_output.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>

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

int64_t non_finite_values(const double *values, size_t n) {
  return std::count_if(values, values + n, [](double v) { return !std::isfinite(v); });
}

std::string non_finite_text(int64_t non_finite) {
  if (non_finite == 0) return "";
  return "; " + std::to_string(non_finite) +
         (non_finite == 1 ? " non-finite value left out" : " non-finite values left out");
}

EngineNames::EngineNames(sqlite3 *db) {
  std::vector<orvtsdb::GraphEntry> graphs;
  std::string err;
  if (!orvtsdb::list_graphs(db, "", "", graphs, err)) die_reading(db, err);
  std::sort(graphs.begin(), graphs.end(), [](const auto &a, const auto &b) {
    return std::tie(a.gid, a.idx) < std::tie(b.gid, b.idx);
  });
  struct Taken {
    orvtsdb::FamilyType type;
    std::string base;                                     // the mapping's name it came from
    std::set<std::pair<std::string, std::string>> apart;  // group and graph labels in it
  };
  std::map<std::string, Taken> families;
  for (const orvtsdb::GraphEntry &g : graphs) {
    orvtsdb::GraphMapping m = orvtsdb::map_graph(g.group, g.name, g.description, g.data_type);
    std::pair<std::string, std::string> labels;  // group, graph
    for (const auto &[label, value] : orvtsdb::series_labels(g.group, g.name, {}, {})) {
      if (label == "group") labels.first = value;
      if (label == "graph") labels.second = value;
    }
    bool clash = false;
    for (const orvtsdb::EngineFamily &f : m.families) {
      auto it = families.find(f.name);
      clash = clash ||
              (it != families.end() && (it->second.type != f.type || it->second.base != m.name ||
                                        it->second.apart.count(labels)));
    }
    std::string suffix;
    if (clash) {
      suffix = "_" + std::to_string(g.gid) + "_" + std::to_string(g.idx);
      suffix_[{g.gid, g.idx}] = suffix;
    }
    for (const orvtsdb::EngineFamily &f : m.families) {
      std::string family = f.name;
      family.insert(m.name.size(), suffix);
      families.try_emplace(family, Taken{f.type, m.name + suffix, {}})
          .first->second.apart.insert(labels);
    }
  }
}

orvtsdb::GraphMapping EngineNames::mapping(int64_t gid, int idx, const std::string &group,
                                           const std::string &name, const std::string &description,
                                           int data_type) const {
  orvtsdb::GraphMapping m = orvtsdb::map_graph(group, name, description, data_type);
  auto it = suffix_.find({gid, idx});
  if (it == suffix_.end()) return m;
  // every name starts with the mapping's own: the suffix goes right after it
  size_t base = m.name.size();
  for (orvtsdb::EngineOutput &o : m.outputs) o.name.insert(base, it->second);
  for (orvtsdb::EngineFamily &f : m.families) f.name.insert(base, it->second);
  m.name += it->second;
  return m;
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
