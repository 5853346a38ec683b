#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tallysv::testing {

// A whois server on loopback (a port the system picks) for tests of the
// whois client. Each connection has its query line read and recorded, then
// gets the writes of the reply one after the other, with a pause between
// two writes so that TCP delivers them apart, and is closed. A silent
// server accepts and reads but never answers nor closes until it goes. An
// endless reply, when set, follows the writes over and over and is never
// closed: it goes on until the client hangs up or the server goes.
class FakeWhoisServer {
public:
    explicit FakeWhoisServer(std::vector<std::string> writes, bool silent = false);
    ~FakeWhoisServer();
    FakeWhoisServer(const FakeWhoisServer&) = delete;
    FakeWhoisServer& operator=(const FakeWhoisServer&) = delete;

    int port() const { return port_; }
    // "127.0.0.1:port", as the WhoisServer setting names it.
    std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
    // Replaces the reply for the connections to come.
    void setReply(std::vector<std::string> writes);
    // Sends `piece` again and again after the writes (empty: none).
    void setEndless(std::string piece);
    // The query lines received so far, without their line feeds.
    std::vector<std::string> queries() const;

private:
    void serve();
    void answer(int fd);
    void stream(int fd, const std::string& piece);

    std::vector<std::string> writes_;
    bool silent_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::vector<int> held_;
    mutable std::mutex mutex_;
    std::vector<std::string> queries_;
    std::string endless_;
    std::thread thread_;
};

}  // namespace tallysv::testing
