#include "control/control_protocol.h"

#include <charconv>

#include "status/status_pages.h"

namespace tallysv {

namespace {

constexpr std::string_view kJsonPrefix = "json ";
constexpr size_t kMaxAnswerLine = size_t{16} << 20;

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

struct VerbName {
    std::string_view name;
    ControlVerb verb;
    bool argument;  // followed by " " and an argument
};
constexpr VerbName kVerbs[] = {
    {"run", ControlVerb::Run, true},         {"status", ControlVerb::Status, false},
    {"save", ControlVerb::Save, false},      {"reload", ControlVerb::Reload, false},
    {"zones", ControlVerb::Zones, false},    {"players", ControlVerb::Players, false},
    {"find", ControlVerb::Find, true},
};

// Operator entries are numbered from 1; more than six digits names none.
std::optional<int32_t> entryNumber(std::string_view text) {
    // Written as the client writes it: no sign, no leading zero.
    if (text.empty() || text.size() > 6 || text[0] == '0') return std::nullopt;
    int32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 1) return std::nullopt;
    return value;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

StatusOr<ControlRequest> parseControlRequest(std::string_view line) {
    for (unsigned char c : line) {
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return Status::failure("malformed request: control byte in the request");
    }
    ControlRequest request;
    if (startsWith(line, kJsonPrefix)) {
        request.json = true;
        line.remove_prefix(kJsonPrefix.size());
    }
    const size_t space = line.find(' ');
    const std::string_view word = line.substr(0, space);
    const VerbName* verb = nullptr;
    for (const VerbName& candidate : kVerbs)
        if (candidate.name == word) verb = &candidate;
    if (!verb) {
        return Status::failure("malformed request: unknown request \"" + escapeControlText(word.substr(0, 32)) + "\"");
    }
    request.verb = verb->verb;
    if (!verb->argument) {
        if (space != std::string_view::npos) {
            return Status::failure("malformed request: " + std::string(verb->name) + " takes no argument");
        }
        return request;
    }
    std::string_view rest = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    if (request.verb == ControlVerb::Run) {
        const size_t split = rest.find(' ');
        const std::string_view as = rest.substr(0, split);
        if (as != "-") {
            std::optional<int32_t> entry = entryNumber(as);
            if (!entry) {
                return Status::failure(
                    "malformed request: run needs \"-\" or an operator entry number, then the command");
            }
            request.operatorEntry = *entry;
        }
        rest = split == std::string_view::npos ? std::string_view() : rest.substr(split + 1);
        if (rest.empty() || rest[0] != '?') {
            return Status::failure("malformed request: the command must begin with \"?\"");
        }
    } else if (rest.empty()) {
        return Status::failure("malformed request: find needs a name");
    }
    request.argument.assign(rest);
    return request;
}

std::string controlRequestLine(const ControlRequest& request) {
    std::string line = request.json ? std::string(kJsonPrefix) : std::string();
    for (const VerbName& verb : kVerbs)
        if (verb.verb == request.verb) line.append(verb.name);
    if (request.verb == ControlVerb::Run)
        line.append(" ").append(request.operatorEntry == 0 ? "-" : std::to_string(request.operatorEntry));
    if (request.verb == ControlVerb::Run || request.verb == ControlVerb::Find) line.append(" ").append(request.argument);
    return line.append("\n");
}

ControlRequestReader::State ControlRequestReader::feed(std::string_view bytes) {
    if (state_ != State::Partial) return state_;
    const size_t newline = bytes.find('\n');
    const std::string_view part = bytes.substr(0, newline);
    // The bound counts the "\n" too.
    if (line_.size() + part.size() + 1 > kMaxControlRequest) {
        line_.clear();
        error_ = "request too long (at most " + std::to_string(kMaxControlRequest) + " bytes)";
        return state_ = State::TooLong;
    }
    line_.append(part);
    if (newline == std::string_view::npos) return state_;
    StatusOr<ControlRequest> request = parseControlRequest(line_);
    line_.clear();
    if (!request) {
        error_ = request.reason();
        return state_ = State::Malformed;
    }
    request_ = std::move(request).value();
    return state_ = State::Complete;
}

std::string escapeControlText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out.append("\\\\");
        } else if (c == '\n') {
            out.append("\\n");
        } else if (c == '\r') {
            out.append("\\r");
        } else if (byte < 0x20 && c != '\t') {
            static constexpr char kHex[] = "0123456789abcdef";
            out.append("\\x").push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string unescapeControlText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char next = text[++i];
        if (next == 'n') {
            out.push_back('\n');
        } else if (next == 'r') {
            out.push_back('\r');
        } else if (next == 'x' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(next);
        }
    }
    return out;
}

std::string encodeControlAnswer(const ControlAnswer& answer) {
    std::string out;
    for (const std::string& line : answer.lines) out.append("L ").append(escapeControlText(line)).append("\n");
    for (const std::string& error : answer.errors) out.append("E ").append(escapeControlText(error)).append("\n");
    return out.append("= ").append(std::to_string(answer.status)).append("\n");
}

ControlAnswerReader::State ControlAnswerReader::feed(std::string_view bytes, std::vector<Line>& lines) {
    if (state_ != State::Partial) return state_;
    pending_.append(bytes);
    size_t start = 0;
    for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string_view line(pending_.data() + start, end - start);
        if (startsWith(line, "L ") || startsWith(line, "E ")) {
            lines.push_back({line[0] == 'E', unescapeControlText(line.substr(2))});
        } else if (startsWith(line, "= ")) {
            std::string_view number = line.substr(2);
            int status = 0;
            auto [at, error] = std::from_chars(number.data(), number.data() + number.size(), status);
            if (error != std::errc() || at != number.data() + number.size()) return state_ = State::Malformed;
            status_ = status;
            pending_.clear();
            return state_ = State::Complete;
        } else {
            return state_ = State::Malformed;
        }
    }
    pending_.erase(0, start);
    // No line of a server's answer comes near this.
    if (pending_.size() > kMaxAnswerLine) return state_ = State::Malformed;
    return state_;
}

std::string jsonText(std::string_view text) {
    std::string out = "\"";
    for (char c : latin1ToUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20) {
            static constexpr char kHex[] = "0123456789abcdef";
            out.append("\\u00").push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out.append("\"");
}

}  // namespace tallysv
