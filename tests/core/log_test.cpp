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
