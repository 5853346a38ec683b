#include "server/console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace tallysv {

StdinKeys::StdinKeys() {
    terminal_ = isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved_) == 0;
    if (terminal_) {
        termios raw = saved_;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
}

StdinKeys::~StdinKeys() {
    if (terminal_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

int StdinKeys::pollKey() {
    if (ended_) return -1;
    pollfd waiting{STDIN_FILENO, POLLIN, 0};
    int ready = poll(&waiting, 1, 0);
    if (ready <= 0) return -1;
    if (waiting.revents & POLLNVAL) {
        ended_ = true;
        return -1;
    }
    unsigned char key = 0;
    ssize_t got = read(STDIN_FILENO, &key, 1);
    if (got == 1) return key;
    if (got == 0 || (errno != EINTR && errno != EAGAIN)) ended_ = true;
    return -1;
}

}  // namespace tallysv
