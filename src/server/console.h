#pragma once
#include <termios.h>

#include <deque>

namespace tallysv {

// Where single console key presses come from.
class KeySource {
public:
    virtual ~KeySource() = default;
    // The next waiting key, or -1 when none is waiting. Never blocks.
    virtual int pollKey() = 0;
};

// Keys from standard input: raw and unechoed on a terminal (restored on
// destruction), byte by byte from a pipe or file. End of input stops the
// reading of keys; it does not stop the server.
class StdinKeys final : public KeySource {
public:
    StdinKeys();
    ~StdinKeys() override;
    StdinKeys(const StdinKeys&) = delete;
    StdinKeys& operator=(const StdinKeys&) = delete;
    int pollKey() override;

private:
    bool terminal_ = false;
    bool ended_ = false;
    termios saved_{};
};

// Keys given by a test.
class ScriptedKeys final : public KeySource {
public:
    void press(char key) { keys_.push_back(static_cast<unsigned char>(key)); }
    int pollKey() override {
        if (keys_.empty()) return -1;
        int key = keys_.front();
        keys_.pop_front();
        return key;
    }

private:
    std::deque<int> keys_;
};

}  // namespace tallysv
