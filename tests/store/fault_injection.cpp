/*
 * fault_injection.cpp - see fault_injection.h.
 */
#include "fault_injection.h"

#include <signal.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace faults {

namespace {

long g_io_ops = 0;
long g_kill_at = -1;
int64_t g_size_limit = -1;

long g_fail_at = -1;                   // allocation number to fail, -1: none armed
long g_allocs = 0;                     // allocations counted while armed
thread_local bool g_counting = false;  // inside an Armed scope (of the test's thread)
bool g_hit = false;

/* Counts one allocation; true when it is the one to fail. */
bool fail_this_alloc() {
  if (!g_counting || g_fail_at < 0) return false;
  if (++g_allocs != g_fail_at) return false;
  g_hit = true;
  return true;
}

void count_io() {
  if (++g_io_ops == g_kill_at) raise(SIGKILL);
}

/* ---- the VFS shim ---- */

sqlite3_vfs *g_real = nullptr;
sqlite3_vfs g_shim;

struct ShimFile {
  sqlite3_file base;
  sqlite3_file *real;  // follows this struct in the same block
};

sqlite3_file *real(sqlite3_file *f) { return reinterpret_cast<ShimFile *>(f)->real; }

int x_close(sqlite3_file *f) { return real(f)->pMethods->xClose(real(f)); }
int x_read(sqlite3_file *f, void *p, int n, sqlite3_int64 off) {
  return real(f)->pMethods->xRead(real(f), p, n, off);
}
int x_write(sqlite3_file *f, const void *p, int n, sqlite3_int64 off) {
  count_io();
  if (g_size_limit >= 0 && off + n > g_size_limit) return SQLITE_FULL;
  return real(f)->pMethods->xWrite(real(f), p, n, off);
}
int x_truncate(sqlite3_file *f, sqlite3_int64 size) {
  count_io();
  return real(f)->pMethods->xTruncate(real(f), size);
}
int x_sync(sqlite3_file *, int flags) {
  count_io();
  (void)flags;  // the tests kill processes, not machines: no need to reach the disk
  return SQLITE_OK;
}
int x_file_size(sqlite3_file *f, sqlite3_int64 *size) {
  return real(f)->pMethods->xFileSize(real(f), size);
}
int x_lock(sqlite3_file *f, int l) { return real(f)->pMethods->xLock(real(f), l); }
int x_unlock(sqlite3_file *f, int l) { return real(f)->pMethods->xUnlock(real(f), l); }
int x_check_reserved(sqlite3_file *f, int *out) {
  return real(f)->pMethods->xCheckReservedLock(real(f), out);
}
int x_file_control(sqlite3_file *f, int op, void *arg) {
  return real(f)->pMethods->xFileControl(real(f), op, arg);
}
int x_sector_size(sqlite3_file *f) { return real(f)->pMethods->xSectorSize(real(f)); }
int x_device(sqlite3_file *f) { return real(f)->pMethods->xDeviceCharacteristics(real(f)); }
int x_shm_map(sqlite3_file *f, int pg, int sz, int ext, void volatile **pp) {
  return real(f)->pMethods->xShmMap(real(f), pg, sz, ext, pp);
}
int x_shm_lock(sqlite3_file *f, int off, int n, int flags) {
  return real(f)->pMethods->xShmLock(real(f), off, n, flags);
}
void x_shm_barrier(sqlite3_file *f) { real(f)->pMethods->xShmBarrier(real(f)); }
int x_shm_unmap(sqlite3_file *f, int del) { return real(f)->pMethods->xShmUnmap(real(f), del); }
int x_fetch(sqlite3_file *, sqlite3_int64, int, void **pp) {
  *pp = nullptr;  // no memory-mapped reads: every page comes through xRead
  return SQLITE_OK;
}
int x_unfetch(sqlite3_file *, sqlite3_int64, void *) { return SQLITE_OK; }

const sqlite3_io_methods SHIM_IO = {3,           x_close,          x_read,         x_write,
                                    x_truncate,  x_sync,           x_file_size,    x_lock,
                                    x_unlock,    x_check_reserved, x_file_control, x_sector_size,
                                    x_device,    x_shm_map,        x_shm_lock,     x_shm_barrier,
                                    x_shm_unmap, x_fetch,          x_unfetch};

int x_open(sqlite3_vfs *, sqlite3_filename name, sqlite3_file *f, int flags, int *out) {
  ShimFile *s = reinterpret_cast<ShimFile *>(f);
  s->real = reinterpret_cast<sqlite3_file *>(s + 1);
  s->base.pMethods = nullptr;
  int rc = g_real->xOpen(g_real, name, s->real, flags, out);
  if (s->real->pMethods) s->base.pMethods = &SHIM_IO;
  return rc;
}

int x_delete(sqlite3_vfs *, const char *name, int sync) {
  count_io();
  (void)sync;  // no directory sync either (see x_sync)
  return g_real->xDelete(g_real, name, 0);
}

/* ---- SQLite's allocator with the countdown ---- */

sqlite3_mem_methods g_mem_real;

void *m_malloc(int n) { return fail_this_alloc() ? nullptr : g_mem_real.xMalloc(n); }
void *m_realloc(void *p, int n) { return fail_this_alloc() ? nullptr : g_mem_real.xRealloc(p, n); }

}  // namespace

void install_faults() {
  static bool done = false;
  if (done) return;
  done = true;
  sqlite3_config(SQLITE_CONFIG_GETMALLOC, &g_mem_real);
  sqlite3_mem_methods m = g_mem_real;
  m.xMalloc = m_malloc;
  m.xRealloc = m_realloc;
  sqlite3_config(SQLITE_CONFIG_MALLOC, &m);
  sqlite3_initialize();
  g_real = sqlite3_vfs_find(nullptr);
  g_shim = *g_real;
  g_shim.zName = "faults";
  g_shim.szOsFile = (int)sizeof(ShimFile) + g_real->szOsFile;
  g_shim.xOpen = x_open;
  g_shim.xDelete = x_delete;
  sqlite3_vfs_register(&g_shim, 1);
}

long io_ops() { return g_io_ops; }
void reset_io_ops() { g_io_ops = 0; }
void kill_at_io(long n) { g_kill_at = n; }
void limit_file_size(int64_t bytes) { g_size_limit = bytes; }

void arm_alloc_failure(long n) {
  g_fail_at = n;
  g_allocs = 0;
  g_hit = false;
}
void disarm_alloc_failure() { g_fail_at = -1; }
bool alloc_failure_hit() { return g_hit; }
long armed_allocs() { return g_allocs; }
Armed::Armed() { g_counting = true; }
Armed::~Armed() { g_counting = false; }

}  // namespace faults

/* operator new with the countdown; delete stays the plain free(). */
void *operator new(size_t n) {
  if (faults::fail_this_alloc()) throw std::bad_alloc();
  if (void *p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }
void *operator new(size_t n, const std::nothrow_t &) noexcept {
  try {
    return operator new(n);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
void *operator new[](size_t n, const std::nothrow_t &t) noexcept { return operator new(n, t); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
