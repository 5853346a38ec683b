#include "core/address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

namespace tallysv {

bool addressInRange(const IPv4Address& address, const IPv4Address& low, const IPv4Address& high) {
    for (int i = 0; i < 4; ++i) {
        if (address[i] < low[i] || address[i] > high[i]) return false;
    }
    return true;
}

bool parseAddressRange(const char* text, int limit, IPv4Address& low, IPv4Address& high, int& position) {
    bool firstPart = true;
    int octet = 0;
    int digitCount = 0;
    int value = 0;
    auto takeDigits = [&]() {
        int v = value;
        digitCount = 0;
        value = 0;
        return v;
    };
    for (int i = 0; i < limit; ++i) {
        char c = text[i];
        if (c == '\0') return false;
        if (c == ' ') {
            if (octet != 3) return false;
            int v = takeDigits();
            if (v > 255) return false;
            if (firstPart) {
                low[3] = static_cast<uint8_t>(v);
                high = low;
            } else {
                high[3] = static_cast<uint8_t>(v);
            }
            position = i + 1;
            return true;
        }
        if (c == '-') {
            if (octet != 3) return false;
            int v = takeDigits();
            if (v > 255) return false;
            low[3] = static_cast<uint8_t>(v);
            firstPart = false;
            octet = 0;
            continue;
        }
        if (c == '.') {
            if (octet == 3) return false;
            int v = takeDigits();
            if (v > 255) return false;
            (firstPart ? low : high)[octet] = static_cast<uint8_t>(v);
            ++octet;
            continue;
        }
        if (c == '*') {
            high = low;
            position = i;
            for (int k = octet; k < 4; ++k) {
                low[k] = 0;
                high[k] = 255;
                position += 2;
            }
            return position < limit;
        }
        if (digitCount == 3 || c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        ++digitCount;
    }
    return false;
}

StatusOr<IPv4Address> resolveHostAddress(const char* name) {
    IPv4Address result{};
    in_addr parsed{};
    if (inet_pton(AF_INET, name, &parsed) == 1) {
        std::memcpy(result.data(), &parsed.s_addr, 4);
        return result;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    const int error = getaddrinfo(name, nullptr, &hints, &found);
    if (error != 0 || !found) {
        if (found) freeaddrinfo(found);
        return Status::failure(std::string("cannot resolve ") + name + ": " +
                               (error != 0 ? gai_strerror(error) : "no address"));
    }
    const auto* sin = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    std::memcpy(result.data(), &sin->sin_addr.s_addr, 4);
    freeaddrinfo(found);
    return result;
}

std::string addressText(const IPv4Address& address) {
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." + std::to_string(address[2]) + "." +
           std::to_string(address[3]);
}

}  // namespace tallysv
