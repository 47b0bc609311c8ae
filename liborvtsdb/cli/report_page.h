/*
 * report_page.h - the parts of an HTML page that `report` and `compare` share:
 * text made safe for HTML, counts with thousands separators, one chart's box
 * (its points gzip-packed inside), and the page itself with the inlined
 * charting library and script.
 */
#ifndef ORVTSDB_REPORT_PAGE_H
#define ORVTSDB_REPORT_PAGE_H

#include <cstdint>
#include <string>

#include "chart_data.h"

namespace orvtsdb_cli {

/* A chart is this wide in pixels (two side by side on a common screen). */
constexpr int kChartPixels = 640;

/* text with & < > " escaped for HTML text and attribute values, and shown
 * as shown_text() does when it is not UTF-8. */
std::string html(const std::string &s);

/* n with thousands separators: 1,234,567. */
std::string count_text(int64_t n);

/* The box of chart number `id`: its title, an optional description, the plot
 * and its legend, a note under it, and the points. */
std::string chart_box(size_t id, const std::string &title, const std::string &description,
                      const std::string &note, const ChartData &c);

/* Writes the page `output` (title, body) with the charting library, the
 * stylesheet and the drawing script inlined, as write_output_file does
 * (output_file.h), and returns what it returns. */
bool write_page(const std::string &output, const std::string &title, const std::string &body);

}  // namespace orvtsdb_cli

#endif
