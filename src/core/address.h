#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "core/status.h"

namespace tallysv {

// An IPv4 address as received: four octets, first octet first.
using IPv4Address = std::array<uint8_t, 4>;

// True when every octet of the address lies between the octets of low and
// high at the same place, inclusive, octet by octet.
bool addressInRange(const IPv4Address& address, const IPv4Address& low, const IPv4Address& high);

// Reads "a.b.c.d ", "a.b.c.d-e.f.g.h " or a wildcard "a.b.*.*" from at most
// `limit` characters of text. On success low and high hold the range and
// position the index of the first character after the address text.
bool parseAddressRange(const char* text, int limit, IPv4Address& low, IPv4Address& high, int& position);

// The address of a dotted-decimal text, or else the first IPv4 address a
// host-name lookup gives; a failure when the lookup finds none.
StatusOr<IPv4Address> resolveHostAddress(const char* name);

// "a.b.c.d"
std::string addressText(const IPv4Address& address);

}  // namespace tallysv
