/*
 * store_location.h - where the store lives, and making its directory.
 *
 * ORVTSDB_URL=sqlite:<path> names the database file;
 * ORVTSDB_URL=remote-write+http(s)://... streams the migration to a
 * time-series engine's remote-write endpoint (the URL without the prefix;
 * ORVTSDB_BEARER_TOKEN_FILE adds a bearer token); otherwise it is
 * <ORVTSDB_RUN_DIR>/tsdb/metrics.sqlite. The run a migration belongs to is
 * ORVTSDB_RUN_DIR when set, else the database path: re-migrating a run
 * replaces only that run's samples, so several runs can share one file.
 */
#ifndef ORVTSDB_STORE_LOCATION_H
#define ORVTSDB_STORE_LOCATION_H

#include <string>

namespace orvtsdb {

struct StoreLocation {
  std::string path;        // database file
  std::string remote_url;  // remote-write endpoint instead of a file, when set
  std::string run;   // run identity recorded with each migration
};

/* Reads the environment. Returns false with a reason in err when neither
 * variable is set or the URL has a scheme other than sqlite or remote-write. */
bool resolve_store_location(StoreLocation &loc, std::string &err);

/* Creates the directories leading to `path` (not `path` itself). Uses the
 * executable's mkdir_ex when it exports one; otherwise (a program that is not
 * the migration tool) creates them here. Returns false with a reason in err. */
bool make_parent_dirs(const std::string &path, std::string &err);

/* The database of a command-line argument: a directory is a run directory
 * (<dir>/tsdb/metrics.sqlite), anything else a database file. */
std::string db_path_of_argument(const std::string &arg);

}  // namespace orvtsdb

#endif
