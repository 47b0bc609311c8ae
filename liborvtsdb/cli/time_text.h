/*
 * time_text.h - time stamps as people write and read them: seconds or
 * milliseconds since the epoch, ISO 8601 date-times and offsets from the
 * run's start on the command line, UTC text in output.
 */
#ifndef ORVTSDB_TIME_TEXT_H
#define ORVTSDB_TIME_TEXT_H

#include <cstdint>
#include <optional>
#include <string>

namespace orvtsdb_cli {

/* A time as given to --from or --to. An instant is whole seconds since the
 * epoch rounded down, with `inside_second` set when the text named a moment
 * after the start of that second (a fraction, or milliseconds that are not
 * whole seconds): the store keeps whole seconds, so such a --from starts at
 * the next second and such a --to ends at this one. `from_start` marks an
 * offset from the run's first stored sample ("+10m") instead of an instant. */
struct TimeArg {
  int64_t seconds = 0;
  bool inside_second = false;
  bool from_start = false;
};

/* Reads "1709542800" (seconds since the epoch, may be negative), the same in
 * milliseconds as a dashboard URL carries it ("1709542800000": 12 digits or
 * more, which as seconds would be past the year 5000), an ISO 8601
 * date-time: "2024-03-04", "2024-03-04T09:00", "2024-03-04 09:00:05",
 * "2024-03-04T09:00:05.250", each optionally followed by "Z", "+01:00",
 * "+0100" or "-01", or "+" and a duration as parse_duration reads it
 * ("+10m": ten minutes after the run's first sample). A time without an
 * offset is UTC, as the store and `info` show times. nullopt when the text is
 * none of these or names no real date (2024-02-30, 25:00). */
std::optional<TimeArg> parse_time(const std::string &text);

/* Reads a duration in seconds: "300", "90s", "5m", "1h", "1h30m", "2h5m10s"
 * (units h, m, s in that order, each at most once). nullopt otherwise. */
std::optional<int64_t> parse_duration(const std::string &text);

/* Seconds as "h:mm:ss" ("0:05:00"); negative with a leading "-". */
std::string clock_text(int64_t seconds);

/* "2024-03-04 09:00:00" (UTC), or "?" outside the years gmtime handles. */
std::string utc_text(int64_t t);

/* A span of stored times as a closing line shows it, in UTC and in epoch
 * milliseconds as a dashboard's URL takes them:
 * "2024-03-04 09:00:00 .. 2024-03-04 10:00:00 UTC (ms 1709542800000 .. 1709546400000)". */
std::string time_range_text(int64_t first, int64_t last);

}  // namespace orvtsdb_cli

#endif
