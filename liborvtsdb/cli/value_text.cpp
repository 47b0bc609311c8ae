/*
 * value_text.cpp - numbers, CSV fields and JSON values as the command writes
 * them.
 */
#include "value_text.h"

#include <dragonbox/dragonbox.h>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "command_kit.h"
#include "store_reading.h"

namespace orvtsdb_cli {

namespace {

/* The eight digits of x (below 10^8, leading zeros included) as the bytes
 * of one word in text order: split into halves of four digits, those into
 * pairs, the pairs into digits, each step in every lane at once by one
 * multiplication (a quotient by 100 as x * 10486 >> 20 and by 10 as
 * x * 103 >> 10, exact for the lanes' ranges). */
uint64_t eight_digits(uint32_t x) {
  uint64_t halves = x / 10000 | (uint64_t)(x % 10000) << 32;
  uint64_t first_pairs = (halves * 10486 >> 20) & 0x0000007F0000007FULL;
  uint64_t pairs = first_pairs | (halves - 100 * first_pairs) << 16;
  uint64_t first_digits = (pairs * 103 >> 10) & 0x000F000F000F000FULL;
  uint64_t digits = first_digits | (pairs - 10 * first_digits) << 8;
  digits += 0x3030303030303030ULL;  // '0' in every byte
  if constexpr (std::endian::native == std::endian::big) digits = __builtin_bswap64(digits);
  return digits;
}

/* u in decimal at p, as std::to_chars writes it, returning the end: the
 * last eight digits at a time, each eight written as one word, the first
 * ones (fewer than nine) by std::to_chars. Room for 20 bytes. */
char *put_decimal(char *p, uint64_t u) {
  constexpr uint64_t kEight = 100000000;
  if (u < kEight) return std::to_chars(p, p + 8, (uint32_t)u).ptr;
  uint64_t first = u / kEight;  // a call less for the usual case, fewer than 17 digits
  p = first < kEight ? std::to_chars(p, p + 8, (uint32_t)first).ptr : put_decimal(p, first);
  uint64_t digits = eight_digits((uint32_t)(u % kEight));
  std::memcpy(p, &digits, sizeof digits);
  return p + sizeof digits;
}

/* A value written with few digits: ±digits × 10^exponent, the digits as
 * text without a trailing zero. */
struct ShortDecimal {
  bool negative;
  char digits[24];
  int length;  // of digits
  int exponent;
};

/* Whether v is the double nearest a number of at most three decimals below
 * 10^12 in magnitude (not 0), as most stored values are, and that number
 * times 1000 in k. Then its digits are those of the shortest text that reads
 * back as v: the doubles there lie less than 2^-12 apart, so no other number
 * with as few digits rounds to v. */
bool thousandths(double v, long long &k) {
  if (!(std::fabs(v) < 1e12)) return false;  // NaN included
  // Rounded half away from 0 without a call: a k off by one fails the test
  // after it and leaves v to std::to_chars, never to a wrong text.
  double scaled = v * 1000;
  k = (long long)(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
  return k != 0 && (double)k / 1000 == v;
}

/* The same number as digits and exponent, in d. */
bool short_decimal(double v, ShortDecimal &d) {
  long long k = 0;
  if (!thousandths(v, k)) return false;
  d.negative = k < 0;
  d.length = (int)(std::to_chars(d.digits, d.digits + sizeof d.digits,
                                 d.negative ? 0 - (unsigned long long)k : (unsigned long long)k)
                       .ptr -
                   d.digits);
  d.exponent = -3;
  while (d.digits[d.length - 1] == '0') d.length--, d.exponent++;
  return true;
}

/* The digits of d at p. */
char *put_digits(char *p, const ShortDecimal &d) {
  std::memcpy(p, d.digits, sizeof d.digits);  // whole: a constant size copies faster
  return p + d.length;
}

/* The text after the point of each three-digit fraction f (1 to 999),
 * without trailing zeros: ".5" for 500, ".05" for 50. */
struct Fraction {
  char text[4];
  int length;
};
constexpr std::array<Fraction, 1000> kFractions = [] {
  std::array<Fraction, 1000> t{};
  for (int f = 1; f < 1000; f++) {
    const char digits[3] = {(char)('0' + f / 100), (char)('0' + f / 10 % 10), (char)('0' + f % 10)};
    int n = 3;
    while (digits[n - 1] == '0') n--;
    t[(size_t)f].text[0] = '.';
    for (int i = 0; i < n; i++) t[(size_t)f].text[i + 1] = digits[i];
    t[(size_t)f].length = n + 1;
  }
  return t;
}();

/* v as std::to_chars writes its shortest text, when v is the double
 * nearest k / 1000 for a k of at most 15 digits (not 0): the digits of k
 * with the point put back, in fixed notation when that is shorter than the
 * scientific one. Null when it is not (left to std::to_chars itself, which
 * also decides ties). */
char *put_thousandths(char *p, long long k) {
  bool negative = k < 0;
  unsigned long long u = negative ? 0 - (unsigned long long)k : (unsigned long long)k;
  unsigned long long whole = u / 1000;
  unsigned fraction = (unsigned)(u % 1000);
  if (negative) *p++ = '-';
  if (fraction != 0) {
    // 0.00d is as long as de-03: a tie
    if (whole == 0 && fraction < 10) return nullptr;
    p = std::to_chars(p, p + 20, whole).ptr;
    const Fraction &f = kFractions[fraction];
    std::memcpy(p, f.text, sizeof f.text);  // whole: a constant size copies faster
    return p + f.length;
  }
  char *digits = p;
  p = std::to_chars(p, p + 20, whole).ptr;
  // A whole number of n digits, m of them before its trailing zeros, takes
  // m + 5 in scientific notation (m > 1; 5 when m is 1).
  int n = (int)(p - digits), m = n;
  if (n < 5) return p;
  while (digits[m - 1] == '0') m--;
  return n < (m > 1 ? m + 1 : 1) + 4 ? p : nullptr;
}

/* v as std::to_chars writes its shortest text, when v is finite, not 0 and
 * below 2^53 in magnitude: the shortest digits that read back as v, the ones
 * nearest v among them (ties to even), as Dragonbox finds them, three times
 * faster than the standard library's own search; laid out in fixed notation
 * when that is not longer than the scientific one. Null otherwise: from 2^53
 * on, a whole number's fixed text holds its exact digits rather than the
 * shortest ones, which only std::to_chars writes. */
char *put_shortest(char *p, double v) {
  constexpr double kExactWhole = 9007199254740992.0;  // 2^53
  double magnitude = std::fabs(v);
  if (!(magnitude < kExactWhole) || magnitude == 0) return nullptr;  // NaN included
  auto decimal = jkj::dragonbox::to_decimal(magnitude, jkj::dragonbox::policy::sign::ignore);
  char digits[24];
  int n = (int)(put_decimal(digits, decimal.significand) - digits);
  int exponent = decimal.exponent;  // magnitude = digits x 10^exponent, no trailing zero
  int point = n + exponent;         // digits before the point; 0 or less: zeros after it
  int scientific_exponent = point - 1;
  int scientific = n + (n > 1) + 2 + (std::abs(scientific_exponent) >= 100 ? 3 : 2);
  int fixed = exponent >= 0 ? point : point > 0 ? n + 1 : 2 - point + n;
  if (std::signbit(v)) *p++ = '-';
  if (fixed <= scientific) {
    if (exponent >= 0) {
      std::memcpy(p, digits, (size_t)n);
      std::memset(p + n, '0', (size_t)exponent);
      return p + point;
    }
    if (point > 0) {
      std::memcpy(p, digits, (size_t)point);
      p[point] = '.';
      std::memcpy(p + point + 1, digits + point, (size_t)(n - point));
      return p + n + 1;
    }
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', (size_t)-point);
    std::memcpy(p - point, digits, (size_t)n);
    return p - point + n;
  }
  *p++ = digits[0];
  if (n > 1) {
    *p++ = '.';
    std::memcpy(p, digits + 1, (size_t)(n - 1));
    p += n - 1;
  }
  *p++ = 'e';
  *p++ = scientific_exponent < 0 ? '-' : '+';
  unsigned e = (unsigned)std::abs(scientific_exponent);
  if (e < 10) *p++ = '0';
  return std::to_chars(p, p + 3, e).ptr;
}

}  // namespace

char *put_number(char *p, double v) {
  long long k = 0;
  if (thousandths(v, k))
    if (char *end = put_thousandths(p, k)) return end;
  if (char *end = put_shortest(p, v)) return end;
  if (std::isnan(v)) {
    std::memcpy(p, "NaN", 3);
    return p + 3;
  }
  if (std::isinf(v)) {
    std::memcpy(p, v > 0 ? "+Inf" : "-Inf", 4);
    return p + 4;
  }
  return std::to_chars(p, p + kNumberRoom, v).ptr;
}

char *put_integer(char *p, int64_t v) {
  if (v < 0) *p++ = '-';
  return put_decimal(p, v < 0 ? 0 - (uint64_t)v : (uint64_t)v);
}

char *put_json_value(char *p, double v) {
  if (orvtsdb::is_missing(v)) {
    std::memcpy(p, "null", 4);
    return p + 4;
  }
  // A short decimal is laid out as nlohmann lays out the digits its Grisu2
  // finds, which are these: v lies at least 1/250 of its spacing inside
  // its rounding interval (a k / 1000 is some j / 125 of the spacing off
  // v), and Grisu2 narrows the interval by a few 2^-11 of it only.
  ShortDecimal d;
  if (short_decimal(v, d)) {
    if (d.negative) *p++ = '-';
    put_digits(p, d);
    return nlohmann::detail::dtoa_impl::format_buffer(p, d.length, d.exponent, -4,
                                                      std::numeric_limits<double>::digits10);
  }
  if (std::isfinite(v)) return nlohmann::detail::to_chars(p, p + kNumberRoom, v);
  *p++ = '"';
  p = put_number(p, v);
  *p++ = '"';
  return p;
}

void append_number(std::string &out, double v) {
  char buf[kNumberRoom];
  out.append(buf, put_number(buf, v));
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

void write_out(const char *data, size_t n) {
  if (n && std::fwrite(data, 1, n, stdout) != n)
    die(EXIT_FAILURE_OTHER, std::string("cannot write standard output: ") + std::strerror(errno));
}

void OutBuffer::flush() {
  write_out(buf_.data(), buf_.size());
  buf_.clear();
}

void LineBuffer::write_blocks() {
  size_t rest = (size_t)(end_ - cut_);
  write_out(data_.get(), (size_t)(cut_ - data_.get()));
  std::memmove(data_.get(), cut_, rest);
  end_ = data_.get() + rest;
  cut_ = data_.get();
}

void LineBuffer::grow(size_t n) {
  size_t used = (size_t)(end_ - data_.get());
  size_t cap = (size_t)(cap_ - data_.get());
  while (cap - used < n) cap *= 2;
  std::unique_ptr<char[]> bigger(new char[cap]);
  std::memcpy(bigger.get(), data_.get(), used);
  cut_ = bigger.get() + (cut_ - data_.get());
  data_ = std::move(bigger);
  end_ = data_.get() + used;
  cap_ = data_.get() + cap;
}

}  // namespace orvtsdb_cli
