#include <sys/prctl.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "core/clock.h"
#include "server/console.h"
#include "core/log.h"
#include "server/server.h"
#include "db/database.h"

namespace {

std::atomic<bool> stopRequested{false};

void requestStop(int) { stopRequested.store(true); }
std::atomic<bool> reloadRequested{false};

void requestReload(int) { reloadRequested.store(true); }

constexpr const char* kUsage = "usage: tallysv [--help | --version]\n";
constexpr const char* kHelp =
    "usage: tallysv [--help | --version]\n"
    "\n"
    "Billing server for a network of game zones. Started without arguments in\n"
    "the folder that holds TALLYSV.INI and the .dat files; it listens on the\n"
    "configured UDP port until a quit key (E, Q or X), SIGINT or SIGTERM;\n"
    "SIGHUP re-reads TALLYSV.INI. tallysv-ctl acts on it through its control socket.\n"
    "Console keys: C chat list, S squad list, L host list, E/Q/X quit.\n"
    "Settings, files, signals and service use: see tallysv(8).\n";

}  // namespace

int main(int argc, char** argv) {
    // Before anything secret is read: a process that cannot be dumped keeps
    // its memory (passwords typed at logins, the settings' passwords) and its
    // environment from a debugger, a core file and /proc of other processes
    // running as the same user.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

    if (argc > 1) {
        if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
            std::printf("tallysv %s\n", tallysv::kServerVersion);
            return 0;
        }
        std::fputs(kUsage, stderr);
        return 2;
    }

    // Nothing the server makes is for other users to read, whatever umask
    // it was started with (the settings may widen it for its group).
    ::umask(077);

    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // SIGHUP re-reads the settings, as ?read does (the unit's reload).
    struct sigaction reload {};
    reload.sa_handler = requestReload;
    sigemptyset(&reload.sa_mask);
    sigaction(SIGHUP, &reload, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    tallysv::SystemClock clock;
    tallysv::StdoutLog log;
    tallysv::StdinKeys keys;
    tallysv::Settings settings;
    tallysv::Database database(settings, clock, log);
    tallysv::Server server(
        settings, database, clock, log, keys,
        [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }, &stopRequested);
    server.setReloadRequest(&reloadRequested);
    return server.run();
}
