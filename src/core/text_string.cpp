#include "core/text_string.h"

#include <cstring>

namespace tallysv {

TextString& TextString::assign(const char* text) {
    text_.assign(text ? text : "");
    return *this;
}

TextString& TextString::assign(int32_t number) {
    text_ = std::to_string(number);
    return *this;
}

TextString& TextString::append(const char* text) {
    if (text) text_.append(text);
    return *this;
}

TextString& TextString::append(int32_t number) {
    text_.append(std::to_string(number));
    return *this;
}

TextString& TextString::append(std::string_view text) {
    size_t nul = text.find('\0');
    text_.append(text.substr(0, nul));
    return *this;
}

}  // namespace tallysv
