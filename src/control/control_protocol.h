#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/status.h"

namespace tallysv {

// The exchange on the control socket: the client sends one request line,
// the server answers with lines and closes the connection.
//
// A request is at most kMaxControlRequest bytes, its "\n" included, of
// printable bytes (tabs and bytes above 127 allowed, no other control
// byte):
//   [json ]run <as> <command text>   as: "-" for the Network Administrator,
//                                    or the number of an operator entry
//   [json ]status | save | reload | zones | players
//   [json ]find <name>
// "json " asks for the output lines as JSON objects.
//
// The answer is lines of "<tag> <text>": "L" a line of output, "E" an
// error, and last "= <status>" with the exit status of the request. Texts
// are escaped so that each stays on its line ("\\", "\n", "\r" and other
// control bytes as "\xHH").
constexpr size_t kMaxControlRequest = 4096;

enum class ControlVerb { Run, Status, Save, Reload, Zones, Players, Find };

// The exit statuses of a request, as tallysv-ctl exits with them.
enum ControlStatus : int {
    kControlOk = 0,
    kControlNothing = 1,   // the command matched nothing, no player found, the save failed
    kControlUsage = 2,     // tallysv-ctl's own arguments
    kControlNoServer = 3,  // no server answers on the socket
    kControlRefused = 4,   // the server refused the request
    kControlTimeout = 5,   // no whole answer within the time allowed
};

struct ControlRequest {
    ControlVerb verb = ControlVerb::Status;
    bool json = false;
    // The operator entry to act as (1 is the first of the table); 0 for
    // the Network Administrator.
    int32_t operatorEntry = 0;
    // The command text (run) or the name (find).
    std::string argument;
};

// Reads one request from the bytes a client sends, in whatever pieces
// they come.
class ControlRequestReader {
public:
    enum class State { Partial, Complete, TooLong, Malformed };

    // Takes the next bytes. Once the state is no longer Partial, further
    // bytes are ignored (one request per connection).
    State feed(std::string_view bytes);
    State state() const { return state_; }
    // With Complete: the request. With Malformed or TooLong: why.
    const ControlRequest& request() const { return request_; }
    const std::string& error() const { return error_; }
    size_t buffered() const { return line_.size(); }

private:
    State state_ = State::Partial;
    std::string line_;
    ControlRequest request_;
    std::string error_;
};

// A request line without its "\n": the request, or a failure that says
// why ("malformed request: ...").
StatusOr<ControlRequest> parseControlRequest(std::string_view line);
// The line a request is sent as, "\n" included (the inverse of the above).
std::string controlRequestLine(const ControlRequest& request);

// What the server answers to one request.
struct ControlAnswer {
    std::vector<std::string> lines;
    std::vector<std::string> errors;
    int status = kControlOk;
};

std::string encodeControlAnswer(const ControlAnswer& answer);

// Reads an answer as it arrives; Complete once the status line came.
class ControlAnswerReader {
public:
    enum class State { Partial, Complete, Malformed };
    // Each whole line of output or error as it arrives.
    struct Line {
        bool error = false;
        std::string text;
    };
    State feed(std::string_view bytes, std::vector<Line>& lines);
    int status() const { return status_; }

private:
    State state_ = State::Partial;
    std::string pending_;
    int status_ = kControlRefused;
};

std::string escapeControlText(std::string_view text);
std::string unescapeControlText(std::string_view text);

// A JSON string literal of a text from the network (taken as Latin-1).
std::string jsonText(std::string_view text);

}  // namespace tallysv
