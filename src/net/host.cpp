#include "net/host.h"

#include <cstring>

namespace tallysv {

std::string Host::zoneNameText() const {
    size_t n = strnlen(zoneName.data(), zoneName.size());
    return std::string(zoneName.data(), n);
}

}  // namespace tallysv
