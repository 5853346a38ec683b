#include "core/random.h"

namespace tallysv {

void randomSeed(RandomGenerator& generator, uint32_t seed) {
    if (seed == 0) seed = 0xFFFFFFFFu;
    for (uint32_t& word : generator.word) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        word = seed;
    }
    generator.i = 0;
    generator.j = 7;
    for (int n = 0; n < 9; ++n) randomNext(generator);
}

uint32_t randomNext(RandomGenerator& generator) {
    uint32_t sum = generator.word[generator.i] + generator.word[generator.j];
    uint32_t result = (sum << 13) | (sum >> 19);
    generator.word[generator.i] = result;
    if (--generator.i < 0) generator.i = 10;
    if (--generator.j < 0) generator.j = 10;
    return result;
}

}  // namespace tallysv
