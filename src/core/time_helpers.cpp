#include "core/time_helpers.h"

#include <cstdio>

namespace tallysv {

std::optional<std::tm> localTimeWithBias(int32_t time, int16_t bias) {
    int64_t shifted = static_cast<int64_t>(time) - static_cast<int64_t>(bias) * 60;
    if (time < 0 || shifted < 0) return std::nullopt;
    time_t t = static_cast<time_t>(shifted);
    std::tm result{};
    if (!gmtime_r(&t, &result)) return std::nullopt;
    return result;
}

std::string formatDate(std::optional<std::tm> time) {
    if (!time) return "(Invalid date)";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%i-%02i-%i", time->tm_mon + 1, time->tm_mday, yearOf(*time));
    return buffer;
}

std::string formatDateTime(std::optional<std::tm> time) {
    if (!time) return "(Invalid date)";
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%i-%02i-%i %i:%02i.%02i", time->tm_mon + 1, time->tm_mday, yearOf(*time),
                  time->tm_hour, time->tm_min, time->tm_sec);
    return buffer;
}

}  // namespace tallysv
