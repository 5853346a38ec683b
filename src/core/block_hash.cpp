#include "core/block_hash.h"

namespace tallysv {

uint32_t blockHash(const uint8_t* block) {
    uint32_t h = 0;
    for (int i = 0; i < kHashedBlockSize; ++i) {
        h = (h << 4) + block[i];
        uint32_t g = h & 0xF0000000u;
        if (g != 0) h ^= g >> 24;
        h &= ~g;
    }
    return h;
}

}  // namespace tallysv
