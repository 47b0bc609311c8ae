/*
 * graph_places.cpp - what a group's metrics are about, from its names.
 */
#include "graph_places.h"

#include <cctype>
#include <cstring>

#include "orvtsdb_data_types.h"

namespace orvtsdb {

std::string lower(std::string s) {
  for (char &c : s) c = (char)std::tolower((unsigned char)c);
  return s;
}

bool mentions(const std::string &text, std::initializer_list<const char *> words) {
  std::string t = lower(text);
  for (const char *w : words)
    if (t.find(w) != std::string::npos) return true;
  return false;
}

const char *const kPlaceTitle[kPlaces] = {"Transactions", "Users and throughput",
                                          "Servers and hosts", "Other metrics"};

/* A group's place, read from its name and hierarchy: the definition reader
 * puts every built-in test metric group (users, pages, transactions) under
 * the hierarchy "TestMetrics", and monitored machines carry their tiers,
 * servers or hosts in theirs. */
Place place_of(const orvtsdb::GroupEntry &g) {
  std::string text = g.name + ">" + g.hierarchy;
  if (mentions(text, {"transaction"})) return kTransactions;
  if (lower(g.hierarchy).rfind("testmetrics", 0) == 0 ||
      mentions(text, {"user", "throughput", "session"}))
    return kLoad;
  if (mentions(text, {"server", "host", "tier", "instance", "machine"})) return kServers;
  return kRest;
}

bool counts_errors(const std::string &group, const std::string &graph) {
  return mentions(graph, {"error", "fail"}) || mentions(group, {"error", "fail"});
}

double rate_unit(const orvtsdb::GraphEntry &g) {
  constexpr int kPerMinute = 2, kPerSecond = 3;  // the definition file's "PM" and "PS"
  if (g.formula == kPerMinute) return 1.0 / 60;
  const orv_data_type_t *type = orv_data_type(g.data_type);  // "rate", "rate_4B_1000"
  bool rate = type && std::strncmp(type->name, "rate", 4) == 0;
  return g.formula == kPerSecond || rate ? 1 : 0;
}

}  // namespace orvtsdb
