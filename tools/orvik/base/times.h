// Instants and durations as people and HTTP clients write them.
#ifndef ORVIK_HOST_TIMES_H
#define ORVIK_HOST_TIMES_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvik_host {

// The last instant a time may name: 9999-12-31T23:59:59.999Z, the last one
// RFC 3339 can write. Windows and steps added to it stay far inside 64 bits,
// and answers, which carry seconds as doubles, still hold the millisecond.
inline constexpr int64_t MAX_TIME_MS = 253402300799999;

// Parses an instant into milliseconds since the Unix epoch: Unix seconds with
// an optional fraction ("1700000000.5"), milliseconds with an "ms" suffix
// ("1700000000500ms"), or RFC 3339 ("2023-11-14T22:13:20.5Z", any offset).
// Fractions finer than a millisecond are rounded to the nearest one. Nothing
// for an instant further than MAX_TIME_MS from the epoch, either way.
std::optional<int64_t> parse_time_ms(std::string_view text);

// Parses a duration into milliseconds: plain seconds with an optional fraction
// ("15", "0.5"), or unit terms in decreasing order as in "15s", "5m", "1h30m",
// "500ms" (units y, w, d, h, m, s, ms).
std::optional<int64_t> parse_duration_ms(std::string_view text);

// RFC 3339 in UTC, with milliseconds only when there are some.
std::string format_time(int64_t ms);

// The wall clock in milliseconds.
int64_t now_ms();

}  // namespace orvik_host

#endif
