#pragma once
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "commands/command_audit.h"
#include "core/log.h"
#include "core/mutex.h"
#include "core/status.h"

namespace tallysv {

// One audit record as one JSON object on one line, without the line end:
//   {"time":"2026-12-11T01:30:00Z","operator":1,"level":0,"account":"Alice",
//    "zone":7,"zoneName":"Arena","command":"?ban -d=7 Bob","outcome":"..."}
// A command sent through the control socket has "uid", "pid" and
// "where":"socket" instead of "account", "zone" and "zoneName"; a player's
// own command sent so also names the "account" it acted on. "outcome"
// is null for a command that replied nothing. Texts are bytes as the zones
// send them: `"`, `\`, control bytes and bytes above 127 are written as
// JSON escapes (\u00XX for a byte XX), so every line is plain ASCII.
std::string auditLine(const AuditRecord& record);

// A line read back; none when it is no audit line. Keys it does not know
// are passed over.
std::optional<AuditRecord> parseAuditLine(std::string_view line);

// The audit log of operator actions, `audit.log` in the working folder:
// every line is appended with one write to a file opened for appending, so
// it is in the file (whole) when append returns, before the command's reply
// leaves. reopen() lets logrotate move the file away: the next lines go to
// a new file of the same name.
class AuditLog {
public:
    static constexpr const char* kFileName = "audit.log";

    // Opens (creates) the file; a failure is a console line, and each
    // append tries again.
    AuditLog(std::string path, Log& log);
    ~AuditLog();
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    void append(const AuditRecord& record) EXCLUDES(mutex_);
    // Closes the file and opens the path again (SIGHUP, after a rotation).
    // A failure ("Cannot open the audit log PATH: REASON") has been said on
    // the console already, as a failing append says it: once, until the
    // file is written again.
    Status reopen() EXCLUDES(mutex_);

    const std::string& path() const { return path_; }

private:
    Status openLocked() REQUIRES(mutex_);
    // The failure of `what` (open, write), said on the console unless a
    // failure already was.
    Status reportLocked(const char* what, int error) REQUIRES(mutex_);

    const std::string path_;
    Log& log_;
    Mutex mutex_;
    int descriptor_ GUARDED_BY(mutex_) = -1;
    bool failing_ GUARDED_BY(mutex_) = false;  // a failure was reported; the next success is too
};

// What `tallysv-db audit` shows.
struct AuditFilter {
    std::optional<int64_t> since;  // lines at or after this time (seconds since 1970)
    std::string who;               // an account (any case) or a socket caller's uid; empty: everyone
};

// The time a --since value names: a UTC date with an optional time,
// "2026-12-11", "2026-12-11 01:30", "2026-12-11T01:30:00Z", or a span back
// from `now`, "90s", "30m", "12h", "7d". None when it is neither.
std::optional<int64_t> parseAuditSince(std::string_view text, int64_t now);

// Whether a record passes the filter.
bool auditRecordPasses(const AuditRecord& record, const AuditFilter& filter);

// Prints the lines of `in` that pass the filter as a table with a heading
// (TIME, WHO, OPERATOR, WHERE, COMMAND, OUTCOME); texts are shown as UTF-8
// with control bytes as "?". Returns the number of lines that are no audit
// lines (left out).
int printAuditTable(std::istream& in, const AuditFilter& filter, std::ostream& out);

}  // namespace tallysv
