/*
 * store_location.cpp - store path from the environment and its directories.
 *
 * Directories are made by the migration executable's exported mkdir_ex, as the
 * tool and its run layout expect. The reference is weak so that the library
 * still loads into programs without it (tests, other importers); only then
 * does the library create the directories itself, with the same rules (mode
 * 0777 under the umask, existing directories accepted).
 */
#include "store_location.h"

#include <algorithm>

#include "run_folder.h"
#include "shown_url.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

extern "C" __attribute__((weak)) int mkdir_ex(char *path);

namespace orvtsdb {

namespace {

const char *env_value(const char *name) {
  const char *v = std::getenv(name);
  return (v && *v) ? v : nullptr;
}

bool make_dirs_here(const std::string &path, std::string &err) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    std::string dir = path.substr(0, pos);
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
      err = "cannot create directory " + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

/* A store not made yet is made under a temporary name first
 * (<path>.new.<pid>, sqlite_backend.cpp). */
bool new_store_fits(const std::string &path, std::string &err) {
  struct stat st;
  size_t extra = ::stat(path.c_str(), &st) == 0
                     ? 0
                     : std::strlen(".new.") + std::to_string(::getpid()).size();
  return path_fits_sqlite(path, extra, err);
}

}  // namespace

bool path_fits_sqlite(const std::string &path, size_t extra, std::string &err) {
  std::error_code ec;
  std::string full = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
  if (ec) full = path;  // what cannot be resolved fails at its open, naming the cause
  // The journal's name is the file's with "-journal" after it.
  const size_t journal = std::strlen("-journal");
  sqlite3_vfs *vfs = sqlite3_vfs_find(nullptr);
  size_t most = vfs && (size_t)vfs->mxPathname > journal ? vfs->mxPathname - journal : 0;
  if (full.size() + extra <= most) return true;
  err = path + ": its full path has " + std::to_string(full.size()) +
        " characters, more than the " + std::to_string(most > extra ? most - extra : 0) +
        " SQLite can open here; give the store a shorter path";
  return false;
}

bool busy_timeout_from_env(int *ms, std::string &err) {
  *ms = DEFAULT_BUSY_TIMEOUT_MS;
  const char *v = env_value("ORVTSDB_BUSY_TIMEOUT_MS");
  if (!v) return true;
  char *end = nullptr;
  errno = 0;
  long n = std::strtol(v, &end, 10);
  if (errno || *end || n < 0 || n > 86400000) {
    err = std::string("ORVTSDB_BUSY_TIMEOUT_MS='") + v +
          "' is not a wait in milliseconds (0 to 86400000)";
    return false;
  }
  *ms = (int)n;
  return true;
}

bool resolve_store_location(StoreLocation &loc, std::string &err) {
  const char *run = env_value("ORVTSDB_RUN_DIR");
  loc.run_dir = run ? run : "";
  if (!busy_timeout_from_env(&loc.busy_timeout_ms, err)) return false;
  if (const char *url = env_value("ORVTSDB_URL")) {
    // A prefix of its own, so that a plain http URL stays free for a store server.
    const char *remote = "remote-write+";
    if (std::strncmp(url, remote, std::strlen(remote)) == 0) {
      loc.remote_url = url + std::strlen(remote);
      const char *token = env_value("ORVTSDB_BEARER_TOKEN_FILE");
      loc.bearer_token_file = token ? token : "";
      return true;
    }
    if (std::strncmp(url, "sqlite:", 7) != 0 || url[7] == '\0') {
      err = "unsupported ORVTSDB_URL '" + shown_url(url) +
            "' (expected sqlite:<path> or remote-write+http(s)://...)";
      return false;
    }
    loc.path = url + 7;
    return new_store_fits(loc.path, err);
  }
  if (!run) {
    err = "store location unknown: set ORVTSDB_RUN_DIR or ORVTSDB_URL=sqlite:<path>";
    return false;
  }
  loc.path = loc.run_dir + STORE_IN_RUN_DIR;
  return new_store_fits(loc.path, err);
}

bool make_parent_dirs(const std::string &path, std::string &err) {
  if (!mkdir_ex) return make_dirs_here(path, err);
  std::vector<char> buf(path.begin(), path.end());
  buf.push_back('\0');
  if (mkdir_ex(buf.data()) == 1) return true;
  err = "mkdir_ex could not create the directories of " + path;
  return false;
}

std::string db_path_of_argument(const std::string &arg) {
  struct stat st;
  if (::stat(arg.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return arg + STORE_IN_RUN_DIR;
  return arg;
}

std::string run_dir_of_store(const std::string &db_path) {
  const std::string tail = STORE_IN_RUN_DIR;
  if (db_path.size() <= tail.size() ||
      db_path.compare(db_path.size() - tail.size(), tail.size(), tail) != 0)
    return "";
  return db_path.substr(0, db_path.size() - tail.size());
}

RunFolder run_folder_of(const std::string &run_dir) {
  RunFolder f;
  std::string dir = run_dir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  size_t slash = dir.find_last_of('/');
  f.name = dir.substr(slash == std::string::npos ? 0 : slash + 1);
  f.parent = slash == std::string::npos ? "" : dir.substr(0, slash);
  bool tr = f.name.size() > 2 && f.name.compare(0, 2, "TR") == 0 &&
            std::all_of(f.name.begin() + 2, f.name.end(),
                        [](char c) { return c >= '0' && c <= '9'; });
  if (!tr) return f;
  f.number = f.name.substr(2);
  size_t p = f.parent.find_last_of('/');
  f.in_logs = f.parent.substr(p == std::string::npos ? 0 : p + 1) == "logs";
  if (f.in_logs && p != std::string::npos) f.work = f.parent.substr(0, p);
  return f;
}

}  // namespace orvtsdb
