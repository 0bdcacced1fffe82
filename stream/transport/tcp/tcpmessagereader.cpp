#include "transport/tcp/tcpmessagereader.h"

#include <algorithm>
#include <utility>

namespace zun {
namespace {
constexpr size_t kFirstChunk = 256 * 1024;
}

std::span<uint8_t> TcpMessageReader::space()
{
    if (mHeaderHave < WireHeader::kSize)
        return {mHeaderBytes.data() + mHeaderHave, WireHeader::kSize - mHeaderHave};
    const size_t total = mHeader.totalLength;
    if (mPayload.size() < total && mPayloadHave == mPayload.size())
        mPayload.resize(std::min(total, std::max(mPayloadHave * 2, kFirstChunk)));
    return {mPayload.data() + mPayloadHave, std::min(mPayload.size(), total) - mPayloadHave};
}

TcpMessageReader::Status TcpMessageReader::commit(size_t n)
{
    if (mHeaderHave < WireHeader::kSize) {
        mHeaderHave += std::min(n, WireHeader::kSize - mHeaderHave);
        if (mHeaderHave < WireHeader::kSize)
            return Status::More;
        const auto header = WireHeader::read(mHeaderBytes);
        // A message carries one whole frame.
        if (!header || header->pieceOffset != 0 || header->pieceLength != header->totalLength) {
            mHeaderHave = 0; // not a frame in progress
            return Status::Bad;
        }
        mHeader = *header;
        mPayloadHave = 0;
    } else {
        mPayloadHave = std::min(mPayloadHave + n, std::min<size_t>(mPayload.size(), mHeader.totalLength));
    }
    return mPayloadHave == mHeader.totalLength ? Status::Frame : Status::More;
}

void TcpMessageReader::take(EncodedFrame &frame)
{
    frame.meta = mHeader.meta;
    mPayload.resize(mHeader.totalLength);
    std::swap(frame.payload, mPayload);
    mHeaderHave = 0;
    mPayloadHave = 0;
}

} // namespace zun
