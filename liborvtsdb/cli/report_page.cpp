/*
 * report_page.cpp - see report_page.h.
 */
#include "report_page.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "command_kit.h"
#include "packed_text.h"
#include "report_assets.h"
#include "value_text.h"

namespace orvtsdb_cli {

std::string html(const std::string &text) {
  std::string out;
  for (char c : shown_text(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string count_text(int64_t n) {
  std::string s = std::to_string(n);
  for (int i = (int)s.size() - 3; i > (n < 0 ? 1 : 0); i -= 3) s.insert(i, ",");
  return s;
}

std::string chart_box(size_t id, const std::string &title, const std::string &description,
                      const std::string &note, const ChartData &c) {
  std::string n = std::to_string(id);
  std::string out = "<div class=\"chart\" id=\"chart-" + n + "\" data-chart=\"" + n + "\"><h3>" +
                    html(title) + "</h3>" +
                    (description.empty() ? "" : "<p class=\"desc\">" + html(description) + "</p>") +
                    "<div class=\"plot\" id=\"plot-" + n +
                    "\"></div><div class=\"legend\" id=\"legend-" + n +
                    "\"></div><p class=\"note\">" + html(note) +
                    "</p><script type=\"application/gzip\" id=\"data-" + n + "\">" +
                    gzip_base64(chart_json(c)) + "</script>";
  // Every sample, by time slice: unpacked only for the window a reader zooms into.
  for (const ChartSlice &s : c.slices)
    out += "<script type=\"application/gzip\" class=\"slice\" data-from=\"" +
           std::to_string(s.times.front()) + "\" data-to=\"" + std::to_string(s.times.back()) +
           "\">" + gzip_base64(slice_json(s)) + "</script>";
  return out + "</div>\n";
}

namespace {

/* A page written to an existing file that is not a regular one (a pipe, a
 * device) or through a link (/dev/stdout) goes straight into it: a temporary
 * file renamed over the name would replace the device or the link itself. */
bool is_special_file(const std::string &output) {
  struct stat st {};
  if (::lstat(output.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return false;
  return ::stat(output.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

/* Whether `output` names the file standard output already writes to. */
bool is_standard_output(const std::string &output) {
  struct stat named {};
  struct stat out {};
  return ::stat(output.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 &&
         named.st_dev == out.st_dev && named.st_ino == out.st_ino;
}

void put_page(std::FILE *f, const std::string &title, const std::string &body) {
  auto put = [f](std::string_view text) { std::fwrite(text.data(), 1, text.size(), f); };
  put("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" + html(title) +
      "</title>\n<style>");
  put(dygraphs_css());
  put("\n");
  put(report_css());
  put("</style>\n<script>");
  put(dygraphs_js());
  put("</script>\n</head><body>\n");
  put(body);
  put("<footer id=\"status\">Drawing charts...</footer>\n<script>");
  put(report_js());
  put("</script>\n</body></html>\n");
}

/* Writes the page into the file `path`; false with errno's value in `err`
 * when it could not be opened, written or closed. */
bool put_page_file(const std::string &path, const std::string &title, const std::string &body,
                   int &err) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return err = errno, false;
  put_page(f, title, body);
  bool written = std::fflush(f) == 0 && !std::ferror(f);
  err = errno;
  if (std::fclose(f) != 0 && written) written = false, err = errno;
  return written;
}

}  // namespace

void check_page_target(const std::string &output) {
  std::error_code ec;
  if (std::filesystem::is_directory(output, ec))
    die(EXIT_FAILURE_OTHER, "cannot write " + output + ": it is a folder");
  if (is_special_file(output)) {
    if (access(output.c_str(), W_OK) != 0)
      die(EXIT_FAILURE_OTHER, "cannot write " + output + ": " + std::strerror(errno));
    return;
  }
  std::string dir = std::filesystem::path(output).parent_path().string();
  if (dir.empty()) dir = ".";
  if (!std::filesystem::is_directory(dir, ec))
    die(EXIT_FAILURE_OTHER, "cannot write " + output + ": folder " + dir + " does not exist");
  if (access(dir.c_str(), W_OK) != 0)
    die(EXIT_FAILURE_OTHER, "cannot write " + output + ": " + std::strerror(errno));
}

bool write_page(const std::string &output, const std::string &title, const std::string &body) {
  bool direct = is_special_file(output);
  if (direct && is_standard_output(output)) {
    // Into the stream, after what was printed to it already.
    put_page(stdout, title, body);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
      die(EXIT_FAILURE_OTHER, "cannot write " + output + ": " + std::strerror(errno));
    return false;
  }
  // Named by the process, so two reports written to one path at once each
  // finish their own file and the later rename wins whole.
  std::string tmp = direct ? output : output + ".tmp." + std::to_string(::getpid());
  int err = 0;
  if (!put_page_file(tmp, title, body, err)) {
    if (!direct) std::remove(tmp.c_str());
    die(EXIT_FAILURE_OTHER, "cannot write " + tmp + ": " + std::strerror(err));
  }
  if (direct) return false;
  if (std::rename(tmp.c_str(), output.c_str()) != 0) {
    err = errno;
    std::remove(tmp.c_str());
    die(EXIT_FAILURE_OTHER, "cannot rename " + tmp + " to " + output + ": " + std::strerror(err));
  }
  return true;
}

}  // namespace orvtsdb_cli
