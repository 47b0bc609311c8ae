/*
 * fault_injection.h - faults on demand for the store's fault tests.
 *
 * - A SQLite VFS wrapped around the default one, made the default: every
 *   write, sync, truncate and delete is counted, the process can be killed
 *   (SIGKILL) at the N-th of them, and files can be held under a size, as a
 *   full disk would.
 * - An allocation countdown shared by SQLite's allocator and operator new:
 *   while armed, the N-th allocation fails (NULL / std::bad_alloc) once;
 *   only the arming thread counts (the store's worker thread does not).
 * install_faults() must run before SQLite's first use (a static initializer
 * of the test does it).
 */
#ifndef STORE_FAULT_INJECTION_H
#define STORE_FAULT_INJECTION_H

#include <cstdint>

namespace faults {

void install_faults();

/* File operations (write, sync, truncate, delete) seen since the last reset. */
long io_ops();
void reset_io_ops();
/* SIGKILL at file operation number n (counted from the reset); -1: never. */
void kill_at_io(long n);
/* Writes that would make a file larger than `bytes` fail with SQLITE_FULL;
 * -1: no limit. */
void limit_file_size(int64_t bytes);

/* Allocations counted (and failed) only between arm() and disarm(): the
 * n-th allocation while armed fails, the others succeed. */
void arm_alloc_failure(long n);
void disarm_alloc_failure();
/* True when the armed failure has happened. */
bool alloc_failure_hit();
/* Allocations seen while armed since the last arm. */
long armed_allocs();
/* RAII: counts allocations of one scope (a store call) while armed. */
struct Armed {
  Armed();
  ~Armed();
};

}  // namespace faults

#endif
