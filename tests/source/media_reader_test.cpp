// A host's reader built on the exported interfaces: it compiles against them, links against
// the library's slot tables, keeps the audio defaults, and copies its events.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <vector>

#include "source/IQMediaReader.h"

namespace {

// A host's camera reader without sound.
class CameraReader : public IQMediaReader_Network {
public:
    bool Open(const char*) override { return true; }
    bool Close() override { return true; }
    int GetNextVideoSample(unsigned char*&, int&, bool&) override { return 0; }
    bool GetVideoDuration(double&) override { return false; }
    bool Play() override { return true; }
    bool Pause() override { return true; }
    bool Seek(double) override { return false; }
    bool GetPosition(double&) override { return false; }
    bool IsVideoEnd() override { return true; }
    bool GetVideoSize(int&, int&) override { return false; }
    bool SetSpeed(int32_t) override { return false; }
    int32_t GetSpeed() override { return 0; }
    bool Connect(const char*, int32_t) override { return true; }
    bool Disconnect() override { return true; }
    bool IsConnected() override { return true; }
    bool SetCredentials(const char*, const char*) override { return true; }
    bool SendCommand(const char*) override { return true; }
    int64_t GetReceivedBytes() override { return 0; }
    bool SetBufferSize(int32_t) override { return true; }
    int32_t GetBufferSize() override { return 0; }
    bool Reconnect() override { return true; }
};

// Slot of a virtual function on this ABI (Itanium, as on Linux x86-64): a pointer to a virtual
// member holds 1 + the slot's byte offset in the table.
template <typename F>
std::ptrdiff_t Slot(F member) {
    static_assert(sizeof(F) == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t words[2];
    std::memcpy(words, &member, sizeof words);
    return (words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

}  // namespace

TEST(MediaReader, AHostReaderKeepsTheDefaultsAndCopiesItsEvents) {
    // The three defaults of a reader without sound leave their arguments alone.
    CameraReader reader;
    unsigned char byte = 9, *data = &byte;
    int size = 7;
    bool last = false;
    double duration = 1.5;
    EXPECT_EQ(std::make_tuple(reader.GetNextAudioSample(data, size, last),
                              reader.GetAudioDuration(duration), reader.IsAudioEnd()),
              std::make_tuple(0, true, true));
    EXPECT_EQ(std::make_tuple(data, size, last, duration), std::make_tuple(&byte, 7, false, 1.5));

    // A copy takes the handlers and the timeout, in lists of its own.
    std::vector<int64_t> received;
    reader.m_evReceived.Add([&](IQMediaReader_Network*, int64_t n) { received.push_back(n); });
    reader.m_nTimeout = 3000;
    CameraReader copy = reader;
    reader.m_evReceived.ClearAll();
    copy.m_evReceived.RaisEvent(&copy, 3);
    EXPECT_EQ(std::make_pair(received, copy.m_nTimeout),
              std::make_pair(std::vector<int64_t>{3}, 3000));

    // Slots in the order hosts rely on: the destructor takes slots 0 and 1 on this ABI, the
    // base's operations follow it, the network operations come after all of them.
    using R = IQMediaReader;
    using N = IQMediaReader_Network;
    EXPECT_EQ((std::vector<std::ptrdiff_t>{Slot(&R::Open), Slot(&R::GetNextAudioSample),
                                           Slot(&R::GetNextVideoSample), Slot(&R::GetAudioDuration),
                                           Slot(&R::Play), Slot(&R::IsAudioEnd), Slot(&R::GetSpeed),
                                           Slot(&N::Connect), Slot(&N::Reconnect)}),
              (std::vector<std::ptrdiff_t>{2, 4, 5, 7, 8, 12, 16, 17, 25}));
}
