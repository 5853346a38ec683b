#include "credentials/password_store.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>
#include <string>

namespace tallysv {
namespace {

// The tables run at libsodium's smallest Argon2id cost; one test below
// checks the real parameters and the layout of the field.
class PasswordStoreTest : public ::testing::Test {
protected:
    void SetUp() override { usePasswordTestCost(true); }
    void TearDown() override { usePasswordTestCost(false); }
};

PasswordField wrapped(std::string_view plain) { return wrapScrambledPassword(scrambledPassword(plain)); }

TEST_F(PasswordStoreTest, FormsAndTheirChecks) {
    const PasswordField scrambled = scrambledPassword("secret");
    const PasswordField hashed = makePasswordField("secret", true);
    const PasswordField wrap = wrapped("secret");
    PasswordField unknown = hashed;
    unknown[31] = 9;  // a version this server does not know
    struct Case {
        const char* name;
        PasswordField stored;
        const char* presented;
        bool hashing;
        bool matches;
        bool upgraded;
    };
    const Case cases[] = {
        {"scrambled, hashing off", scrambled, "secret", false, true, false},
        {"scrambled, hashing on", scrambled, "secret", true, true, true},
        {"scrambled, wrong", scrambled, "secreT", true, false, false},
        {"scrambled, empty", scrambled, "", true, false, false},
        {"hashed, hashing off", hashed, "secret", false, true, false},
        {"hashed, hashing on", hashed, "secret", true, true, false},
        {"hashed, wrong", hashed, "secret ", true, false, false},
        {"hashed, empty", hashed, "", true, false, false},
        {"wrapped, hashing off", wrap, "secret", false, true, false},
        {"wrapped, hashing on", wrap, "secret", true, true, true},
        {"wrapped, wrong", wrap, "secrets", true, false, false},
        {"unknown version", unknown, "secret", true, false, false},
        {"empty field, empty password", PasswordField{}, "", true, true, false},
        {"empty field, a password", PasswordField{}, "x", true, false, false},
    };
    for (const Case& c : cases) {
        PasswordCheck check = checkPassword(c.stored, c.presented, c.hashing);
        EXPECT_EQ(check.matches, c.matches) << c.name;
        ASSERT_EQ(check.upgrade.has_value(), c.upgraded) << c.name;
        if (check.upgrade) {
            // The upgrade is a direct hash of the password, not a copy.
            EXPECT_EQ((*check.upgrade)[31], kPasswordHashVersion) << c.name;
            EXPECT_NE(*check.upgrade, c.stored) << c.name;
            PasswordCheck again = checkPassword(*check.upgrade, c.presented, true);
            EXPECT_TRUE(again.matches) << c.name;
            EXPECT_FALSE(again.upgrade) << c.name;
        }
        EXPECT_EQ(passwordWorkIsSlow(c.stored, c.hashing), c.hashing || isHashedPassword(c.stored)) << c.name;
    }
}

TEST_F(PasswordStoreTest, FieldsAndTheirForms) {
    const std::string longest(31, 'p');
    // Off, the field is the scramble exactly as every older server writes it.
    EXPECT_EQ(makePasswordField("secret", false), scrambledPassword("secret"));
    EXPECT_EQ(makePasswordField(longest + "tail", false), scrambledPassword(longest));
    EXPECT_FALSE(isHashedPassword(scrambledPassword(longest)));
    // An empty password stays the all-zero field that closes an entry.
    EXPECT_EQ(makePasswordField("", true), PasswordField{});
    EXPECT_EQ(wrapScrambledPassword(PasswordField{}), PasswordField{});

    PasswordField a = makePasswordField("secret", true);
    PasswordField b = makePasswordField("secret", true);
    EXPECT_TRUE(isHashedPassword(a));
    EXPECT_EQ(a[31], kPasswordHashVersion);
    EXPECT_NE(a, b);  // salted
    EXPECT_EQ(wrapped("secret")[31], kPasswordWrappedVersion);
    EXPECT_EQ(wrapScrambledPassword(a), a);  // a hash is never wrapped again

    // The password is cut to 31 characters and at a NUL, as the scramble is.
    PasswordField cut = makePasswordField(longest + "tail", true);
    EXPECT_TRUE(checkPassword(cut, longest, true).matches);
    EXPECT_TRUE(checkPassword(cut, longest + "other", true).matches);
    EXPECT_FALSE(checkPassword(cut, longest.substr(1), true).matches);
    EXPECT_TRUE(checkPassword(makePasswordField(std::string("ab\0cd", 5), true), "ab", true).matches);
    EXPECT_TRUE(checkPassword(wrapped(longest), longest + "x", false).matches);
}

TEST_F(PasswordStoreTest, FileFieldDecoder) {
    struct Case {
        const char* name;
        std::string bytes;  // 32 bytes as the record holds them
        std::string field;  // what the server keeps
    };
    std::string hash(32, 'h');
    hash[31] = static_cast<char>(kPasswordHashVersion);
    std::string future = hash;
    future[31] = static_cast<char>(kPasswordLastVersion);
    std::string fullText(32, 'x');
    std::string zeroInside = hash;
    zeroInside[3] = 0;
    const Case cases[] = {
        {"scrambled", std::string("abc") + std::string(29, '\0'), std::string("abc") + std::string(29, '\0')},
        {"bytes after the NUL are dropped", std::string("abc\0def", 7) + std::string(25, '\0'),
         std::string("abc") + std::string(29, '\0')},
        {"32 text bytes keep 31", fullText, std::string(31, 'x') + '\0'},
        {"a hash is kept whole", hash, hash},
        {"a hash may hold a 0 byte", zeroInside, zeroInside},
        {"versions up to the last kept", future, future},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.bytes.size(), 32u) << c.name;
        PasswordField field = passwordFieldFromFile(reinterpret_cast<const uint8_t*>(c.bytes.data()));
        EXPECT_EQ(std::string(field.begin(), field.end()), c.field) << c.name;
    }
}

TEST_F(PasswordStoreTest, StrayHashFields) {
    struct Case {
        const char* name;
        std::string bytes;
        StrayHashField expected;
    };
    auto withLast = [](std::string front, char last) {
        front.resize(31, '\0');
        return front + last;
    };
    const Case cases[] = {
        {"scrambled", withLast("abc", 0), StrayHashField::None},
        {"empty", std::string(32, '\0'), StrayHashField::None},
        {"not a version", withLast("abc", 16), StrayHashField::None},
        {"unknown version", withLast(std::string(31, 'h'), 3), StrayHashField::UnknownVersion},
        {"last version kept", withLast("abc", 15), StrayHashField::UnknownVersion},
        {"text and a stray 1", withLast("abc", 1), StrayHashField::TextShaped},
        {"empty text and a stray 2", withLast("", 2), StrayHashField::TextShaped},
        {"23 characters", withLast(std::string(23, 't'), 1), StrayHashField::TextShaped},
        {"24 characters: as a hash may be", withLast(std::string(24, 't'), 1), StrayHashField::None},
        {"bytes after the text's end", withLast(std::string("abc\0\0\0\0\0\0\0\0\0x", 13), 1),
         StrayHashField::None},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.bytes.size(), 32u) << c.name;
        EXPECT_EQ(strayHashField(reinterpret_cast<const uint8_t*>(c.bytes.data())), c.expected) << c.name;
    }
    // What this server writes is never reported, a 0 byte inside included.
    for (int i = 0; i < 300; ++i) {
        PasswordField made = i % 2 ? makePasswordField("pw" + std::to_string(i), true)
                                   : wrapScrambledPassword(scrambledPassword("pw" + std::to_string(i)));
        made[static_cast<size_t>(i % 31)] = 0;
        EXPECT_EQ(strayHashField(made.data()), StrayHashField::None) << i;
    }
}

// The field's layout with the real parameters: salt, the first 15 bytes of
// Argon2id13 at 19 MiB and 2 passes, version. A server of any later version
// must read exactly this.
TEST(PasswordStoreFormat, VersionOneLayoutAndParameters) {
    usePasswordTestCost(false);
    for (uint8_t version : {kPasswordHashVersion, kPasswordWrappedVersion}) {
        PasswordField field = version == kPasswordHashVersion ? makePasswordField("pass word", true)
                                                              : wrapScrambledPassword(scrambledPassword("pass word"));
        ASSERT_EQ(field[31], version);
        PasswordField scrambled = scrambledPassword("pass word");
        std::string input = version == kPasswordHashVersion
                                ? std::string("pass word")
                                : std::string(reinterpret_cast<const char*>(scrambled.data()));
        uint8_t digest[16];
        ASSERT_EQ(crypto_pwhash(digest, sizeof digest, input.data(), input.size(), field.data(), 2, 19u << 20,
                                crypto_pwhash_ALG_ARGON2ID13),
                  0);
        EXPECT_EQ(std::memcmp(digest, field.data() + 16, 15), 0) << int(version);
    }
}

}  // namespace
}  // namespace tallysv
