/*
 * remote_write_labels.cpp - the metric name and label mapping of stored
 * series (see remote_write_labels.h).
 */
#include "remote_write_labels.h"

#include <xxhash.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "store_schema.h"

namespace orvtsdb {

namespace {

bool name_char(char c, bool first, bool colon) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon && c == ':') ||
         (!first && c >= '0' && c <= '9');
}

}  // namespace

std::string sanitise(const std::string &s, bool colon) {
  std::string out;
  for (char c : s) out += name_char(c, out.empty(), colon) ? c : '_';
  if (out.empty() || !name_char(out[0], true, colon)) out.insert(0, "_");
  return out;
}

namespace {

/* "TR<n>" as the last part of the run directory gives n. */
std::string testrun_of(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::string base = dir.substr(dir.find_last_of('/') + 1);
  if (base.size() < 3 || base.compare(0, 2, "TR") != 0) return "";
  if (!std::all_of(base.begin() + 2, base.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return "";
  return base.substr(2);
}

}  // namespace

RunLabels run_labels(const std::string &run_identity, const std::string &run_dir) {
  char id[17];
  std::snprintf(id, sizeof id, "%016llx",
                (unsigned long long)XXH3_64bits(run_identity.data(), run_identity.size()));
  return {id, testrun_of(run_dir)};
}

std::vector<PromLabels> engine_labels(const std::string &group, const std::string &graph,
                                      int data_type, const std::string &key, const TagList &tags,
                                      const RunLabels &run) {
  PromLabels common = {{"__name__", sanitise(group + "_" + graph, true)},
                       {"group", group},
                       {"graph", graph},
                       {"series", key},
                       {"run_id", run.run_id},
                       {"testrun", run.testrun}};
  std::set<std::string> used = {"role"};
  for (const auto &l : common) used.insert(l.first);
  for (const auto &[tag, value] : tags) {
    std::string name = sanitise(tag, false);
    if (name.rfind("__", 0) == 0) name.insert(0, "l");
    while (!used.insert(name).second) name += "_";
    common.emplace_back(name, value);
  }
  std::erase_if(common, [](const auto &l) { return l.second.empty(); });
  int roles = std::max(1, role_count(data_type));
  std::vector<PromLabels> out;
  for (int r = 0; r < roles; r++) {
    PromLabels l = common;
    if (roles > 1) l.emplace_back("role", role_name(data_type, r));
    std::sort(l.begin(), l.end());
    out.push_back(std::move(l));
  }
  return out;
}

}  // namespace orvtsdb
