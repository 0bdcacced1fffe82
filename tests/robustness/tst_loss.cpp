// Datagrams dropped on their way in by nftables (numgen random), inside a network namespace
// of the test's own: at every loss rate each frame delivered is whole and correct, every frame
// sent is delivered or counted as lost, the frames lost agree with the datagrams dropped,
// and memory stays bounded. Run through netns.sh; skips elsewhere.

#include "robusttest.h"
#include "streamtest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kBasePort = 22000;
constexpr StreamFormat kFormat{640, 480, 1, 1};
constexpr int kFrames = 300;

uint32_t mix(uint32_t v)
{
    v ^= v >> 16;
    v *= 0x7feb352d;
    v ^= v >> 15;
    v *= 0x846ca68b;
    return v ^ (v >> 16);
}

uint32_t checksum(const uint8_t *data, size_t size)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 16777619u;
    return h;
}

// Every row starts with the frame number, the row number and a checksum of the rest of the
// row, which is noise of that frame and row: a row from another frame, or one cut where two
// pieces meet, shows.
std::vector<uint8_t> stampedFrame(uint32_t frame)
{
    const uint32_t stride = zunGetByteSize(&kFormat) / kFormat.height;
    std::vector<uint8_t> data(zunGetByteSize(&kFormat));
    for (uint32_t y = 0; y < kFormat.height; ++y) {
        uint8_t *row = data.data() + size_t(y) * stride;
        uint32_t state = mix(frame * 7919u + y + 1);
        for (uint32_t x = 12; x < stride; ++x) {
            state = state * 1664525u + 1013904223u;
            row[x] = uint8_t(state >> 24);
        }
        const uint32_t stamp[3] = {frame, y, checksum(row + 12, stride - 12)};
        std::memcpy(row, stamp, sizeof stamp);
    }
    return data;
}

// Empty if whole, else what is wrong with it.
std::string checkStamps(const uint8_t *data, uint32_t frame)
{
    const uint32_t stride = zunGetByteSize(&kFormat) / kFormat.height;
    for (uint32_t y = 0; y < kFormat.height; ++y) {
        const uint8_t *row = data + size_t(y) * stride;
        uint32_t stamp[3];
        std::memcpy(stamp, row, sizeof stamp);
        if (stamp[0] != frame || stamp[1] != y || stamp[2] != checksum(row + 12, stride - 12)) {
            std::ostringstream why;
            why << "frame " << frame << " row " << y << " holds frame " << stamp[0] << " row " << stamp[1]
                << (stamp[2] != checksum(row + 12, stride - 12) ? ", torn" : "");
            return why.str();
        }
    }
    return {};
}

std::string run(const std::string &command)
{
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        pclose(pipe);
    }
    return out;
}

// The namespace's count of datagrams dropped for a full socket buffer.
uint64_t receiveBufferErrors()
{
    std::ifstream snmp("/proc/net/snmp");
    std::string names, values;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        if (names.rfind("Udp:", 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "RcvbufErrors")
                return std::stoull(value);
        }
    }
    return 0;
}

struct Counts {
    uint64_t seen = 0;    // datagrams to the port
    uint64_t dropped = 0; // of those, dropped by the rule
};

Counts ruleCounts()
{
    const std::string listing = run("nft list chain inet zunloss in 2>&1");
    static const std::regex packets("counter packets ([0-9]+)");
    Counts c;
    int index = 0;
    for (auto it = std::sregex_iterator(listing.begin(), listing.end(), packets); it != std::sregex_iterator();
         ++it, ++index)
        (index == 0 ? c.seen : c.dropped) = std::stoull((*it)[1]);
    return c;
}

bool dropShare(uint32_t port, int percent)
{
    std::ostringstream rules;
    rules << "nft -f - <<'EOF'\n"
          << "add table inet zunloss\ndelete table inet zunloss\n" // only our own table, made afresh
          << "table inet zunloss {\n  chain in {\n    type filter hook input priority 0; policy accept;\n"
          << "    udp dport " << port << " counter\n"
          << "    udp dport " << port << " numgen random mod 100 < " << percent << " counter drop\n"
          << "  }\n}\nEOF\n";
    return std::system(rules.str().c_str()) == 0;
}

class Loss : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        if (!std::getenv("ZUN_TEST_NETNS"))
            GTEST_SKIP() << "loss runs only in a private network namespace (tests/transport/netns.sh)";
        if (std::system("nft list ruleset >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "nftables is not usable here";
    }
};

TEST_P(Loss, DeliveredFramesAreWholeAndEveryLostFrameIsCounted)
{
    const int percent = GetParam();
    const uint32_t port = kBasePort + uint32_t(percent);
    ASSERT_TRUE(dropShare(port, percent));
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < 32; ++i)
        pictures.push_back(stampedFrame(uint32_t(i)));

    zuntest::Decoder decoder(port, false, ZUN_PROTOCOL_UDP);
    zuntest::Encoder encoder(kFormat, port, 0, 15, ZUN_PROTOCOL_UDP);
    ASSERT_TRUE(encoder.addressed());
    // Without parity every datagram lost costs its frame, which the counts below follow.
    ASSERT_EQ(zunSetRedundancy(encoder.handle(), 0), 1);
    const uint64_t bufferErrorsBefore = receiveBufferErrors();
    const size_t rssBefore = zuntest::residentBytes();
    size_t rssPeak = rssBefore;
    int whole = 0;
    std::vector<std::string> faults;
    auto drain = [&] {
        while (const auto *pixels = static_cast<const uint8_t *>(zunLockReadBuffer(decoder.handle(), 0))) {
            const StreamFormat f = decoder.format();
            const uint32_t number = decoder.frameNumber();
            std::string why = zuntest::sameFormat(f, kFormat) ? checkStamps(pixels, number % 32)
                                                             : "wrong format";
            if (why.empty() && number >= uint32_t(kFrames))
                why = "frame number past the end";
            why.empty() ? void(++whole) : faults.push_back(why);
            decoder.unlock();
        }
        rssPeak = std::max(rssPeak, zuntest::residentBytes());
    };
    // The picture of frame n is stamped n % 32 (the encoder numbers frames from 0).
    for (int i = 0; i < kFrames; ++i) {
        zunEncode(encoder.handle(), pictures[size_t(i % 32)].data());
        drain();
        std::this_thread::sleep_for(4ms);
    }
    // Long enough for the queue to empty and the last incomplete frame to time out.
    const auto settle = Clock::now() + 1500ms;
    while (Clock::now() < settle) {
        drain();
        std::this_thread::sleep_for(5ms);
    }
    ZunStreamStats sent{};
    zunGetStreamStats(encoder.handle(), &sent);
    const ZunStreamStats got = decoder.stats();
    const Counts rule = ruleCounts();
    const uint64_t bufferErrors = receiveBufferErrors() - bufferErrorsBefore;
    const double perFrame = sent.framesSent ? double(rule.seen) / double(sent.framesSent) : 0;
    const double measured = rule.seen ? double(rule.dropped) / double(rule.seen) : 0;
    const double expectedLost = double(sent.framesSent) * (1 - std::pow(1 - measured, perFrame));
    std::printf("[ figures  ] loss %d%%: %llu frames sent, %llu delivered whole, %llu lost "
                "(incomplete %llu, buffer %llu); %llu of %llu datagrams dropped (%.1f%%, %.1f per frame, "
                "%.0f frames expected lost); socket overflows %llu; RSS %zu MiB, peak +%zu MiB\n",
                percent, (unsigned long long)sent.framesSent, (unsigned long long)got.framesDelivered,
                (unsigned long long)(got.framesIncomplete + got.framesDropped),
                (unsigned long long)got.framesIncomplete, (unsigned long long)got.framesDropped,
                (unsigned long long)rule.dropped, (unsigned long long)rule.seen, 100 * measured, perFrame,
                expectedLost, (unsigned long long)bufferErrors, zuntest::residentBytes() >> 20,
                (rssPeak - rssBefore) >> 20);

    for (const auto &why : faults)
        ADD_FAILURE() << why;
    EXPECT_EQ(uint64_t(whole), got.framesDelivered);
    EXPECT_GT(whole, 0);
    EXPECT_GE(sent.framesSent, uint64_t(kFrames * 9 / 10)) << "the sender itself dropped frames";
    // Every frame sent is delivered, dropped whole by the read buffer, or counted incomplete.
    EXPECT_EQ(got.framesDelivered + got.framesDropped + got.framesIncomplete, sent.framesSent);
    EXPECT_EQ(got.packetsRejected, 0u);
    // Every incomplete frame lost at least one datagram, and one datagram loses at most one frame.
    EXPECT_LE(got.framesIncomplete, rule.dropped + bufferErrors);
    EXPECT_GE(double(got.framesIncomplete) * perFrame, double(rule.dropped));
    // The rule did drop about the share asked for, and the frames lost follow from it.
    EXPECT_NEAR(100 * measured, percent, 3 * std::sqrt(percent * (100.0 - percent) / rule.seen * 100) + 0.5);
    EXPECT_NEAR(double(got.framesIncomplete), expectedLost, 4 * std::sqrt(expectedLost + 1) + 3);
    if (zuntest::kResidentMemoryTells) {
        EXPECT_LT(rssPeak - rssBefore, size_t(64) << 20);
    }
    std::system("nft delete table inet zunloss");
}

INSTANTIATE_TEST_SUITE_P(Rates, Loss, ::testing::Values(1, 5, 20),
                         [](const auto &info) { return "Percent" + std::to_string(info.param); });

} // namespace
