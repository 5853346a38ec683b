#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace tallysv {

// An owned, length-counted text that is always NUL-terminated. Replies and
// notices are composed with it: assign, then a series of appends.
class TextString {
public:
    TextString() = default;
    explicit TextString(const char* text) { assign(text); }

    TextString& assign(const char* text);
    TextString& assign(int32_t number);
    TextString& append(const char* text);
    TextString& append(int32_t number);
    // Texts from fixed-size fields: copied up to the first NUL or the end.
    TextString& append(std::string_view text);

    const char* bytes() const { return text_.c_str(); }
    int32_t length() const { return static_cast<int32_t>(text_.size()); }
    std::string_view view() const { return text_; }

private:
    std::string text_;
};

}  // namespace tallysv
