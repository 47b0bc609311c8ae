/*
 * command_kit.cpp - the pieces every command shares: die(), the opened
 * store, and the subcommand with its <store> positional.
 */
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "command_kit.h"
#include "store_reading.h"

namespace orvtsdb_cli {

namespace {

/* What note_incomplete_output_on_die named ("" before). */
std::string incomplete_output;

/* A store is read through a memory map: a file cut short by another program
 * while it is read, or a disk that fails under it, stops the process with
 * SIGBUS where a read would have returned an error. The handler says so in
 * die()'s form, naming the stores open, and exits with status 1. Its text is
 * made with SIGBUS blocked (no mapped page is read then), so the handler
 * only writes bytes. */
char mapped_failure[4096];
size_t mapped_failure_length = 0;
std::vector<std::string> mapped_stores;  // the paths of the stores open
std::string last_store;                  // last_store_named()

void on_mapped_read_failure(int) {
  ssize_t ignored = ::write(STDERR_FILENO, mapped_failure, mapped_failure_length);
  (void)ignored;
  ::_exit(EXIT_FAILURE_OTHER);
}

/* Installs the handler and makes its text after `change` has added or
 * removed a store's path ("a store" while none is known: one is opening). */
template <class Change>
void guard_mapped_reads(Change change) {
  sigset_t bus, before;
  sigemptyset(&bus);
  sigaddset(&bus, SIGBUS);
  pthread_sigmask(SIG_BLOCK, &bus, &before);
  change();
  std::string named;
  for (const std::string &path : mapped_stores) named += (named.empty() ? "" : " or ") + path;
  std::string text = "orvtsdb: " + (named.empty() ? "a store" : named) +
                     ": the store file could not be read (cut short while it was read, or a disk "
                     "error)\n";
  // A path longer than the room is cut; the line still says what happened.
  if (text.size() > sizeof mapped_failure) text.replace(sizeof mapped_failure - 1, text.npos, "\n");
  std::memcpy(mapped_failure, text.data(), text.size());
  mapped_failure_length = text.size();
  struct sigaction sa = {};
  sa.sa_handler = on_mapped_read_failure;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGBUS, &sa, nullptr);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace

void note_incomplete_output_on_die(const std::string &what) { incomplete_output = what; }

void die(int status, const std::string &message) {
  if (!incomplete_output.empty())
    std::printf("\n%s incomplete: %s\n", incomplete_output.c_str(), message.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "orvtsdb: %s\n", message.c_str());
  std::exit(status);
}

void die_reading(sqlite3 *db, const std::string &err) {
  // The chunk walk and the opening check name the store themselves.
  std::string name = orvtsdb::store_name(db);
  die(EXIT_FAILURE_OTHER, err.rfind(name + ": ", 0) == 0 ? err : name + ": " + err);
}

const std::string &last_store_named() { return last_store; }

Store::Store(const std::string &argument, bool checked) {
  std::string err;
  last_store = argument;
  guard_mapped_reads([] {});
  db_ = orvtsdb::open_store_for_reading(argument, &path_, err);
  if (db_) guard_mapped_reads([&] { mapped_stores.push_back(path_); });
  if (!db_ || (checked && !orvtsdb::check_store(db_, err))) die(EXIT_FAILURE_OTHER, err);
}

Store::~Store() {
  if (!db_) return;
  sqlite3_close(db_);
  guard_mapped_reads(
      [&] { mapped_stores.erase(std::find(mapped_stores.begin(), mapped_stores.end(), path_)); });
}

}  // namespace orvtsdb_cli
