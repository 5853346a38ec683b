#pragma once
#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tallysv::testing {

// A child process with a pipe to its standard input and its standard
// output (and error) collected, for end-to-end tests of the binaries and
// for the load generators.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& directory);
    // With its output written to the file `outputFile` instead (made or
    // emptied; a path from here, not from `directory`): a child that
    // prints much, such as a server under load, then never waits for a
    // reader.
    ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& directory,
                 const std::string& outputFile);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void send(const std::string& bytes);
    void closeInput();
    void signal(int number);
    // Waits until the output holds `text`; false on time-out or exit.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // The exit status, or no value when the child ran past the limit (it
    // is then killed). A child ended by a signal gives 128 + the signal.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::string output() const;  // so far
    // Whether the child still runs (its exit status is kept once it ended).
    bool running();
    pid_t pid() const { return pid_; }

private:
    bool outputEnded() const;

    pid_t pid_ = -1;
    int input_ = -1;
    int outputFd_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::string output_;
    std::string outputFile_;
    bool outputEnded_ = false;
    std::optional<int> status_;
};

// A UDP (or TCP) port on loopback that nothing is bound to right now.
int freeUdpPort();
int freeTcpPort();

// The path of a program found on PATH, or empty.
std::string onPath(const std::string& name);

}  // namespace tallysv::testing
