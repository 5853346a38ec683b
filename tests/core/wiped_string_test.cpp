// Plain passwords held in WipedString and WipedBytes leave zeros behind:
// when they go, when they are moved from, and when they are wiped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/wiped_string.h"

namespace tallysv {
namespace {

bool allZeroBytes(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    return std::all_of(bytes, bytes + size, [](unsigned char b) { return b == 0; });
}

// The object's own bytes once it has gone: where a short text is kept.
TEST(WipedStringTest, AShortTextIsZeroedWhenItGoes) {
    alignas(WipedString) unsigned char storage[sizeof(WipedString)];
    auto* text = new (storage) WipedString(std::string_view("hunter2"));
    ASSERT_EQ(text->view(), "hunter2");
    text->~WipedString();
    const std::string_view secret = "hunter2";
    EXPECT_EQ(std::search(storage, storage + sizeof storage, secret.begin(), secret.end()), storage + sizeof storage);
}

TEST(WipedStringTest, MovedFromTextsAndWipedBuffersAreZero) {
    struct Case {
        const char* what;
        std::string text;
    };
    const Case cases[] = {{"short", "pw12345"}, {"long", std::string(40, 'p')}};
    for (const Case& c : cases) {
        WipedString from(c.text);
        const char* old = from.data();
        const size_t size = from.size();
        WipedString to(std::move(from));
        EXPECT_EQ(to.view(), c.text) << c.what;
        // A short text was copied out of `from`, whose bytes are zero now; a
        // long one's buffer went with it whole.
        if (old != to.data()) {
            EXPECT_TRUE(allZeroBytes(old, size)) << c.what;
        }
        EXPECT_TRUE(from.empty()) << c.what;

        WipedString assigned("other");
        assigned = std::move(to);
        EXPECT_EQ(assigned.view(), c.text) << c.what;
        EXPECT_TRUE(to.empty()) << c.what;

        const char* kept = assigned.data();
        assigned.wipe();
        EXPECT_TRUE(allZeroBytes(kept, size)) << c.what;
        EXPECT_TRUE(assigned.empty()) << c.what;
    }
}

TEST(WipedStringTest, AStdStringTakenOverIsWipedInItsOldPlace) {
    std::string plain = "pw12345";
    const char* inside = plain.data();
    WipedString taken(std::move(plain));
    EXPECT_EQ(taken.view(), "pw12345");
    EXPECT_TRUE(allZeroBytes(inside, 7));
}

TEST(WipedStringTest, WipeFunctionsZeroTheWholeBuffer) {
    std::string text(64, 's');
    text.resize(3);  // what lies past the length is wiped too
    const char* data = text.data();
    wipeString(text);
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(allZeroBytes(data, 64));

    std::vector<uint8_t> bytes(48, 0xAB);
    const uint8_t* held = bytes.data();
    wipeBytes(bytes);
    EXPECT_TRUE(bytes.empty());
    EXPECT_TRUE(allZeroBytes(held, 48));
}

// A message kept for a login moves without a copy; a copy is its own.
TEST(WipedStringTest, WipedBytesMoveTheirBufferWhole) {
    const uint8_t message[] = {1, 2, 3, 4};
    WipedBytes kept(std::begin(message), std::end(message));
    const uint8_t* data = kept.bytes.data();
    WipedBytes copy = kept;
    EXPECT_NE(copy.bytes.data(), data);
    WipedBytes moved = std::move(kept);
    EXPECT_EQ(moved.bytes.data(), data);
    EXPECT_TRUE(kept.bytes.empty());
    EXPECT_EQ(copy.bytes, moved.bytes);
}

}  // namespace
}  // namespace tallysv
