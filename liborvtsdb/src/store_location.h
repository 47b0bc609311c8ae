/*
 * store_location.h - where the store lives, and making its directory.
 *
 * ORVTSDB_URL=sqlite:<path> names the database file;
 * ORVTSDB_URL=remote-write+http(s)://... streams the migration to a
 * time-series engine's remote-write endpoint (the URL without the prefix;
 * ORVTSDB_BEARER_TOKEN_FILE adds a bearer token); otherwise it is
 * <ORVTSDB_RUN_DIR>/tsdb/metrics.sqlite. ORVTSDB_BUSY_TIMEOUT_MS is how long
 * a writer or reader waits for another process's lock (default 5000).
 * Which run a migration belongs to is decided by run_identity.h, not by
 * where the run's folder is.
 */
#ifndef ORVTSDB_STORE_LOCATION_H
#define ORVTSDB_STORE_LOCATION_H

#include <string>

namespace orvtsdb {

constexpr int DEFAULT_BUSY_TIMEOUT_MS = 5000;

struct StoreLocation {
  std::string path;               // database file
  std::string remote_url;         // remote-write endpoint instead of a file, when set
  std::string bearer_token_file;  // ORVTSDB_BEARER_TOKEN_FILE, with a remote_url
  std::string run_dir;            // ORVTSDB_RUN_DIR, empty when not set
  int busy_timeout_ms = DEFAULT_BUSY_TIMEOUT_MS;
};

/* Reads the environment. Returns false with a reason in err when neither
 * location variable is set, the URL has a scheme other than sqlite or
 * remote-write, the busy timeout is not a number of milliseconds, or the
 * file's path is too long for SQLite to make it (path_fits_sqlite). */
bool resolve_store_location(StoreLocation &loc, std::string &err);

/* Whether SQLite can open the file `path` with `extra` more characters
 * after its name (a temporary name) and its journal beside it: SQLite opens a
 * file by its full path (absolute, links resolved), which on this system
 * holds at most the default file system's mxPathname characters. False with
 * a reason naming the path and its length. */
bool path_fits_sqlite(const std::string &path, size_t extra, std::string &err);

/* ORVTSDB_BUSY_TIMEOUT_MS (0 to 86400000), or the default when it is not
 * set; false with a reason in err when it is not such a number. */
bool busy_timeout_from_env(int *ms, std::string &err);

/* Creates the directories leading to `path` (not `path` itself). Uses the
 * executable's mkdir_ex when it exports one; otherwise (a program that is not
 * the migration tool) creates them here. Returns false with a reason in err. */
bool make_parent_dirs(const std::string &path, std::string &err);

/* The database of a command-line argument: a directory is a run directory
 * (<dir>/tsdb/metrics.sqlite), anything else a database file. */
std::string db_path_of_argument(const std::string &arg);

}  // namespace orvtsdb

#endif
