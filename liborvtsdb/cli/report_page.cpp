/*
 * report_page.cpp - see report_page.h.
 */
#include "report_page.h"

#include <cstdio>
#include <string_view>

#include "output_file.h"
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
  std::string digits = std::to_string(n), out;
  size_t sign = n < 0 ? 1 : 0;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > sign && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
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

/* The page: the charting library, the stylesheet and the drawing script
 * inlined around the body. */
void put_page(std::FILE *f, const std::string &title, const std::string &body) {
  auto put = [f](std::string_view text) { std::fwrite(text.data(), 1, text.size(), f); };
  put("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>");
  put(html(title));
  put("</title>\n<style>");
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

}  // namespace

bool write_page(const std::string &output, const std::string &title, const std::string &body) {
  return write_output_file(output, [&](std::FILE *f) { put_page(f, title, body); });
}

}  // namespace orvtsdb_cli
