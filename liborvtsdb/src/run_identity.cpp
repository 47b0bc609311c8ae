/*
 * run_identity.cpp - the run.id file beside a run (see run_identity.h).
 *
 * The id is written to a private temporary file and linked into place, so
 * two migrations starting together agree on one id and a reader never sees
 * a half-written file.
 */
#include <dirent.h>
#include <xxhash.h>

#include "run_identity.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

namespace orvtsdb {

namespace {

constexpr size_t ID_BYTES = 16;

std::string sys_error(const std::string &what, const std::string &path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool is_id(const std::string &s) {
  if (s.size() != 2 * ID_BYTES) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

/* Reads an existing id file: 1 read, 0 absent, -1 error (err set). */
int read_id(const std::string &path, std::string *key, std::string &err) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return 0;
    err = sys_error("cannot read the run identity", path);
    return -1;
  }
  char buf[64];
  ssize_t n = ::read(fd, buf, sizeof buf);
  if (n < 0) {
    err = sys_error("cannot read the run identity", path);
    ::close(fd);
    return -1;
  }
  ::close(fd);
  std::string text(buf, n > 0 ? (size_t)n : 0);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!is_id(text)) {
    err = "run identity file " + path + " does not hold a run id (32 hex digits)";
    return -1;
  }
  *key = text;
  return 1;
}

std::string hex(const unsigned char *raw, size_t n) {
  static const char HEX[] = "0123456789abcdef";
  std::string id;
  for (size_t i = 0; i < n; i++) {
    id += HEX[raw[i] >> 4];
    id += HEX[raw[i] & 15];
  }
  return id;
}

std::string random_id(std::string &err) {
  unsigned char raw[ID_BYTES];
  if (getrandom(raw, sizeof raw, 0) != (ssize_t)sizeof raw) {
    err = std::string("no random bytes for a run id: ") + std::strerror(errno);
    return "";
  }
  return hex(raw, sizeof raw);
}

bool is_partition_name(const char *name) {
  size_t n = 0;
  for (; name[n]; n++)
    if (name[n] < '0' || name[n] > '9') return false;
  return n == 14;
}

/* The first partition of the run (by name) that holds a non-empty raw
 * sample file; "" when there is none or the folder cannot be listed. */
std::string first_partition(const std::string &run_dir) {
  DIR *d = ::opendir(run_dir.c_str());
  if (!d) return "";
  std::string best;
  while (const dirent *e = ::readdir(d)) {
    if (!is_partition_name(e->d_name) || (!best.empty() && best < e->d_name)) continue;
    struct stat st;
    std::string raw = run_dir + "/" + e->d_name + "/rtgMessage.dat";
    if (::stat(raw.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) best = e->d_name;
  }
  ::closedir(d);
  return best;
}

/* The id of the run's content (see run_identity.h), or "" when the run has
 * no raw sample data; false with a reason in err when that data cannot be
 * read. */
bool content_id(const std::string &run_dir, std::string *id, std::string &err) {
  std::string part = first_partition(run_dir);
  if (part.empty()) {
    id->clear();
    return true;
  }
  std::string path = run_dir + "/" + part + "/rtgMessage.dat";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err = sys_error("cannot read for the run identity", path);
    return false;
  }
  std::string head(CONTENT_BYTES, '\0');
  size_t got = 0;
  ssize_t n = 1;
  while (got < head.size() && (n = ::read(fd, &head[got], head.size() - got)) > 0) got += (size_t)n;
  ::close(fd);
  if (n < 0) {
    err = sys_error("cannot read for the run identity", path);
    return false;
  }
  head.resize(got);
  XXH3_state_t *st = XXH3_createState();
  if (!st) throw std::bad_alloc();
  static const std::string_view TAG("orvtsdb run\0", 12);
  XXH3_128bits_reset(st);
  XXH3_128bits_update(st, TAG.data(), TAG.size());
  XXH3_128bits_update(st, part.data(), part.size() + 1);  // with its terminator
  XXH3_128bits_update(st, head.data(), head.size());
  XXH128_canonical_t c;
  XXH128_canonicalFromHash(&c, XXH3_128bits_digest(st));
  XXH3_freeState(st);
  static_assert(sizeof c.digest == ID_BYTES);
  *id = hex(c.digest, sizeof c.digest);
  return true;
}

/* Writes the id of the run at run_dir to a temporary file, synced, and
 * links it in as `path`; when another process got there first, its id is
 * used. */
bool create_id(const std::string &run_dir, const std::string &path, std::string *key,
               std::string &err) {
  std::string id;
  if (!content_id(run_dir, &id, err)) return false;
  if (id.empty() && (id = random_id(err)).empty()) return false;
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    err = sys_error("cannot write the run identity", tmp);
    return false;
  }
  std::string text = id + "\n";
  bool ok = ::write(fd, text.data(), text.size()) == (ssize_t)text.size() && ::fsync(fd) == 0;
  if (!ok) err = sys_error("cannot write the run identity", tmp);
  ::close(fd);
  if (ok && ::link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    err = sys_error("cannot write the run identity", path);
    ok = false;
  }
  ::unlink(tmp.c_str());
  return ok && read_id(path, key, err) == 1;
}

}  // namespace

bool run_identity(const StoreLocation &loc, std::string *key, std::string &err) {
  if (loc.run_dir.empty()) {
    *key = "store";
    return true;
  }
  std::string path = loc.run_dir + "/tsdb/run.id";
  int got = read_id(path, key, err);
  if (got != 0) return got == 1;
  return make_parent_dirs(path, err) && create_id(loc.run_dir, path, key, err);
}

}  // namespace orvtsdb
