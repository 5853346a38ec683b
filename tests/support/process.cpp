#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

namespace tallysv::testing {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& directory)
    : ChildProcess(program, args, directory, std::string()) {}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& directory, const std::string& outputFile)
    : outputFile_(outputFile) {
    // Close-on-exec, so that a child started later does not hold the pipes
    // of an earlier one open (its input would then never end).
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (!outputFile.empty()) {
        out[0] = -1;
        out[1] = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } else if (pipe2(out, O_CLOEXEC) != 0) {
        out[1] = -1;
    }
    if (out[1] < 0) {
        close(in[0]);
        close(in[1]);
        throw std::runtime_error(outputFile.empty() ? "pipe failed" : "cannot write " + outputFile);
    }
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    if (!outputFile.empty()) return;
    outputFd_ = out[0];
    reader_ = std::thread([this] {
        char buffer[4096];
        for (;;) {
            ssize_t got = read(outputFd_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            std::lock_guard<std::mutex> guard(mutex_);
            if (got <= 0) {
                outputEnded_ = true;
                return;
            }
            output_.append(buffer, static_cast<size_t>(got));
        }
    });
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        kill(pid_, SIGKILL);
        wait(std::chrono::seconds(5));
    }
    closeInput();
    if (reader_.joinable()) reader_.join();
    if (outputFd_ >= 0) close(outputFd_);
}

void ChildProcess::send(const std::string& bytes) {
    if (input_ < 0) return;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = write(input_, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return;
        done += static_cast<size_t>(wrote);
    }
}

void ChildProcess::closeInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
}

void ChildProcess::signal(int number) { kill(pid_, number); }

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (output().find(text) != std::string::npos) return true;
        if (!outputFile_.empty() ? !running() : outputEnded()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    if (status_) return status_;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            int raw = 0;
            waitpid(pid_, &raw, 0);
            status_ = 128 + SIGKILL;
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reader_.joinable()) reader_.join();
    return status_;
}

bool ChildProcess::running() {
    if (status_) return false;
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
}

std::string ChildProcess::output() const {
    if (!outputFile_.empty()) {
        std::ifstream file(outputFile_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    }
    std::lock_guard<std::mutex> guard(mutex_);
    return output_;
}

bool ChildProcess::outputEnded() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return outputEnded_;
}

namespace {

int freePort(int type) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("no socket for a free port");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("no free port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

int freeUdpPort() { return freePort(SOCK_DGRAM); }
int freeTcpPort() { return freePort(SOCK_STREAM); }

std::string onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        std::string candidate = folder + "/" + name;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

}  // namespace tallysv::testing
