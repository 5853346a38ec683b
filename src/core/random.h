#pragma once
#include <cstdint>

namespace tallysv {

// The server's lagged-Fibonacci style generator (drives ?coin).
struct RandomGenerator {
    int i = 0;
    int j = 7;
    uint32_t word[11] = {};
};

void randomSeed(RandomGenerator& generator, uint32_t seed);
uint32_t randomNext(RandomGenerator& generator);

}  // namespace tallysv
