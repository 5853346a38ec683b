// The cost of the stored password forms: one Argon2id hash at the stored
// parameters (what a login with PasswordHashing on pays), against the
// scramble of the older form.
#include <benchmark/benchmark.h>

#include "credentials/password_store.h"

namespace tallysv {
namespace {

void BM_ScrambledCheck(benchmark::State& state) {
    const PasswordField stored = makePasswordField("a player's password", false);
    for (auto _ : state) benchmark::DoNotOptimize(checkPassword(stored, "a player's password", false));
}
BENCHMARK(BM_ScrambledCheck);

void BM_HashedCheck(benchmark::State& state) {
    const PasswordField stored = makePasswordField("a player's password", true);
    for (auto _ : state) benchmark::DoNotOptimize(checkPassword(stored, "a player's password", true));
}
BENCHMARK(BM_HashedCheck)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// A legacy field on its first correct login: the check is the scramble, the
// upgrade one hash.
void BM_LegacyRehash(benchmark::State& state) {
    const PasswordField stored = makePasswordField("a player's password", false);
    for (auto _ : state) benchmark::DoNotOptimize(checkPassword(stored, "a player's password", true));
}
BENCHMARK(BM_LegacyRehash)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace tallysv
