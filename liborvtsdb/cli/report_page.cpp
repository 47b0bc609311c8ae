/*
 * report_page.cpp - see report_page.h.
 */
#include "report_page.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

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

void check_page_target(const std::string &output) {
  std::string dir = std::filesystem::path(output).parent_path().string();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec))
    die(EXIT_FAILURE_OTHER, "cannot write " + output + ": folder " + dir + " does not exist");
  if (access(dir.c_str(), W_OK) != 0)
    die(EXIT_FAILURE_OTHER, "cannot write " + output + ": " + std::strerror(errno));
}

void write_page(const std::string &output, const std::string &title, const std::string &body) {
  std::string tmp = output + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" << html(title)
      << "</title>\n<style>" << dygraphs_css() << "\n"
      << report_css() << "</style>\n<script>" << dygraphs_js() << "</script>\n</head><body>\n"
      << body << "<footer id=\"status\">Drawing charts...</footer>\n<script>" << report_js()
      << "</script>\n</body></html>\n";
    f.close();
    if (!f) {
      int err = errno;
      std::remove(tmp.c_str());
      die(EXIT_FAILURE_OTHER, "cannot write " + tmp + ": " + std::strerror(err));
    }
  }
  if (std::rename(tmp.c_str(), output.c_str()) != 0) {
    int err = errno;
    std::remove(tmp.c_str());
    die(EXIT_FAILURE_OTHER, "cannot rename " + tmp + " to " + output + ": " + std::strerror(err));
  }
}

}  // namespace orvtsdb_cli
