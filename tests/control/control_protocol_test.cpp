#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/control_protocol.h"

namespace tallysv::testing {
namespace {

struct RequestCase {
    RequestCase(std::string line, bool valid, ControlVerb verb = ControlVerb::Status, int32_t entry = 0,
                std::string argument = "", bool json = false)
        : line(std::move(line)), valid(valid), verb(verb), entry(entry), argument(std::move(argument)), json(json) {}
    std::string line;
    bool valid;
    ControlVerb verb;
    int32_t entry;
    std::string argument;
    bool json;
};

TEST(ControlRequest, LinesAreReadOrRefused) {
    const std::vector<RequestCase> cases = {
        {"status", true, ControlVerb::Status},
        {"json zones", true, ControlVerb::Zones, 0, "", true},
        {"players", true, ControlVerb::Players},
        {"save", true, ControlVerb::Save},
        {"reload", true, ControlVerb::Reload},
        {"find Bob the Great", true, ControlVerb::Find, 0, "Bob the Great"},
        {"run - ?ban -d=7 Bob", true, ControlVerb::Run, 0, "?ban -d=7 Bob"},
        {"run 12 ?listop", true, ControlVerb::Run, 12, "?listop"},
        {"json run - ?find \xe9t\xe9", true, ControlVerb::Run, 0, "?find \xe9t\xe9", true},
        {"", false},
        {"json", false},
        {"Status", false},
        {"status now", false},
        {"find", false},
        {"find ", false},
        {"run", false},
        {"run -", false},
        {"run - ban Bob", false},      // no "?"
        {"run 0 ?listop", false},      // entries count from 1
        {"run 1234567 ?listop", false},  // too long for an entry
        {"run x ?listop", false},
        {"run 012 ?listop", false},
        {"run - ?ban\rBob", false},    // control bytes
        {std::string("run - ?ban\0Bob", 14), false},
        {"run - ?ban\x7f", false},
        {"json json status", false},
    };
    for (const RequestCase& c : cases) {
        auto request = parseControlRequest(c.line);
        ASSERT_EQ(request.isOk(), c.valid) << c.line << ": " << request.reason();
        if (!c.valid) {
            EXPECT_EQ(request.reason().rfind("malformed request: ", 0), 0u) << request.reason();
            continue;
        }
        EXPECT_EQ(request->verb, c.verb) << c.line;
        EXPECT_EQ(request->operatorEntry, c.entry) << c.line;
        EXPECT_EQ(request->argument, c.argument) << c.line;
        EXPECT_EQ(request->json, c.json) << c.line;
        // What the client sends reads back as the same request.
        EXPECT_EQ(controlRequestLine(*request), c.line + "\n");
    }
}

TEST(ControlRequest, ReaderTakesPiecesAndKeepsItsBound) {
    ControlRequestReader reader;
    EXPECT_EQ(reader.feed("run - ?li"), ControlRequestReader::State::Partial);
    EXPECT_EQ(reader.feed("stop"), ControlRequestReader::State::Partial);
    EXPECT_EQ(reader.feed("\nstatus\n"), ControlRequestReader::State::Complete);
    EXPECT_EQ(reader.request().argument, "?listop");
    // One request a connection: what follows is not read.
    EXPECT_EQ(reader.feed("garbage\n"), ControlRequestReader::State::Complete);

    // The bound counts the newline: kMaxControlRequest - 1 bytes and "\n" pass.
    std::string longest = "find " + std::string(kMaxControlRequest - 6, 'a');
    ControlRequestReader fits;
    EXPECT_EQ(fits.feed(longest), ControlRequestReader::State::Partial);
    EXPECT_EQ(fits.feed("\n"), ControlRequestReader::State::Complete);
    ControlRequestReader over;
    EXPECT_EQ(over.feed(longest), ControlRequestReader::State::Partial);
    EXPECT_EQ(over.feed("b"), ControlRequestReader::State::TooLong);
    EXPECT_EQ(over.buffered(), 0u);
    EXPECT_EQ(over.error(), "request too long (at most 4096 bytes)");

    ControlRequestReader malformed;
    EXPECT_EQ(malformed.feed("hello\n"), ControlRequestReader::State::Malformed);
    EXPECT_EQ(malformed.error(), "malformed request: unknown request \"hello\"");
}

TEST(ControlAnswer, TextsSurviveTheFramingExactly) {
    ControlAnswer answer;
    answer.lines = {"plain", "back\\slash\nnew line\rreturn", std::string("nul\0byte\x01", 10), "\xe9t\xe9\ttab", ""};
    answer.errors = {"something \\n went wrong"};
    answer.status = kControlNothing;
    const std::string bytes = encodeControlAnswer(answer);

    // Delivered a byte at a time, the reader gives back every text.
    ControlAnswerReader reader;
    std::vector<ControlAnswerReader::Line> lines;
    ControlAnswerReader::State state = ControlAnswerReader::State::Partial;
    for (char c : bytes) state = reader.feed(std::string_view(&c, 1), lines);
    ASSERT_EQ(state, ControlAnswerReader::State::Complete);
    EXPECT_EQ(reader.status(), kControlNothing);
    ASSERT_EQ(lines.size(), answer.lines.size() + 1);
    for (size_t i = 0; i < answer.lines.size(); ++i) {
        EXPECT_FALSE(lines[i].error);
        EXPECT_EQ(lines[i].text, answer.lines[i]);
    }
    EXPECT_TRUE(lines.back().error);
    EXPECT_EQ(lines.back().text, answer.errors[0]);

    ControlAnswerReader broken;
    EXPECT_EQ(broken.feed("X what\n", lines), ControlAnswerReader::State::Malformed);
}

TEST(ControlAnswer, JsonTextsAreValidUtf8Strings) {
    EXPECT_EQ(jsonText("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(jsonText("\x01\n"), "\"\\u0001\\u000a\"");
    EXPECT_EQ(jsonText("\xe9"), "\"\xc3\xa9\"");  // Latin-1 é
}

}  // namespace
}  // namespace tallysv::testing
