/*
 * graph_places.h - what a group's metrics are about, read from its names:
 * the transactions, the load (users, throughput), the monitored machines,
 * and graphs that count errors. `report` orders its page by it and
 * `history` finds the transactions and errors with it.
 */
#ifndef ORVTSDB_GRAPH_PLACES_H
#define ORVTSDB_GRAPH_PLACES_H

#include <initializer_list>
#include <string>

#include "store_reading.h"

namespace orvtsdb {

/* s in lower case (ASCII). */
std::string lower(std::string s);

/* Whether text holds any of the (lower-case) words, in any case. */
bool mentions(const std::string &text, std::initializer_list<const char *> words);

/* Where a group's charts stand in a report, first to last. */
enum Place { kTransactions, kLoad, kServers, kRest, kPlaces };
extern const char *const kPlaceTitle[kPlaces];

/* A group's place, read from its name and hierarchy. */
Place place_of(const orvtsdb::GroupEntry &g);

/* Whether a graph of group `group` counts errors or failures. */
bool counts_errors(const std::string &group, const std::string &graph);

/* What one unit of a graph's (not a times graph's) value is per second of
 * its sample's interval: 1 for a rate per second (formula "PS", or a rate
 * data type without "PM"), 1/60 per minute ("PM"), 0 when the value is a
 * count of the interval itself. A sample's count is then its value times
 * this times its step, when this is not 0. */
double rate_unit(const orvtsdb::GraphEntry &g);

}  // namespace orvtsdb

#endif
