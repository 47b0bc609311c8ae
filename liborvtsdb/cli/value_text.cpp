/*
 * value_text.cpp - numbers, CSV fields and JSON values as the command writes
 * them.
 */
#include "value_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "command_kit.h"
#include "store_reading.h"

namespace orvtsdb_cli {

void append_number(std::string &out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
  } else if (std::isinf(v)) {
    out += v > 0 ? "+Inf" : "-Inf";
  } else {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
  }
}

std::string number_text(double v) {
  std::string s;
  append_number(s, v);
  return s;
}

std::string csv_field(const std::string &s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

Json json_value(double v) {
  if (orvtsdb::is_missing(v)) return nullptr;
  if (std::isfinite(v)) return v;
  return number_text(v);
}

std::string dash_or(const Json &v) { return v.is_null() ? "-" : std::to_string(v.get<int64_t>()); }

void print_json(const Json &j) { std::printf("%s\n", j.dump(2).c_str()); }

void OutBuffer::flush() {
  if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), stdout) != buf_.size())
    die(EXIT_FAILURE_OTHER, "cannot write standard output");
  buf_.clear();
}

}  // namespace orvtsdb_cli
