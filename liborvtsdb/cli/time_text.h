/*
 * time_text.h - time stamps as people write and read them: seconds since the
 * epoch or ISO 8601 date-times on the command line, UTC text in output.
 */
#ifndef ORVTSDB_TIME_TEXT_H
#define ORVTSDB_TIME_TEXT_H

#include <cstdint>
#include <optional>
#include <string>

namespace orvtsdb_cli {

/* Reads "1709542800" (seconds since the epoch, may be negative), the same in
 * milliseconds as a dashboard URL carries it ("1709542800000": 12 digits or
 * more, which as seconds would be past the year 5000), or an ISO 8601
 * date-time: "2024-03-04", "2024-03-04T09:00", "2024-03-04 09:00:05",
 * "2024-03-04T09:00:05.000", each optionally followed by "Z", "+01:00",
 * "+0100" or "-01". A time without an offset is UTC, as the store and `info`
 * show times. A fraction of a second other than zero is refused: the store
 * keeps whole seconds. nullopt when the text is none of these or names no
 * real date (2024-02-30, 25:00). */
std::optional<int64_t> parse_time(const std::string &text);

/* Reads a duration in seconds: "300", "90s", "5m", "1h", "1h30m", "2h5m10s"
 * (units h, m, s in that order, each at most once). nullopt otherwise. */
std::optional<int64_t> parse_duration(const std::string &text);

/* Seconds as "h:mm:ss" ("0:05:00"); negative with a leading "-". */
std::string clock_text(int64_t seconds);

/* "2024-03-04 09:00:00" (UTC), or "?" outside the years gmtime handles. */
std::string utc_text(int64_t t);

}  // namespace orvtsdb_cli

#endif
