/*
 * store_safety_test.cpp - all or nothing: a migrating child killed part-way,
 * or one whose disk fills up, leaves the store exactly as it was.
 */
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "store_test_support.h"

using namespace store_test;

namespace {

/* A digest of everything a reader sees: samples, series and migrations. */
std::string store_view(const std::string &db) {
  std::string v;
  for (const Sample &s : samples(db))
    v += std::to_string(s.sid) + s.role + std::to_string(s.time) +
         (s.value ? std::to_string(*s.value) : "-") + ";";
  return v + "/" + std::to_string(query_int(db, "SELECT count(*) FROM series")) + "/" +
         std::to_string(query_int(db, "SELECT count(*) FROM migrations"));
}

/* In a child: a big migration of the same run, which writes `ready` when it
 * is well under way (chunks already handed to SQLite) and then goes on. */
[[noreturn]] void big_migration(int ready_fd) {
  tsdb_init_migration(1000);
  int gid = register_group("Load", {3, 0});
  std::vector<std::unique_ptr<Vec>> vecs;
  for (int s = 0; s < 300; s++) vecs.push_back(std::make_unique<Vec>("S" + std::to_string(s), 2));
  for (int i = 0; i < 100000; i++) {
    for (int s = 0; s < 300; s++) {
      double v = 5e6 + s * 7 + i * 0.25;
      vecs[s]->insert(gid, {v, v - 1, v + 1, 3, v * 2});
    }
    tsdb_migration_increment_sample_ex(10);
    if (i == 2000 && ready_fd >= 0 && write(ready_fd, "r", 1) != 1) _exit(3);
  }
  _exit(tsdb_exit_migration(0) == 0 ? 0 : 1);
}

TEST(StoreSafety, MigrationKilledPartWayLeavesTheStoreAsItWas) {
  TempStore store;
  migrate(1000, 300, 3, 1);
  std::string before = store_view(store.db());
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    big_migration(fds[1]);
  }
  close(fds[1]);
  char c;
  ASSERT_EQ(read(fds[0], &c, 1), 1);
  struct stat st;
  ASSERT_EQ(stat((store.db() + "-journal").c_str(), &st), 0) << "child has not written yet";
  kill(child, SIGKILL);
  int status;
  waitpid(child, &status, 0);
  close(fds[0]);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(store_view(store.db()), before);
  // The store still takes new migrations.
  migrate(9000, 5, 1, 0);
  EXPECT_EQ(query_int(store.db(), "SELECT count(*) FROM migrations"), 2);
}

TEST(StoreSafety, MigrationOnAFullDiskIsReportedAndLeavesTheStoreAsItWas) {
  TempStore store;
  migrate(1000, 300, 3, 1);
  std::string before = store_view(store.db());
  struct stat st;
  ASSERT_EQ(stat(store.db().c_str(), &st), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    // Files may not grow past 1 MB more than the store: the disk is "full".
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{(rlim_t)st.st_size + (1 << 20), (rlim_t)st.st_size + (1 << 20)};
    setrlimit(RLIMIT_FSIZE, &lim);
    dup2(fds[1], 2);
    big_migration(-1);
  }
  close(fds[1]);
  std::string said;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) said.append(buf, n);
  close(fds[0]);
  int status;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << said;
  EXPECT_NE(said.find("the store is unchanged"), std::string::npos) << said;
  EXPECT_EQ(store_view(store.db()), before);
}

}  // namespace
