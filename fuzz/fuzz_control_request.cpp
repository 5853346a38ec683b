// Feeds arbitrary bytes to the control socket's request reader, in pieces
// of arbitrary sizes as a client's writes may arrive, and checks that the
// reader's verdict does not depend on how the bytes were cut, that a
// request it accepts is one the client would send, and that answer texts
// survive their framing. The same bytes also go to the client's answer
// reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "control/control_protocol.h"

namespace {

using namespace tallysv;

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte sets the size of the pieces (1 to 256 bytes).
    const size_t piece = static_cast<size_t>(data[0]) + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    ControlRequestReader whole;
    whole.feed(bytes);
    ControlRequestReader pieces;
    ControlRequestReader::State state = ControlRequestReader::State::Partial;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        ControlRequestReader::State before = state;
        state = pieces.feed(bytes.substr(at, piece));
        // A verdict, once given, stays.
        if (before != ControlRequestReader::State::Partial) check(state == before);
        check(pieces.buffered() < kMaxControlRequest);
    }
    check(state == whole.state());

    const size_t newline = bytes.find('\n');
    switch (state) {
        case ControlRequestReader::State::Partial:
            check(newline == std::string_view::npos && bytes.size() < kMaxControlRequest);
            break;
        case ControlRequestReader::State::TooLong:
            check((newline == std::string_view::npos ? bytes.size() : newline) + 1 > kMaxControlRequest);
            break;
        case ControlRequestReader::State::Malformed:
            check(newline != std::string_view::npos && !pieces.error().empty());
            break;
        case ControlRequestReader::State::Complete: {
            check(newline != std::string_view::npos && newline < kMaxControlRequest);
            const ControlRequest& request = pieces.request();
            // What was read is what the client sends for that request.
            const std::string line = controlRequestLine(request);
            check(line == std::string(bytes.substr(0, newline + 1)));
            break;
        }
    }

    // Any text survives the answer's framing and stays on its line.
    ControlAnswer answer;
    answer.lines.emplace_back(bytes);
    answer.errors.emplace_back(bytes.substr(0, bytes.size() / 2));
    answer.status = data[0];
    const std::string encoded = encodeControlAnswer(answer);
    ControlAnswerReader reader;
    std::vector<ControlAnswerReader::Line> lines;
    ControlAnswerReader::State read = ControlAnswerReader::State::Partial;
    for (size_t at = 0; at < encoded.size(); at += piece)
        read = reader.feed(std::string_view(encoded).substr(at, piece), lines);
    check(read == ControlAnswerReader::State::Complete && reader.status() == data[0]);
    check(lines.size() == 2 && lines[0].text == answer.lines[0] && lines[1].text == answer.errors[0]);

    // And the raw bytes, as an answer from a server that is not one.
    ControlAnswerReader raw;
    lines.clear();
    raw.feed(bytes, lines);
    return 0;
}
