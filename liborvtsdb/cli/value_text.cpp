/*
 * value_text.cpp - numbers, CSV fields and JSON values as the command writes
 * them.
 */
#include "value_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

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
  bool formula = !s.empty() && std::strchr("=+-@\t\r", s[0]);
  if (!formula && s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = formula ? "\"'" : "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

namespace {

/* Length of the valid UTF-8 sequence at s[i], 0 when the byte there starts
 * none (overlong forms, surrogates and code points past U+10FFFF included). */
size_t utf8_length(const std::string &s, size_t i) {
  auto b = [&](size_t k) { return i + k < s.size() ? (unsigned char)s[i + k] : 0u; };
  auto cont = [&](size_t k) { return (b(k) & 0xC0) == 0x80; };
  unsigned c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    return b(1) >= lo && b(1) <= hi && cont(2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    return b(1) >= lo && b(1) <= hi && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

Json shown_json(const Json &j) {
  if (j.is_string()) return shown_text(j.get_ref<const std::string &>());
  if (j.is_array()) {
    Json out = Json::array();
    for (const Json &e : j) out.push_back(shown_json(e));
    return out;
  }
  if (j.is_object()) {
    Json out = Json::object();
    for (auto it = j.begin(); it != j.end(); ++it)
      out[shown_text(it.key())] = shown_json(it.value());
    return out;
  }
  return j;
}

}  // namespace

std::string shown_text(const std::string &s) {
  std::string out;
  bool bad = false;
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8_length(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      bad = true;
      i++;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  if (!bad) return s;
  static const char hex[] = "0123456789abcdef";
  out += " (hex ";
  for (unsigned char c : s) out += {hex[c >> 4], hex[c & 15]};
  return out + ")";
}

std::string trimmed_text(const std::string &s) {
  size_t end = s.find_last_not_of(" \t\r\n");
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

std::string json_dump(const Json &j, int indent) {
  try {
    return j.dump(indent);
  } catch (const nlohmann::json::type_error &) {
    // Only text that is not UTF-8 makes dump throw; shown once corrected.
    return shown_json(j).dump(indent, ' ', false, Json::error_handler_t::replace);
  }
}

Json json_value(double v) {
  if (orvtsdb::is_missing(v)) return nullptr;
  if (std::isfinite(v)) return v;
  return number_text(v);
}

std::string dash_or(const Json &v) { return v.is_null() ? "-" : std::to_string(v.get<int64_t>()); }

void print_json(const Json &j) { std::printf("%s\n", json_dump(j, 2).c_str()); }

void OutBuffer::flush() {
  if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), stdout) != buf_.size())
    die(EXIT_FAILURE_OTHER, "cannot write standard output");
  buf_.clear();
}

}  // namespace orvtsdb_cli
