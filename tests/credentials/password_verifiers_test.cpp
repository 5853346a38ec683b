#include <gtest/gtest.h>

#include <string>

#include "credentials/password_store.h"
#include "credentials/password_verifiers.h"

namespace tallysv::testing {
namespace {

using Answer = PasswordVerifiers::Answer;

// A field as a hash makes one: random, and unlike any other.
PasswordField someField(uint32_t n) {
    PasswordField field{};
    for (size_t i = 0; i < 16; ++i) field[i] = static_cast<uint8_t>((n >> (8 * (i % 4))) + i * 37);
    field[31] = kPasswordHashVersion;
    return field;
}

TEST(PasswordVerifiers, AnswerForTheFieldTheyWereMadeFor) {
    PasswordVerifiers verifiers;
    const PasswordField field = someField(1);
    EXPECT_EQ(verifiers.verify(field, "secret"), Answer::Unknown);
    verifiers.remember(field, "secret", 100);
    EXPECT_EQ(verifiers.verify(field, "secret"), Answer::Right);
    EXPECT_EQ(verifiers.verify(field, "Secret"), Answer::Wrong);
    EXPECT_EQ(verifiers.verify(field, ""), Answer::Wrong);
    // Cut as the stored forms cut: at a NUL and to 31 characters.
    EXPECT_EQ(verifiers.verify(field, std::string("secret\0tail", 11)), Answer::Right);
    const std::string longer(40, 'x');
    verifiers.remember(someField(2), longer, 100);
    EXPECT_EQ(verifiers.verify(someField(2), longer.substr(0, 31) + "yyy"), Answer::Right);
    EXPECT_EQ(verifiers.verify(someField(3), "secret"), Answer::Unknown) << "another field";
    // Settled without a hash: a wrong password always; a right one when the
    // field needs no new hash.
    EXPECT_TRUE(verifiers.settles(field, "wrong", true));
    EXPECT_TRUE(verifiers.settles(field, "secret", true));
    PasswordField wrapped = field;
    wrapped[31] = kPasswordWrappedVersion;
    verifiers.remember(wrapped, "secret", 100);
    EXPECT_FALSE(verifiers.settles(wrapped, "secret", true)) << "a wrapped field is hashed again at a right login";
    EXPECT_TRUE(verifiers.settles(wrapped, "secret", false));
    verifiers.clear();
    EXPECT_EQ(verifiers.verify(field, "secret"), Answer::Unknown);
}

// Memory grows with the entries up to the capacity given, and past it old
// entries make room: about 24 to 48 bytes an entry whatever comes.
TEST(PasswordVerifiers, MemoryIsBoundedByTheCapacity) {
    PasswordVerifiers verifiers;
    constexpr size_t kAccounts = 20000;
    for (uint32_t n = 0; n < kAccounts; ++n) verifiers.remember(someField(n), "pw" + std::to_string(n), kAccounts);
    EXPECT_LE(verifiers.memory(), kAccounts * 48 + 64);
    EXPECT_GE(verifiers.size(), kAccounts * 3 / 4);
    size_t answered = 0;
    for (uint32_t n = 0; n < kAccounts; ++n) {
        Answer answer = verifiers.verify(someField(n), "pw" + std::to_string(n));
        ASSERT_NE(answer, Answer::Wrong) << n;
        answered += answer == Answer::Right;
    }
    EXPECT_EQ(answered, verifiers.size());
    const size_t full = verifiers.memory();
    for (uint32_t n = kAccounts; n < 3 * kAccounts; ++n) verifiers.remember(someField(n), "pw", kAccounts);
    EXPECT_EQ(verifiers.memory(), full);
}

}  // namespace
}  // namespace tallysv::testing
