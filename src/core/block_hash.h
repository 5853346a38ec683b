#pragma once
#include <cstdint>

namespace tallysv {

constexpr int kHashedBlockSize = 608;

// The ELF symbol-table hash over exactly 608 bytes, zero bytes included.
uint32_t blockHash(const uint8_t* block);

}  // namespace tallysv
