// A page written whole: a signal that ends the command while the page is
// being written leaves neither a half page nor its temporary file.
#include "output_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

/* The names in dir. */
std::vector<std::string> names_in(const fs::path &dir) {
  std::vector<std::string> out;
  for (const auto &e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  return out;
}

/* Runs write_output_file(dir/page.html) in a child whose writer raises sig
 * half-way (after `ignored` is set to be ignored); its wait status. */
int write_raising(const fs::path &dir, int sig, int ignored = 0) {
  pid_t pid = fork();
  if (pid == 0) {
    if (ignored) std::signal(ignored, SIG_IGN);
    orvtsdb_cli::write_output_file((dir / "page.html").string(), [&](std::FILE *f) {
      std::fputs("<html>half", f);
      std::fflush(f);
      std::raise(sig);
      std::fputs(" and the rest</html>", f);
    });
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(OutputFile, ASignalThatEndsTheCommandTakesTheTemporaryFileWithIt) {
  fs::path dir = fs::temp_directory_path() / ("output_file_test." + std::to_string(getpid()));
  fs::create_directories(dir);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    int status = write_raising(dir, sig);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << ": " << status;
    EXPECT_TRUE(names_in(dir).empty()) << sig << ": " << names_in(dir)[0];
  }
  // An earlier page stays as it was.
  std::ofstream(dir / "page.html") << "earlier";
  write_raising(dir, SIGTERM);
  EXPECT_EQ(names_in(dir), std::vector<std::string>{"page.html"});
  // A signal the process ignores (nohup) stays ignored: the page is written whole.
  EXPECT_EQ(write_raising(dir, SIGHUP, SIGHUP), 0);
  std::ifstream in(dir / "page.html");
  std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(page, "<html>half and the rest</html>");
  EXPECT_EQ(names_in(dir).size(), 1u);
  fs::remove_all(dir);
}

}  // namespace
