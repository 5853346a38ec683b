// tallysv-ctl: runs in-game commands and asks for figures, saves and
// re-reads on a running server, through its control socket.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/control_protocol.h"
#include "core/text.h"

using namespace tallysv;

namespace {

constexpr const char* kUsage =
    "usage: tallysv-ctl [--socket PATH] [--json] [--timeout SECONDS] [--as N] COMMAND\n"
    "commands: run '?command' | run - | status | save | reload | zones | players | find NAME\n";
constexpr const char* kHelp =
    "usage: tallysv-ctl [--socket PATH] [--json] [--timeout SECONDS] [--as N] COMMAND\n"
    "\n"
    "Acts on a running tallysv server through its control socket (the\n"
    "ControlSocket setting; tallysv.sock in the working folder by default).\n"
    "\n"
    "  run '?command'  runs an in-game command as the Network Administrator,\n"
    "                  or with --as N as operator entry N (its level and sector),\n"
    "                  and prints each reply line as the player would see it\n"
    "  run -           the same, the command read as one line from standard\n"
    "                  input: use it for a command that carries a password,\n"
    "                  which would otherwise show in ps and in shell history\n"
    "  status          the JSON of the status pages\n"
    "  save            saves the database as ?write does, and waits for it\n"
    "  reload          re-reads TALLYSV.INI as ?read does\n"
    "  zones           the connected zones: ScoreID, GroupID, players, address, name\n"
    "  players         the players in zones: name, ScoreID, zone, operator level\n"
    "  find NAME       the zones the player is in\n"
    "\n"
    "  --socket PATH   the server's control socket\n"
    "  --json          output lines as JSON objects\n"
    "  --timeout S     seconds to wait for the whole answer (default 60; 0 waits on)\n"
    "  --as N          run as operator entry N of the operator table\n"
    "\n"
    "Control bytes in what the server sends (names and texts from zones) are\n"
    "shown as \\x and two hex digits; only the tabs between the columns of\n"
    "zones, players and find stay tabs.\n"
    "\n"
    "Exit status: 0 done; 1 the command matched nothing, the player is in no\n"
    "zone, or the save failed; 2 usage; 3 no server answers on the socket;\n"
    "4 the server refused the request; 5 no whole answer in time.\n";

int usage() {
    std::fputs(kUsage, stderr);
    return kControlUsage;
}

// Why the process at the other end of `fd` is not the server, or empty
// when it is: its user must be root or the owner of the socket's folder.
std::string untrustedPeer(int fd, const std::string& socketPath) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return std::string("cannot tell who answers on ") + socketPath + ": " + std::strerror(errno);
    std::string folder = std::filesystem::path(socketPath).parent_path().string();
    if (folder.empty()) folder = ".";
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0)
        return "cannot examine the folder " + folder + ": " + std::strerror(errno);
    if (peer.uid == 0 || peer.uid == info.st_uid) return {};
    return "the process answering on " + socketPath + " runs as user " + std::to_string(peer.uid) +
           ", neither root nor the owner of " + folder + " (user " + std::to_string(info.st_uid) + ")";
}

void fail(const std::string& text) { std::fprintf(stderr, "tallysv-ctl: %s\n", text.c_str()); }

// One line of standard input without its line feed, for `run -`: a
// command that carries a password never appears among the arguments, where
// every user of the machine may read it. Typed at a terminal it is not
// echoed. None, with the reason, when there is no line or it is too long.
std::optional<std::string> commandFromInput(std::string& error) {
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        std::fputs("command: ", stderr);
        std::fflush(stderr);
    }
    std::string line;
    bool ended = false;
    bool tooLong = false;
    for (;;) {
        char c;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (c == '\n') {
            ended = true;
            break;
        }
        if (line.size() >= kMaxControlRequest) {
            tooLong = true;
            break;
        }
        line.push_back(c);
    }
    if (terminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (tooLong) {
        error = "the command is too long";
        return std::nullopt;
    }
    if (line.empty() && !ended) {
        error = "no command on standard input";
        return std::nullopt;
    }
    return line;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath = "tallysv.sock";
    bool json = false;
    long timeoutSeconds = 60;
    std::optional<int32_t> as;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("tallysv-ctl %s\n", TALLYSV_VERSION);
            return 0;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--socket") {
            if (!value(socketPath) || socketPath.empty()) return usage();
        } else if (arg == "--timeout") {
            char* end = nullptr;
            if (!value(text)) return usage();
            timeoutSeconds = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || timeoutSeconds < 0) return usage();
        } else if (arg == "--as") {
            char* end = nullptr;
            if (!value(text)) return usage();
            long entry = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || entry < 1 || entry > 999999) return usage();
            as = static_cast<int32_t>(entry);
        } else if (arg.size() > 2 && arg.substr(0, 2) == "--") {
            return usage();
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) return usage();

    ControlRequest request;
    request.json = json;
    const std::string& verb = words[0];
    if (verb == "run" && words.size() == 2) {
        request.verb = ControlVerb::Run;
        request.argument = words[1];
        request.operatorEntry = as.value_or(0);
        if (words[1] == "-") {
            std::string error;
            std::optional<std::string> typed = commandFromInput(error);
            if (!typed) {
                fail(error);
                return kControlUsage;
            }
            request.argument = std::move(*typed);
        }
    } else if (verb == "find" && words.size() == 2) {
        request.verb = ControlVerb::Find;
        request.argument = words[1];
    } else if (words.size() == 1 && verb == "status") {
        request.verb = ControlVerb::Status;
    } else if (words.size() == 1 && verb == "save") {
        request.verb = ControlVerb::Save;
    } else if (words.size() == 1 && verb == "reload") {
        request.verb = ControlVerb::Reload;
    } else if (words.size() == 1 && verb == "zones") {
        request.verb = ControlVerb::Zones;
    } else if (words.size() == 1 && verb == "players") {
        request.verb = ControlVerb::Players;
    } else {
        return usage();
    }
    if (as && request.verb != ControlVerb::Run) return usage();
    // The request is checked here as the server checks it, so a mistake is
    // a usage error and not a refusal.
    const std::string line = controlRequestLine(request);
    if (line.size() > kMaxControlRequest) {
        fail("the command is too long");
        return kControlUsage;
    }
    if (StatusOr<ControlRequest> checked = parseControlRequest(std::string_view(line).substr(0, line.size() - 1));
        !checked) {
        fail(checked.reason());
        return kControlUsage;
    }

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        fail("socket path too long: " + socketPath);
        return kControlUsage;
    }
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail(std::string("no socket: ") + std::strerror(errno));
        return kControlNoServer;
    }
    // A server whose queue of connections is full keeps connect waiting:
    // the time limit holds there too.
    if (timeoutSeconds > 0) {
        timeval limit{static_cast<time_t>(timeoutSeconds), 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS) {
            fail("no answer from " + socketPath + " within " + std::to_string(timeoutSeconds) + " s");
            return kControlTimeout;
        }
        fail("no server answers on " + socketPath + ": " + std::strerror(error));
        return kControlNoServer;
    }
    // The request may carry an operator's command: it goes only to the
    // server, which runs as the owner of its socket's folder (or as root).
    // Whoever else managed to put a socket at the path gets nothing.
    if (std::string reason = untrustedPeer(fd, socketPath); !reason.empty()) {
        fail(reason + "; nothing was sent");
        ::close(fd);
        return kControlNoServer;
    }
    // A server with no room for another client says so and closes at once,
    // maybe before the request could be sent: its answer is still there to
    // read, and only a server that answered nothing is taken for none.
    const bool sent = writeAll(fd, line);
    const int sendError = errno;

    // What the server sends holds texts of zones (names, replies): their
    // control bytes are shown escaped, so that none of them reaches the
    // terminal or starts a line of its own. The tabs between the columns of
    // the zone and player lists are the server's and stay.
    const bool columns = !json && (request.verb == ControlVerb::Zones || request.verb == ControlVerb::Players ||
                                   request.verb == ControlVerb::Find);
    const std::string_view columnSeparators = columns ? "\t" : "";

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    ControlAnswerReader reader;
    std::vector<ControlAnswerReader::Line> lines;
    char buffer[8192];
    ControlAnswerReader::State state = ControlAnswerReader::State::Partial;
    bool heard = false;  // any byte of an answer
    while (state == ControlAnswerReader::State::Partial) {
        int wait = -1;
        if (timeoutSeconds > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                fail("no whole answer within " + std::to_string(timeoutSeconds) + " s");
                ::close(fd);
                return kControlTimeout;
            }
            wait = static_cast<int>(std::min<long long>(left, 1000 * 1000));
        }
        pollfd polled{fd, POLLIN, 0};
        int ready = ::poll(&polled, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (!sent && !heard) {
                fail(std::string("cannot send the request: ") + std::strerror(sendError));
                ::close(fd);
                return kControlNoServer;
            }
            fail("the server closed the connection before its whole answer");
            ::close(fd);
            return kControlRefused;
        }
        heard = true;
        state = reader.feed(std::string_view(buffer, static_cast<size_t>(n)), lines);
        for (const auto& out : lines) {
            if (out.error) {
                fail(escapeControlBytes(out.text));
            } else {
                const std::string shown = escapeControlBytes(out.text, columnSeparators);
                std::fwrite(shown.data(), 1, shown.size(), stdout);
                std::fputc('\n', stdout);
            }
        }
        lines.clear();
    }
    ::close(fd);
    std::fflush(stdout);
    if (state == ControlAnswerReader::State::Malformed) {
        fail("the answer is not one of a tallysv server");
        return kControlRefused;
    }
    return reader.status();
}
