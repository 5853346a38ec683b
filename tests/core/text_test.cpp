#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/fields.h"
#include "core/text.h"
#include "core/text_string.h"

using namespace tallysv;

TEST(TextString, ComposesTextAndSignedNumbers) {
    TextString text;
    EXPECT_EQ(text.length(), 0);
    EXPECT_STREQ(text.bytes(), "");
    text.assign("(").append(-42).append(") - Disconnected.");
    EXPECT_STREQ(text.bytes(), "(-42) - Disconnected.");
    EXPECT_EQ(text.length(), 21);
    text.assign(INT32_MIN);
    EXPECT_STREQ(text.bytes(), "-2147483648");
    text.append(std::string_view("field\0rest", 10));
    EXPECT_STREQ(text.bytes(), "-2147483648field");
}

TEST(Fields, LittleEndianUnalignedRoundTrip) {
    uint8_t bytes[11] = {};
    writeInt32(bytes, 1, -2);
    writeUInt16(bytes, 5, 0xBEEF);
    writeInt32(bytes, 7, 0x01020304);
    EXPECT_EQ(bytes[1], 0xFE);
    EXPECT_EQ(bytes[4], 0xFF);
    EXPECT_EQ(bytes[5], 0xEF);
    EXPECT_EQ(bytes[7], 0x04);
    EXPECT_EQ(readInt32(bytes, 1), -2);
    EXPECT_EQ(readUInt16(bytes, 5), 0xBEEF);
    EXPECT_EQ(readInt16(bytes, 5), static_cast<int16_t>(0xBEEF));
    EXPECT_EQ(readInt32(bytes, 7), 0x01020304);
}

TEST(Fields, TextFieldsAreCutAndZeroFilled) {
    uint8_t field[8];
    std::memset(field, 0xAA, sizeof field);
    writeFieldText(field, 0, 8, "abcdefghij");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(field)), "abcdefg");
    writeFieldText(field, 0, 8, "ab");
    for (int i = 2; i < 8; ++i) EXPECT_EQ(field[i], 0) << i;
    const uint8_t noNul[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(fieldText(noNul, 0, 4), "wxyz");
}

struct MatchCase {
    const char* a;
    const char* b;
    int n;
    bool match;
};

TEST(MatchCommand, ComparesAFixedPrefix) {
    const MatchCase cases[] = {
        {"?coinx", "?coin", 5, true},   {"?coi", "?coin", 5, false},  {"abc", "abc", 10, true},
        {"?Coin", "?coin", 5, false},   {"abcd", "abce", 0, false},   {"abcd", "abcd", -1, true},
        {"?notifyzone", "?notifyz", 8, true}, {"", "", 3, true},
    };
    for (const auto& c : cases) EXPECT_EQ(matchCommand(c.a, c.b, c.n), c.match) << c.a << " " << c.b << " " << c.n;
}

TEST(SplitAtColon, FindsTheFirstColonWithin31Characters) {
    using namespace std::string_view_literals;
    std::optional<ColonSplit> split = splitAtColon("Alice:hi");
    ASSERT_TRUE(split);
    EXPECT_EQ(split->name, "Alice");
    EXPECT_EQ(split->rest, "hi");
    EXPECT_EQ(splitAtColon("Alice:hi\0more"sv)->rest, "hi");  // the rest ends at a NUL

    std::string late(31, 'a');
    late += ":x";
    EXPECT_FALSE(splitAtColon(late));
    std::string edge(30, 'a');
    edge += ":x";
    ASSERT_TRUE(splitAtColon(edge));
    EXPECT_EQ(splitAtColon(edge)->name.size(), 30u);
    EXPECT_FALSE(splitAtColon("Alice"));              // the text ends first
    EXPECT_FALSE(splitAtColon("Alice\0:hi"sv));      // a NUL first
}

TEST(NormalizeName, DropsAndCollapsesBlanks) {
    struct Case {
        const char* source;
        int limit;
        const char* expected;
    } cases[] = {
        {"  Two   Words  ", 100, "Two Words"},
        {"Plain", 100, "Plain"},
        {"     ", 100, ""},
        {"Cut Here", 5, "Cut H"},
        {"Tab\tStays", 100, "Tab\tStays"},
        {"ab  ", 3, "ab"},
    };
    for (const auto& c : cases) {
        char out[128];
        int length = normalizeName(out, c.source, c.limit);
        EXPECT_STREQ(out, c.expected) << c.source;
        EXPECT_EQ(length, static_cast<int>(std::strlen(c.expected)));
    }
}

TEST(NameTests, InvalidNamesAndNonTextBytes) {
    const char withHigh[] = {'B', 'o', static_cast<char>(200), 0};
    const struct {
        const char* name;
        bool invalid;
    } cases[] = {
        {" Bob", true}, {"Bob:", true}, {"100%", true}, {withHigh, true}, {"", true},
        {"_x", true},   {"Bob\x7f", true}, {"Bob 2", false}, {"9lives", false}, {"a~b", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isInvalidName(c.name), c.invalid) << c.name;

    EXPECT_FALSE(hasNonTextByte("plain text ~\x7f"));
    EXPECT_TRUE(hasNonTextByte("tab\there"));
    EXPECT_TRUE(hasNonTextByte(withHigh));
}

TEST(NumberTests, TimeZoneBiasMachineIdAndPositives) {
    for (int bias : {-720, 0, 330, 720, -30}) EXPECT_FALSE(isBadTimeZoneBias(static_cast<int16_t>(bias))) << bias;
    for (int bias : {15, 750, -750, 721, -1}) EXPECT_TRUE(isBadTimeZoneBias(static_cast<int16_t>(bias))) << bias;
    EXPECT_TRUE(isLowMachineID(31337));
    EXPECT_TRUE(isLowMachineID(-5));
    EXPECT_FALSE(isLowMachineID(31338));
    EXPECT_TRUE(anyNotPositive(1, 0, 1));
    EXPECT_TRUE(anyNotPositive(1, 1, -3));
    EXPECT_FALSE(anyNotPositive(1, 2, 3));
    EXPECT_EQ(lesser(-3, 2), -3);
}

struct ControlEscapeCase {
    std::string_view text;
    std::string_view kept;
    std::string_view shown;
    bool control;  // the text holds a control byte
};

TEST(EscapeControlBytes, ShowsControlBytesAsHexAndLeavesTheRest) {
    using namespace std::string_view_literals;
    const ControlEscapeCase cases[] = {
        {"", "", "", false},
        {"Plain name ~ with \\ and %", "", "Plain name ~ with \\ and %", false},
        {"a\nb", "", "a\\x0ab", true},
        {"\r\n", "", "\\x0d\\x0a", true},
        {"\x1b[31mred", "", "\\x1b[31mred", true},
        {"\x7f", "", "\\x7f", true},
        {"\x01\x1f ", "", "\\x01\\x1f ", true},
        {"nul\0in"sv, "", "nul\\x00in", true},
        {"tab\there", "", "tab\\x09here", true},
        // Bytes above 127 are characters of the names' code page.
        {"caf\xe9 \x80\xff", "", "caf\xe9 \x80\xff", false},
        // A backslash stays a backslash: an escaped text is shown, not
        // read back.
        {"\\x0a", "", "\\x0a", false},
        {"a\tb\nc", "\t", "a\tb\\x0ac", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escapeControlBytes(c.text, c.kept), c.shown) << c.text;
        EXPECT_EQ(hasControlByte(c.text), c.control) << c.text;
        std::string appended = "head:";
        appendControlBytesEscaped(appended, c.text, c.kept);
        EXPECT_EQ(appended, "head:" + std::string(c.shown)) << c.text;
    }
    for (int byte = 0; byte < 256; ++byte) {
        const bool control = byte < 32 || byte == 127;
        EXPECT_EQ(isControlByte(static_cast<char>(byte)), control) << byte;
        EXPECT_EQ(escapeControlBytes(std::string(1, static_cast<char>(byte))).size(), control ? 4u : 1u) << byte;
    }
}
