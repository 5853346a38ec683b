#pragma once
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace tallysv {

// The broken-down local time of a calendar time for someone whose time zone
// lies `bias` minutes west of UTC. Depends only on the two arguments, never
// on the machine's own time zone. No value for times that cannot be
// converted (before 1970, before or after the shift).
std::optional<std::tm> localTimeWithBias(int32_t time, int16_t bias);

inline int yearOf(const std::tm& time) { return time.tm_year + 1900; }

// "3-07-2001", or "(Invalid date)".
std::string formatDate(std::optional<std::tm> time);
// "3-07-2001 14:05.09", or "(Invalid date)".
std::string formatDateTime(std::optional<std::tm> time);

}  // namespace tallysv
