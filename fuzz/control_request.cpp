// Feeds arbitrary client bytes to the control socket's request reader: the framer, cut into
// pieces as a connection receives them, then decoding and the command rules.
//
// Input: the first byte sets the piece size (1 + byte); the rest is what the client sends.
// Besides crashes it checks that the pieces frame like the whole, and that an accepted request
// reads back the same after encoding.

#include "ControlCodec.h"
#include "JsonObjectFramer.h"
#include "control/ControlRequestRules.h"

#include <cstddef>
#include <cstdint>

using namespace zidire;

namespace {

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const qsizetype pieceSize = 1 + data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const qsizetype length = qsizetype(size - 1);

    JsonObjectFramer whole;
    whole.feed(bytes, length);
    JsonObjectFramer pieces;
    for (qsizetype offset = 0; offset < length; offset += pieceSize)
        pieces.feed(bytes + offset, std::min(pieceSize, length - offset));
    require(pieces.state() == whole.state() && pieces.endOffset() == whole.endOffset());
    if (whole.state() != JsonObjectFramer::State::complete)
        return 0;

    const ControlRequestReading reading =
        readControlRequest(QByteArray::fromRawData(bytes, whole.endOffset()));
    require(reading.request.has_value() == reading.problem.isEmpty());
    if (!reading.request)
        return 0;
    const ControlRequestReading again = readControlRequest(encodeControlRequest(*reading.request));
    require(again.request == reading.request);
    return 0;
}
