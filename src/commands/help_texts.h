#pragma once
#include <span>

namespace tallysv {

// One topic of ?help: the word compared with matchCommand, the characters
// compared, and the lines sent.
struct HelpTopic {
    const char* word;
    int bytes;
    std::span<const char* const> lines;
};

// The topics in the order they are tried; the first match wins.
std::span<const HelpTopic> helpTopics();

}  // namespace tallysv
