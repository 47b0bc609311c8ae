/*
 * run_identity.h - which run a migration belongs to, independent of where
 * the run's folder is.
 *
 * A run is known by a random 128-bit id kept beside it in
 * <ORVTSDB_RUN_DIR>/tsdb/run.id, written by the first migration of the run.
 * A moved or copied run carries its id along, so migrating it again replaces
 * its samples instead of adding a second copy. Two different runs that share
 * one folder (a run number used again with the old tsdb folder kept) share
 * the id too: the store then keeps both as one run, and a migration replaces
 * only the time range it covers, so the other run's samples (at other times)
 * stay. Without ORVTSDB_RUN_DIR the store file is the run.
 */
#ifndef ORVTSDB_RUN_IDENTITY_H
#define ORVTSDB_RUN_IDENTITY_H

#include <string>

#include "store_location.h"

namespace orvtsdb {

/* The key of the run of `loc` into *key: the run.id text (32 hex digits), or
 * "store" when no run folder is set. Creates run.id (and its folder) when
 * absent. false with a reason naming the file in err when it cannot be read,
 * written or holds anything but an id. */
bool run_identity(const StoreLocation &loc, std::string *key, std::string &err);

}  // namespace orvtsdb

#endif
