#include "control/audit_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <istream>
#include <ostream>
#include <vector>

namespace tallysv {

namespace {

constexpr int64_t kMinute = 60;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;

void appendJsonText(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20 || byte >= 0x7f) {
            out.append("\\u00");
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 15]);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

std::string isoTime(int64_t time) {
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// "YYYY-MM-DD" with an optional "THH:MM[:SS]" or " HH:MM[:SS]" and an
// optional "Z", as UTC.
std::optional<int64_t> parseUtc(std::string_view text) {
    int fields[6] = {0, 0, 0, 0, 0, 0};
    const char separators[6] = {'\0', '-', '-', 'T', ':', ':'};
    const int widths[6] = {4, 2, 2, 2, 2, 2};
    size_t pos = 0;
    int count = 0;
    for (; count < 6; ++count) {
        if (count > 0) {
            if (pos >= text.size()) break;
            const char c = text[pos];
            if (c != separators[count] && !(count == 3 && c == ' ')) break;
            ++pos;
        }
        if (pos + static_cast<size_t>(widths[count]) > text.size()) return std::nullopt;
        for (int i = 0; i < widths[count]; ++i) {
            const char d = text[pos++];
            if (d < '0' || d > '9') return std::nullopt;
            fields[count] = fields[count] * 10 + (d - '0');
        }
    }
    if (count < 3 || count == 4) return std::nullopt;
    if (pos < text.size() && text[pos] == 'Z') ++pos;
    if (pos != text.size()) return std::nullopt;
    if (fields[1] < 1 || fields[1] > 12 || fields[2] < 1 || fields[2] > 31 || fields[3] > 23 || fields[4] > 59 ||
        fields[5] > 60)
        return std::nullopt;
    std::tm parts{};
    parts.tm_year = fields[0] - 1900;
    parts.tm_mon = fields[1] - 1;
    parts.tm_mday = fields[2];
    parts.tm_hour = fields[3];
    parts.tm_min = fields[4];
    parts.tm_sec = fields[5];
    return static_cast<int64_t>(timegm(&parts));
}

// A reader of the flat JSON objects that auditLine writes.
class FlatJson {
public:
    explicit FlatJson(std::string_view text) : text_(text) {}

    struct Value {
        enum Kind { Text, Number, Null, Boolean } kind = Null;
        std::string text;
        int64_t number = 0;
    };

    // Calls `field(key, value)` for each member; false when the text is not
    // one flat object.
    template <typename Field>
    bool read(Field&& field) {
        skipBlanks();
        if (!take('{')) return false;
        skipBlanks();
        if (take('}')) return atEnd();
        for (;;) {
            std::string key;
            Value value;
            skipBlanks();
            if (!readText(key)) return false;
            skipBlanks();
            if (!take(':')) return false;
            skipBlanks();
            if (!readValue(value)) return false;
            field(key, value);
            skipBlanks();
            if (take(',')) continue;
            if (take('}')) return atEnd();
            return false;
        }
    }

private:
    bool atEnd() {
        skipBlanks();
        return pos_ == text_.size();
    }
    void skipBlanks() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r')) ++pos_;
    }
    bool take(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool takeWord(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }
    static int hexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    bool readText(std::string& out) {
        if (!take('"')) return false;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (pos_ >= text_.size()) return false;
            const char e = text_[pos_++];
            switch (e) {
                case '"': case '\\': case '/': out.push_back(e); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    if (pos_ + 4 > text_.size()) return false;
                    unsigned code = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int digit = hexDigit(text_[pos_++]);
                        if (digit < 0) return false;
                        code = code * 16 + static_cast<unsigned>(digit);
                    }
                    // The log writes bytes as \u00XX; anything above is
                    // kept as UTF-8.
                    if (code <= 0xff) {
                        out.push_back(static_cast<char>(code));
                    } else if (code <= 0x7ff) {
                        out.push_back(static_cast<char>(0xc0 | (code >> 6)));
                        out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
                    } else {
                        out.push_back(static_cast<char>(0xe0 | (code >> 12)));
                        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
                        out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
                    }
                    break;
                }
                default: return false;
            }
        }
        return false;
    }
    bool readValue(Value& value) {
        if (pos_ >= text_.size()) return false;
        const char c = text_[pos_];
        if (c == '"') {
            value.kind = Value::Text;
            return readText(value.text);
        }
        if (takeWord("null")) {
            value.kind = Value::Null;
            return true;
        }
        if (takeWord("true") || takeWord("false")) {
            value.kind = Value::Boolean;
            return true;
        }
        value.kind = Value::Number;
        bool negative = take('-');
        int digits = 0;
        int64_t number = 0;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            if (++digits > 18) return false;
            number = number * 10 + (text_[pos_++] - '0');
        }
        if (digits == 0) return false;
        value.number = negative ? -number : number;
        return true;
    }

    std::string_view text_;
    size_t pos_ = 0;
};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// A table cell: the bytes as Latin-1 in UTF-8, control bytes as "?".
std::string cellText(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            out.push_back('?');
        } else if (byte >= 0x80) {
            out.push_back(static_cast<char>(0xc0 | (byte >> 6)));
            out.push_back(static_cast<char>(0x80 | (byte & 0x3f)));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

std::string auditLine(const AuditRecord& record) {
    std::string line = "{\"time\":";
    appendJsonText(line, isoTime(record.time));
    line.append(",\"operator\":").append(std::to_string(record.operatorEntry));
    line.append(",\"level\":").append(std::to_string(record.level));
    if (record.fromSocket) {
        line.append(",\"uid\":").append(std::to_string(record.uid));
        line.append(",\"pid\":").append(std::to_string(record.pid));
        if (!record.account.empty()) {
            line.append(",\"account\":");
            appendJsonText(line, record.account);
        }
        line.append(",\"where\":\"socket\"");
    } else {
        line.append(",\"account\":");
        appendJsonText(line, record.account);
        line.append(",\"zone\":").append(std::to_string(record.scoreID));
        line.append(",\"zoneName\":");
        appendJsonText(line, record.zoneName);
    }
    line.append(",\"command\":");
    appendJsonText(line, record.command);
    line.append(",\"outcome\":");
    if (record.hasOutcome)
        appendJsonText(line, record.outcome);
    else
        line.append("null");
    line.push_back('}');
    return line;
}

std::optional<AuditRecord> parseAuditLine(std::string_view line) {
    AuditRecord record;
    bool hasTime = false;
    bool hasCommand = false;
    bool valid = true;
    FlatJson reader(line);
    using Value = FlatJson::Value;
    const bool read = reader.read([&](const std::string& key, const Value& value) {
        const bool text = value.kind == Value::Text;
        const bool number = value.kind == Value::Number;
        if (key == "time") {
            std::optional<int64_t> time = text ? parseUtc(value.text) : std::nullopt;
            if (!time) valid = false;
            record.time = time.value_or(0);
            hasTime = true;
        } else if (key == "command" && text) {
            record.command = value.text;
            hasCommand = true;
        } else if (key == "outcome") {
            record.hasOutcome = text;
            record.outcome = value.text;
        } else if (key == "operator" && number) {
            record.operatorEntry = static_cast<int32_t>(value.number);
        } else if (key == "level" && number) {
            record.level = static_cast<int32_t>(value.number);
        } else if (key == "account" && text) {
            record.account = value.text;
        } else if (key == "zone" && number) {
            record.scoreID = static_cast<int32_t>(value.number);
        } else if (key == "zoneName" && text) {
            record.zoneName = value.text;
        } else if (key == "uid" && number) {
            record.uid = static_cast<uint32_t>(value.number);
        } else if (key == "pid" && number) {
            record.pid = static_cast<int32_t>(value.number);
        } else if (key == "where" && text) {
            record.fromSocket = value.text == "socket";
        }
    });
    if (!read || !valid || !hasTime || !hasCommand) return std::nullopt;
    return record;
}

AuditLog::AuditLog(std::string path, Log& log) : path_(std::move(path)), log_(log) {
    MutexLock guard(mutex_);
    (void)openLocked();  // said on the console; each append tries again
}

AuditLog::~AuditLog() {
    MutexLock guard(mutex_);
    if (descriptor_ >= 0) ::close(descriptor_);
}

Status AuditLog::openLocked() {
    // Opened within its folder and never through a link: a link left in its
    // place would have the server append to a file of someone else's choice.
    const std::filesystem::path path(path_);
    const std::string folderName = path.has_parent_path() ? path.parent_path().string() : std::string(".");
    const int folder = ::open(folderName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    descriptor_ = folder < 0 ? -1
                             : ::openat(folder, path.filename().c_str(),
                                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640);
    const int error = errno;
    if (folder >= 0) ::close(folder);
    errno = error;
    if (descriptor_ >= 0) {
        struct stat info;
        if (::fstat(descriptor_, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(descriptor_);
            descriptor_ = -1;
            errno = EINVAL;
        }
    }
    if (descriptor_ < 0) return reportLocked("open", errno);
    return Status::ok();
}

Status AuditLog::reportLocked(const char* what, int error) {
    Status failure = Status::systemError(error, "Cannot " + std::string(what) + " the audit log " + path_);
    if (!failing_) log_.printf("%s\n", failure.reason().c_str());
    failing_ = true;
    return failure;
}

void AuditLog::append(const AuditRecord& record) {
    std::string line = auditLine(record);
    line.push_back('\n');
    MutexLock guard(mutex_);
    if (descriptor_ < 0 && !openLocked()) return;
    // One write puts the whole line at the end of the file; a short one
    // (a full disk) is finished or given up.
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t wrote = ::write(descriptor_, line.data() + done, line.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            (void)reportLocked("write", wrote < 0 ? errno : ENOSPC);
            return;
        }
        done += static_cast<size_t>(wrote);
    }
    if (failing_) {
        failing_ = false;
        log_.printf("The audit log %s is written again\n", path_.c_str());
    }
}

Status AuditLog::reopen() {
    MutexLock guard(mutex_);
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
    failing_ = false;
    return openLocked();
}

std::optional<int64_t> parseAuditSince(std::string_view text, int64_t now) {
    if (text.size() >= 2) {
        const char unit = text.back();
        const int64_t scale = unit == 's' ? 1 : unit == 'm' ? kMinute : unit == 'h' ? kHour : unit == 'd' ? kDay : 0;
        std::string_view digits = text.substr(0, text.size() - 1);
        bool allDigits = scale != 0 && digits.size() <= 9;
        for (char c : digits) allDigits = allDigits && c >= '0' && c <= '9';
        if (allDigits) {
            int64_t count = 0;
            for (char c : digits) count = count * 10 + (c - '0');
            return now - count * scale;
        }
    }
    return parseUtc(text);
}

bool auditRecordPasses(const AuditRecord& record, const AuditFilter& filter) {
    if (filter.since && record.time < *filter.since) return false;
    if (filter.who.empty()) return true;
    if (record.fromSocket) {
        bool number = filter.who.size() <= 10;
        for (char c : filter.who) number = number && c >= '0' && c <= '9';
        return number && std::stoull(filter.who) == record.uid;
    }
    return sameIgnoringCase(record.account, filter.who);
}

int printAuditTable(std::istream& in, const AuditFilter& filter, std::ostream& out) {
    using Row = std::vector<std::string>;
    std::vector<Row> rows{{"TIME", "WHO", "OPERATOR", "WHERE", "COMMAND", "OUTCOME"}};
    int unreadable = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        std::optional<AuditRecord> record = parseAuditLine(line);
        if (!record) {
            ++unreadable;
            continue;
        }
        if (!auditRecordPasses(*record, filter)) continue;
        std::string time = isoTime(record->time);
        time[10] = ' ';
        time.pop_back();
        std::string who = record->fromSocket
                              ? "uid " + std::to_string(record->uid) + " pid " + std::to_string(record->pid) +
                                    (record->account.empty() ? "" : " as " + record->account)
                              : record->account;
        std::string op = "#" + std::to_string(record->operatorEntry) + " level " + std::to_string(record->level);
        std::string where =
            record->fromSocket ? "socket" : std::to_string(record->scoreID) + " " + record->zoneName;
        rows.push_back({time, who, op, where, record->command, record->hasOutcome ? record->outcome : "-"});
    }
    // Widths in characters: every byte of a stored text is one.
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const Row& row : rows)
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    for (const Row& row : rows) {
        std::string text;
        for (size_t i = 0; i < row.size(); ++i) {
            text.append(cellText(row[i]));
            if (i + 1 == row.size()) break;
            text.append(widths[i] - row[i].size() + 2, ' ');
        }
        out << text << '\n';
    }
    return unreadable;
}

}  // namespace tallysv
