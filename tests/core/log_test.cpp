// The console log: printf-style formatting and batches of the standard
// output log.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>

#include "core/log.h"

using namespace tallysv;

// The helpers below pass their formats on; the formats are literals at the
// call sites.
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-zero-length"

namespace {

// What the C library makes of the same format and arguments.
std::string libraryText(const char* format, ...) {
    static char text[8192];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return std::string(text, static_cast<size_t>(n));
}

template <typename... Args>
void expectLikeLibrary(const char* format, Args... args) {
    RecordingLog log;
    log.printf(format, args...);
    EXPECT_EQ(log.text(), libraryText(format, args...)) << format;
}

}  // namespace

TEST(LogPrintf, FormatsAsTheLibraryDoes) {
    expectLikeLibrary("%i - Player entering: %s\n", 7, "Name");
    expectLikeLibrary("%i - Unhandled packet(%i)(%i)\n", -1, 255, 32767);
    expectLikeLibrary("Malformed ACK from %i.%i.%i.%i:%i  Punt!\n", 10, 0, 0, 1, 65535);
    expectLikeLibrary("%d %i %i %i", 0, INT_MIN, INT_MAX, -9);
    expectLikeLibrary("%u %u", 0u, UINT_MAX);
    expectLikeLibrary("%c%c|%%|100%%", 'a', 'Z');
    expectLikeLibrary("%s|%s", "", "text with % in it");
    expectLikeLibrary("no conversions at all\n");
    expectLikeLibrary("");
    expectLikeLibrary("%i%s%i", 1, "-", 2);
    // Flags, widths, precisions, lengths and other conversions.
    expectLikeLibrary("%5i|%-5i|%05d|%+d", 42, 42, -42, 42);
    expectLikeLibrary("%.3s|%10s", "abcdef", "right");
    expectLikeLibrary("%x %X %o", 255u, 255u, 8u);
    expectLikeLibrary("%li %lu %lld", -5L, 5UL, -123456789012LL);
    expectLikeLibrary("%.2f", 3.14159);
    expectLikeLibrary("%i then %5.2f then %s", 3, 2.5, "end");
}

TEST(LogPrintf, NullTextAndLongLines) {
    RecordingLog log;
    const char* volatile none = nullptr;
    log.printf("%s\n", none);
    EXPECT_EQ(log.text(), "(null)\n");

    std::string longText(3000, 'x');
    for (const char* format : {"%s|%i\n", "%10s|%i\n"}) {
        RecordingLog longLog;
        longLog.printf(format, longText.c_str(), 12);
        EXPECT_EQ(longLog.text(), libraryText(format, longText.c_str(), 12)) << format;
    }
}

struct EscapedPrintfCase {
    const char* format;
    const char* text;
    const char* written;
};

// A text put in with %s is data: its control bytes are shown escaped, with
// or without flags, widths and precisions; the format's own line ends stay.
TEST(LogPrintf, EscapesControlBytesOfTexts) {
    const EscapedPrintfCase cases[] = {
        {"%i - Player entering: %s\n", "Bob\n7 - Forged", "1 - Player entering: Bob\\x0a7 - Forged\n"},
        {"%i - %s\n", "\x1b[2J\r\x7f", "1 - \\x1b[2J\\x0d\\x7f\n"},
        {"\n%i:%s: ", "tab\there", "\n1:tab\\x09here: "},
        {"%zu - %s\n", "a\nb", "1 - a\\x0ab\n"},
        {"%i|%8s|", "\x01z", "1|   \\x01z|"},
        {"%i|%-8s|", "\x01z", "1|\\x01z   |"},
        {"%i|%2s|", "\x01z", "1|\\x01z|"},
        // The precision cuts the text, then its bytes are escaped.
        {"%i|%.2s|", "a\nbc", "1|a\\x0a|"},
        {"%i|%6.1s|", "\nbc", "1|  \\x0a|"},
        {"%i|%.2s|", "ab\n", "1|ab|"},
    };
    for (const auto& c : cases) {
        RecordingLog log;
        if (std::string_view(c.format).starts_with("%zu"))
            log.printf(c.format, size_t{1}, c.text);
        else
            log.printf(c.format, 1, c.text);
        EXPECT_EQ(log.text(), c.written) << c.format << " " << c.text;
    }

    // Star widths and precisions, and a text too long for the first buffer.
    RecordingLog log;
    log.printf("%*s|%-*s|%.*s|\n", 6, "\x1b", 6, "\x1b", 1, "\x1bx");
    EXPECT_EQ(log.text(), "  \\x1b|\\x1b  |\\x1b|\n");
    const std::string longText = std::string(1500, 'x') + "\n" + std::string(10, 'y');
    RecordingLog longLog;
    longLog.printf("%i - %s\n", 5, longText.c_str());
    EXPECT_EQ(longLog.text(), "5 - " + std::string(1500, 'x') + "\\x0a" + std::string(10, 'y') + "\n");
    ASSERT_EQ(longLog.lines().size(), 1u);
}

namespace {

class StdoutLogTest : public ::testing::Test {
protected:
    StdoutLogTest() : file(std::tmpfile()), log(file) {}
    ~StdoutLogTest() override { std::fclose(file); }

    // Everything in the stream so far.
    std::string written() {
        std::fflush(file);
        long size = std::ftell(file);
        std::string text(static_cast<size_t>(size), '\0');
        std::rewind(file);
        size_t n = std::fread(text.data(), 1, text.size(), file);
        text.resize(n);
        std::fseek(file, 0, SEEK_END);
        return text;
    }

    std::FILE* file;
    StdoutLog log;
};

}  // namespace

TEST_F(StdoutLogTest, WritesAtOnceOutsideABatch) {
    log.write("one\n");
    EXPECT_EQ(written(), "one\n");
    log.printf("%i - two\n", 2);
    EXPECT_EQ(written(), "one\n2 - two\n");
}

TEST_F(StdoutLogTest, ABatchIsWrittenWhenTheOutermostBatchEnds) {
    log.beginBatch();
    log.write("first\n");
    log.beginBatch();
    log.write("second\n");
    log.endBatch();
    EXPECT_EQ(written(), "");
    log.write("third\n");
    log.endBatch();
    EXPECT_EQ(written(), "first\nsecond\nthird\n");
    // An end without a begin changes nothing.
    log.endBatch();
    log.write("after\n");
    EXPECT_EQ(written(), "first\nsecond\nthird\nafter\n");
}

TEST_F(StdoutLogTest, AnotherThreadWritingDuringABatchKeepsTheOrder) {
    {
        LogBatch batch(log);
        log.write("gathered 1\n");
        std::thread other([&] {
            // A batch of its own cannot be held meanwhile: it writes at once,
            // after what was gathered before it.
            LogBatch foreign(log);
            log.write("other thread\n");
        });
        other.join();
        EXPECT_EQ(written(), "gathered 1\nother thread\n");
        log.write("gathered 2\n");
        EXPECT_EQ(written(), "gathered 1\nother thread\n");
    }
    EXPECT_EQ(written(), "gathered 1\nother thread\ngathered 2\n");
}
