#pragma once

#include "frame.h"
#include "transport/wireheader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zun {

// Splits the byte stream of one TCP connection into whole frames: a header, then exactly
// the payload it announces. Knows nothing of sockets, so any bytes can be fed to it.
class TcpMessageReader {
public:
    enum class Status { More, Frame, Bad };

    // Where the next bytes go; never reaches past the message in progress. Payload memory
    // grows with what has arrived, so a peer that announces a large frame and stalls holds little.
    std::span<uint8_t> space();
    // n bytes were written to space(). Frame: take() it now. Bad: the header was not a
    // whole frame's; the connection should go.
    Status commit(size_t n);
    // Moves out the frame commit() completed; the reader goes on with the next message.
    void take(EncodedFrame &frame);
    // Some bytes of a message have arrived, not all.
    bool midMessage() const { return mHeaderHave > 0; }
    // Bytes of the payload in progress not yet committed; 0 while a header is awaited.
    size_t payloadAwaited() const
    {
        return mHeaderHave < WireHeader::kSize ? 0 : mHeader.totalLength - mPayloadHave;
    }

private:
    std::array<uint8_t, WireHeader::kSize> mHeaderBytes{};
    size_t mHeaderHave = 0;
    WireHeader mHeader;
    Bytes mPayload;
    size_t mPayloadHave = 0;
};

} // namespace zun
