#include <cstdio>

#include "core/time_helpers.h"
#include "status/status_pages.h"

namespace tallysv {

const char* outcomeName(PlayerLoginOutcome outcome) {
    switch (outcome) {
        case PlayerLoginOutcome::Entered:
            return "entered";
        case PlayerLoginOutcome::Created:
            return "created";
        case PlayerLoginOutcome::LockedOut:
            return "locked_out";
        case PlayerLoginOutcome::AskedNewUser:
            return "asked_new_user";
        case PlayerLoginOutcome::WrongPassword:
            return "wrong_password";
        case PlayerLoginOutcome::NewUserRefused:
            return "new_user_refused";
        case PlayerLoginOutcome::BadName:
            return "bad_name";
        case PlayerLoginOutcome::Flood:
            return "flood";
        case PlayerLoginOutcome::Count:
            break;
    }
    return "other";
}

const char* outcomeName(ZoneLoginOutcome outcome) {
    switch (outcome) {
        case ZoneLoginOutcome::Accepted:
            return "accepted";
        case ZoneLoginOutcome::BadPassword:
            return "bad_password";
        case ZoneLoginOutcome::Flood:
            return "flood";
        case ZoneLoginOutcome::Invalid:
            return "invalid";
        case ZoneLoginOutcome::Count:
            break;
    }
    return "other";
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::string htmlText(std::string_view text) {
    std::string out;
    for (char c : latin1ToUtf8(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : latin1ToUtf8(text)) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string utcTimeText(int32_t time) {
    std::optional<std::tm> t = localTimeWithBias(time, 0);
    if (!t) return "-";
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", yearOf(*t), t->tm_mon + 1, t->tm_mday,
                  t->tm_hour, t->tm_min, t->tm_sec);
    return text;
}

std::string durationText(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    char text[48];
    int64_t days = seconds / 86400;
    int hours = static_cast<int>(seconds / 3600 % 24), minutes = static_cast<int>(seconds / 60 % 60),
        rest = static_cast<int>(seconds % 60);
    if (days > 0)
        std::snprintf(text, sizeof text, "%lld d %02d:%02d:%02d", static_cast<long long>(days), hours, minutes, rest);
    else
        std::snprintf(text, sizeof text, "%02d:%02d:%02d", hours, minutes, rest);
    return text;
}

}  // namespace tallysv
