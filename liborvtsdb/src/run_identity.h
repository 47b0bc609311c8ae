/*
 * run_identity.h - which run a migration belongs to, independent of where
 * the run's folder is.
 *
 * A run is known by its content: the name of its first partition (the
 * 14-digit folder that sorts first and holds a raw sample file) and a hash
 * of the first CONTENT_BYTES of that partition's rtgMessage.dat. Two folders
 * whose first partitions have the same name and begin with the same packets
 * are the same run, wherever they are: a moved run, or one copied before or
 * after its first migration, replaces its samples in a shared store instead
 * of adding a second copy. summary.top is not part of it: every migration
 * rewrites it.
 *
 * The first migration caches the id in <ORVTSDB_RUN_DIR>/tsdb/run.id and
 * later migrations use the cache, so a run whose files were damaged or
 * trimmed after its first migration stays the same run. A folder without any
 * raw sample data gets a random id there (it has no samples to double).
 * Two different runs that share one folder (a run number used again with
 * the old tsdb folder kept) share the cached id: the store then keeps them as
 * one run. Without ORVTSDB_RUN_DIR the store file is the run.
 */
#ifndef ORVTSDB_RUN_IDENTITY_H
#define ORVTSDB_RUN_IDENTITY_H

#include <string>

#include "store_location.h"

namespace orvtsdb {

/* How much of the first raw sample file the content id reads. */
constexpr size_t CONTENT_BYTES = 64 * 1024;

/* The key of the run of `loc` into *key: the run.id text (32 hex digits), or
 * "store" when no run folder is set. Creates run.id (and its folder) from the
 * run's content when absent. false with a reason naming the file in err when it cannot be read,
 * written or holds anything but an id. */
bool run_identity(const StoreLocation &loc, std::string *key, std::string &err);

}  // namespace orvtsdb

#endif
