#pragma once
#include <string.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallysv {

// Zeroes memory in a way the compiler may not leave out because nothing
// reads it afterwards: how a plain password is dropped.
inline void wipeBytes(void* data, size_t size) {
    if (size) ::explicit_bzero(data, size);
}

// Zeroes a string's whole buffer (not only its length: a shorter text may
// have been written over a longer one) and empties it.
inline void wipeString(std::string& text) {
    wipeBytes(text.data(), text.capacity());
    text.clear();
}

inline void wipeBytes(std::vector<uint8_t>& bytes) {
    wipeBytes(bytes.data(), bytes.capacity());
    bytes.clear();
}

// A text that holds a plain password: zeroed when it goes, and when it is
// moved from (a short text lives inside the object itself, so a move copies
// it and leaves the old bytes behind). Converts to and from the standard
// strings, so that it stands wherever a password was a std::string.
class WipedString {
public:
    WipedString() = default;
    WipedString(std::string_view text) : text_(text) {}
    WipedString(const std::string& text) : text_(text) {}
    WipedString(const char* text) : text_(text) {}
    // Takes the text's buffer; what the old object kept inline is wiped.
    WipedString(std::string&& text) : text_(std::move(text)) { wipeString(text); }
    WipedString(const WipedString& other) : text_(other.text_) {}
    WipedString(WipedString&& other) noexcept : text_(std::move(other.text_)) { wipeString(other.text_); }
    WipedString& operator=(const WipedString& other) {
        if (this != &other) {
            wipeString(text_);
            text_ = other.text_;
        }
        return *this;
    }
    WipedString& operator=(WipedString&& other) noexcept {
        if (this != &other) {
            wipeString(text_);
            text_ = std::move(other.text_);
            wipeString(other.text_);
        }
        return *this;
    }
    ~WipedString() { wipeString(text_); }

    operator std::string_view() const { return text_; }
    std::string_view view() const { return text_; }
    const std::string& str() const { return text_; }
    const char* data() const { return text_.data(); }
    size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }
    void wipe() { wipeString(text_); }

    friend bool operator==(const WipedString& a, const WipedString& b) { return a.text_ == b.text_; }
    friend bool operator==(const WipedString& a, std::string_view b) { return std::string_view(a.text_) == b; }

private:
    std::string text_;
};

// Bytes that hold a plain password (a message kept to be handled again),
// zeroed when they go. A move hands the buffer over whole.
struct WipedBytes {
    std::vector<uint8_t> bytes;

    WipedBytes() = default;
    template <typename Iterator>
    WipedBytes(Iterator first, Iterator last) : bytes(first, last) {}
    WipedBytes(const WipedBytes&) = default;
    WipedBytes(WipedBytes&&) noexcept = default;
    WipedBytes& operator=(const WipedBytes& other) {
        if (this != &other) {
            wipeBytes(bytes);
            bytes = other.bytes;
        }
        return *this;
    }
    WipedBytes& operator=(WipedBytes&& other) noexcept {
        if (this != &other) {
            wipeBytes(bytes);
            bytes = std::move(other.bytes);
        }
        return *this;
    }
    ~WipedBytes() { wipeBytes(bytes); }
};

}  // namespace tallysv
