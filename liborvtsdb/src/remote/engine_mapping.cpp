/*
 * engine_mapping.cpp - names, units, roles and labels of engine series
 * (see engine_mapping.h).
 */
#include "engine_mapping.h"

#include <xxhash.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "orvtsdb_data_roles.h"
#include "run_folder.h"
#include "store_schema.h"

namespace orvtsdb {

namespace {

bool alnum(char c) { return std::isalnum((unsigned char)c) && (unsigned char)c < 0x80; }
bool upper(char c) { return c >= 'A' && c <= 'Z'; }
bool lower(char c) { return c >= 'a' && c <= 'z'; }

struct Unit {
  const char *text;    // as a graph writes it, lower case
  const char *suffix;  // the base unit's name suffix
  double scale;        // stored value x scale = value in the base unit
};

/* Units graphs name, to the base units Prometheus users expect (time in
 * seconds, sizes in bytes). A unit outside the table becomes a suffix of
 * its own, its values unchanged. */
constexpr Unit UNITS[] = {
    {"s", "seconds", 1},
    {"sec", "seconds", 1},
    {"secs", "seconds", 1},
    {"second", "seconds", 1},
    {"seconds", "seconds", 1},
    {"ms", "seconds", 1e-3},
    {"msec", "seconds", 1e-3},
    {"msecs", "seconds", 1e-3},
    {"millisecond", "seconds", 1e-3},
    {"milliseconds", "seconds", 1e-3},
    {"us", "seconds", 1e-6},
    {"usec", "seconds", 1e-6},
    {"microseconds", "seconds", 1e-6},
    {"min", "seconds", 60},
    {"mins", "seconds", 60},
    {"minutes", "seconds", 60},
    {"pct", "percent", 1},
    {"%", "percent", 1},
    {"percent", "percent", 1},
    {"b", "bytes", 1},
    {"bytes", "bytes", 1},
    {"kb", "bytes", 1024},
    {"mb", "bytes", 1024 * 1024},
    {"gb", "bytes", 1024.0 * 1024 * 1024},
    {"bps", "bytes_per_second", 1.0 / 8},
    {"kbps", "bytes_per_second", 1000.0 / 8},
    {"mbps", "bytes_per_second", 1e6 / 8},
};

/* Rates written after a slash ("Downloads/Sec"). */
constexpr Unit PER[] = {
    {"s", "per_second", 1},   {"sec", "per_second", 1},    {"second", "per_second", 1},
    {"min", "per_minute", 1}, {"minute", "per_minute", 1}, {"hour", "per_hour", 1},
    {"hr", "per_hour", 1},
};

std::string lowered(std::string s) {
  for (char &c : s) c = (char)std::tolower((unsigned char)c);
  return s;
}

std::string trimmed(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

/* The base unit a unit text (any case) stands for, or null. */
const Unit *known_unit(const std::string &text) {
  std::string unit = lowered(trimmed(text));
  for (const Unit &u : UNITS)
    if (unit == u.text) return &u;
  return nullptr;
}

/* Splits a graph name into its words and its unit: "Transaction Time (ms)"
 * gives "Transaction Time", "seconds" and 1e-3. */
void split_unit(const std::string &graph, std::string *base, std::string *suffix, double *scale) {
  std::string g = trimmed(graph);
  *base = g, *suffix = "", *scale = 1;
  size_t open = g.rfind('(');
  if (!g.empty() && g.back() == ')' && open != std::string::npos && open > 0) {
    std::string unit = lowered(trimmed(g.substr(open + 1, g.size() - open - 2)));
    *base = trimmed(g.substr(0, open));
    *suffix = snake_case(unit);
    if (const Unit *u = known_unit(unit)) *suffix = u->suffix, *scale = u->scale;
    return;
  }
  size_t slash = g.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    std::string per = lowered(trimmed(g.substr(slash + 1)));
    for (const Unit &u : PER)
      if (per == u.text) *base = trimmed(g.substr(0, slash)), *suffix = u.suffix;
  }
}

std::string joined(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string &p : parts)
    if (!p.empty() && p != "_") out += (out.empty() ? "" : "_") + p;
  return out.empty() ? "_" : out;
}

std::string utc_iso(int64_t t) {
  time_t tt = (time_t)t;
  struct tm tm;
  char buf[32];
  if (!gmtime_r(&tt, &tm) || !std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm)) return "";
  return buf;
}

/* The graph's name as a label: without a unit in parentheses that the
 * metric name converts ("Transaction Time (ms)" gives "Transaction
 * Time"), so no label names another unit than the name. */
std::string graph_label(const std::string &graph) {
  std::string g = trimmed(graph);
  size_t open = g.rfind('(');
  if (!g.empty() && g.back() == ')' && open != std::string::npos && open > 0 &&
      known_unit(g.substr(open + 1, g.size() - open - 2)))
    return trimmed(g.substr(0, open));
  return g;
}

/* Units in parentheses in a text named as the metric names them:
 * "time (Secs)" gives "time (seconds)". */
std::string units_as_named(const std::string &text) {
  std::string out;
  size_t at = 0;
  for (size_t open; (open = text.find('(', at)) != std::string::npos;) {
    size_t close = text.find(')', open);
    if (close == std::string::npos) break;
    const Unit *u = known_unit(text.substr(open + 1, close - open - 1));
    out += text.substr(at, open + 1 - at);
    if (u) {
      std::string name = u->suffix;
      std::replace(name.begin(), name.end(), '_', ' ');
      out += name;
    } else {
      out += text.substr(open + 1, close - open - 1);
    }
    out += ')';
    at = close + 1;
  }
  return out + text.substr(at);
}

}  // namespace

std::string snake_case(const std::string &text) {
  std::string out;
  char prev = 0;
  for (char c : text) {
    if (alnum(c)) {
      if (upper(c) && lower(prev) && !out.empty() && out.back() != '_') out += '_';
      out += (char)std::tolower((unsigned char)c);
    } else if (!out.empty() && out.back() != '_') {
      out += '_';
    }
    prev = c;
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  if (out.empty() || (out[0] >= '0' && out[0] <= '9')) out.insert(0, "_");
  return out;
}

std::string help_text(const std::string &group, const std::string &graph,
                      const std::string &description) {
  std::string h = trimmed(description);
  for (char &c : h)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return units_as_named(h.empty() ? group + " / " + graph : h);
}

GraphMapping map_graph(const std::string &group, const std::string &graph,
                       const std::string &description, int data_type) {
  GraphMapping m;
  std::string base, suffix;
  split_unit(graph, &base, &suffix, &m.scale);
  m.name = joined({snake_case(group), snake_case(base), suffix});
  m.data_type = data_type;
  m.count_role = count_role_of(data_type);
  std::string help = help_text(group, graph, description);
  int roles = std::max(1, orv_role_count(data_type));
  if (m.count_role < 0) {
    // A gauge's name does not end as a summary's, histogram's or counter's
    // series do ("Metric sum"), lest tools take it for one.
    for (const char *reserved : {"_sum", "_count", "_bucket", "_total"})
      if (m.name.size() > std::strlen(reserved) &&
          m.name.compare(m.name.size() - std::strlen(reserved), std::string::npos, reserved) == 0)
        m.name += "_value";
    m.outputs.push_back({m.name, 0, false, false});
    m.families.push_back({m.name, FamilyType::gauge, help});
    return m;
  }
  static const char *const what[] = {"average", "minimum", "maximum", "", "spread"};
  const std::string mean = "rate(" + m.name + "_sum[5m]) / rate(" + m.name + "_count[5m])";
  for (int r = 0; r < roles; r++) {
    if (r == m.count_role) continue;
    // A value-and-count graph's value is the mean of its counted events.
    std::string role = roles == 2 ? "avg" : r == 4 ? "spread" : orv_role_name(data_type, r);
    std::string name = m.name + "_" + role;
    m.outputs.push_back({name, r, false, false});
    std::string h = help + " (" + what[roles == 2 ? 0 : r] + " per interval)";
    if (r == 0) h += "; the mean over a window, weighted by the counts, is " + mean;
    m.families.push_back({name, FamilyType::gauge, h});
  }
  m.outputs.push_back({m.name + "_count", m.count_role, false, true});
  m.outputs.push_back({m.name + "_sum", 0, true, false});
  m.families.push_back({m.name, FamilyType::summary,
                        help + " (events and their sum, running totals over the run; the mean " +
                            "over a window is " + mean + ")"});
  return m;
}

RunLabels run_labels(const std::string &run_identity, const std::string &run_dir,
                     int64_t start_time) {
  char id[17];
  std::snprintf(id, sizeof id, "%016llx",
                (unsigned long long)XXH3_64bits(run_identity.data(), run_identity.size()));
  RunLabels out;
  out.run_id = id;
  // ".../<work folder>/logs/TR<n>": the work folder names the installation
  // (a TR<n> folder elsewhere: the folder it sits in)
  RunFolder folder = run_folder_of(run_dir);
  out.run = folder.name;
  if (!folder.number.empty()) {
    const std::string &above = folder.in_logs ? folder.work : folder.parent;
    out.run_folder = above.substr(above.find_last_of('/') + 1);
  }
  if (start_time > 0) out.run_start = utc_iso(start_time);
  return out;
}

PromLabels series_labels(const std::string &group, const std::string &graph, const TagList &tags,
                         const RunLabels &run, const PromLabels &extra) {
  PromLabels out = {
      {"group", group}, {"graph", graph_label(graph)}, {"run_id", run.run_id},
      {"run", run.run}, {"run_start", run.run_start},  {"run_folder", run.run_folder}};
  out.insert(out.end(), extra.begin(), extra.end());
  // labels that mean something else to the engine's users, and ours
  std::set<std::string> taken = {"instance", "job", "le", "quantile"};
  for (const auto &l : out) taken.insert(l.first);
  std::set<std::string> used = {"__name__"};
  for (const auto &l : out) used.insert(l.first);
  for (const auto &[tag, value] : tags) {
    std::string name = snake_case(tag);
    if (taken.count(name)) name.insert(0, TAG_PREFIX);  // snake_case leaves no leading "__"
    while (!used.insert(name).second) name += "_";
    out.emplace_back(name, value);
  }
  std::erase_if(out, [](const auto &l) { return l.second.empty(); });
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<PromLabels> output_labels(const GraphMapping &m, const PromLabels &series) {
  std::vector<PromLabels> out;
  for (const EngineOutput &o : m.outputs) {
    PromLabels l = series;
    l.emplace_back("__name__", o.name);
    std::sort(l.begin(), l.end());
    out.push_back(std::move(l));
  }
  return out;
}

}  // namespace orvtsdb
