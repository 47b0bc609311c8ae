/*
 * time_text.cpp - the time arguments and UTC texts of the command. Dates are
 * checked with std::chrono's calendar, so no date that does not exist gets
 * through rounded to a neighbour.
 */
#include "time_text.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace orvtsdb_cli {

namespace {

/* Reads exactly n digits at p; -1 when they are not all digits. */
int digits(const std::string &s, size_t &p, int n) {
  if (p + n > s.size()) return -1;
  int v = 0;
  for (int i = 0; i < n; i++, p++) {
    if (s[p] < '0' || s[p] > '9') return -1;
    v = v * 10 + (s[p] - '0');
  }
  return v;
}

bool take(const std::string &s, size_t &p, char c) {
  if (p < s.size() && s[p] == c) return ++p, true;
  return false;
}

/* Seconds or, from twelve digits on, milliseconds since the epoch (as
 * seconds, twelve digits would be past the year 5000). */
std::optional<TimeArg> epoch_time(const std::string &s) {
  bool negative = s[0] == '-';
  size_t p = negative ? 1 : 0, n = s.size() - p;
  if (n == 0 || n > 18) return std::nullopt;
  int64_t v = 0;
  for (; p < s.size(); p++) {
    if (s[p] < '0' || s[p] > '9') return std::nullopt;
    v = v * 10 + (s[p] - '0');
  }
  if (negative) v = -v;
  if (n < 12) return TimeArg{v, false, false};
  int64_t seconds = v / 1000 - (v % 1000 < 0);  // rounded down, also before 1970
  return TimeArg{seconds, v % 1000 != 0, false};
}

/* Skips a fraction of a second at p (".250"); sets `inside` when it is not
 * zero. False on a "." without digits. */
bool fraction(const std::string &s, size_t &p, bool &inside) {
  if (!take(s, p, '.')) return true;
  size_t start = p;
  for (; p < s.size() && s[p] >= '0' && s[p] <= '9'; p++) inside = inside || s[p] != '0';
  return p > start;
}

/* The offset east of UTC in seconds after p ("Z", "+hh", "+hhmm", "+hh:mm"). */
std::optional<int> utc_offset(const std::string &s, size_t &p) {
  if (p == s.size() || take(s, p, 'Z') || take(s, p, 'z')) return 0;
  int sign = take(s, p, '+') ? 1 : take(s, p, '-') ? -1 : 0;
  int h = sign ? digits(s, p, 2) : -1, m = 0;
  if (h < 0 || h > 23) return std::nullopt;
  if (p < s.size()) {
    take(s, p, ':');
    if ((m = digits(s, p, 2)) < 0 || m > 59) return std::nullopt;
  }
  return sign * (h * 3600 + m * 60);
}

}  // namespace

std::optional<TimeArg> parse_time(const std::string &s) {
  if (s.empty()) return std::nullopt;
  if (s[0] == '+') {
    auto offset = parse_duration(s.substr(1));
    return offset ? std::optional<TimeArg>(TimeArg{*offset, false, true}) : std::nullopt;
  }
  if (auto v = epoch_time(s)) return v;
  size_t p = 0;
  int y = digits(s, p, 4), mo = take(s, p, '-') ? digits(s, p, 2) : -1,
      d = take(s, p, '-') ? digits(s, p, 2) : -1;
  if (y < 0 || mo < 0 || d < 0) return std::nullopt;
  std::chrono::year_month_day ymd{std::chrono::year(y), std::chrono::month(mo),
                                  std::chrono::day(d)};
  if (!ymd.ok()) return std::nullopt;
  int h = 0, mi = 0, sec = 0;
  bool inside = false;
  if (take(s, p, 'T') || take(s, p, 't') || take(s, p, ' ')) {
    h = digits(s, p, 2);
    mi = take(s, p, ':') ? digits(s, p, 2) : -1;
    if (take(s, p, ':') && (sec = digits(s, p, 2)) >= 0 && !fraction(s, p, inside))
      return std::nullopt;
    if (h < 0 || h > 23 || mi < 0 || mi > 59 || sec < 0 || sec > 59) return std::nullopt;
  }
  auto offset = utc_offset(s, p);
  if (!offset || p != s.size()) return std::nullopt;
  int64_t days = std::chrono::sys_days(ymd).time_since_epoch().count();
  return TimeArg{days * 86400 + h * 3600 + mi * 60 + sec - *offset, inside, false};
}

std::optional<int64_t> parse_duration(const std::string &s) {
  if (s.empty()) return std::nullopt;
  if (s.find_first_not_of("0123456789") == std::string::npos)
    return s.size() <= 12 ? std::optional<int64_t>(std::stoll(s)) : std::nullopt;
  int64_t total = 0;
  const std::string units = "hms";
  size_t p = 0, next_unit = 0;
  while (p < s.size()) {
    size_t digits = s.find_first_not_of("0123456789", p);
    if (digits == p || digits == std::string::npos || digits - p > 9) return std::nullopt;
    size_t unit = units.find(s[digits], next_unit);
    if (unit == std::string::npos) return std::nullopt;
    total += std::stoll(s.substr(p, digits - p)) * (unit == 0 ? 3600 : unit == 1 ? 60 : 1);
    next_unit = unit + 1;
    p = digits + 1;
  }
  return total;
}

std::string clock_text(int64_t seconds) {
  std::string sign = seconds < 0 ? "-" : "";
  uint64_t s = seconds < 0 ? 0 - (uint64_t)seconds : (uint64_t)seconds;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s%llu:%02llu:%02llu", sign.c_str(),
                (unsigned long long)(s / 3600), (unsigned long long)(s / 60 % 60),
                (unsigned long long)(s % 60));
  return buf;
}

std::string utc_text(int64_t t) {
  time_t tt = (time_t)t;
  struct tm tm;
  char buf[40];
  if (!gmtime_r(&tt, &tm) || !strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm)) return "?";
  return buf;
}

std::string time_range_text(int64_t first, int64_t last) {
  if (first > last) return "no time";  // nothing was counted
  // Milliseconds as text: a product could overflow for a damaged time.
  auto ms = [](int64_t t) { return t ? std::to_string(t) + "000" : std::string("0"); };
  return utc_text(first) + " .. " + utc_text(last) + " UTC (ms " + ms(first) + " .. " + ms(last) +
         ")";
}

}  // namespace orvtsdb_cli
