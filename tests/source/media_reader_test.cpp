// A host's reader built on the exported interfaces: it compiles against them, links against
// the library's slot tables, keeps the audio defaults, and copies its events.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "source/IQMediaReader.h"

namespace {

// Plays video samples from memory and has no sound, as a host's camera reader might.
class MemoryReader : public IQMediaReader_Network {
public:
    explicit MemoryReader(std::vector<std::vector<unsigned char>> samples)
        : m_samples(std::move(samples)) {}

    bool Open(const char* location) override { return location != nullptr; }
    bool Close() override { return true; }
    int GetNextVideoSample(unsigned char*& data, int& size, bool& key) override {
        if (m_next >= m_samples.size()) return 0;
        data = m_samples[m_next].data();
        size = static_cast<int>(m_samples[m_next].size());
        key = m_next == 0;
        ++m_next;
        m_evReceived.RaisEvent(this, static_cast<int64_t>(m_next));
        return 1;
    }
    bool GetVideoDuration(double& seconds) override {
        seconds = static_cast<double>(m_samples.size()) / 25.0;
        return true;
    }
    bool Play() override { return true; }
    bool Pause() override { return true; }
    bool Seek(double) override { return false; }
    bool GetPosition(double& seconds) override {
        seconds = static_cast<double>(m_next) / 25.0;
        return true;
    }
    bool IsVideoEnd() override { return m_next >= m_samples.size(); }
    bool GetVideoSize(int& width, int& height) override {
        width = 320;
        height = 240;
        return true;
    }
    bool SetSpeed(int32_t) override { return false; }
    int32_t GetSpeed() override { return 0; }

    bool Connect(const char*, int32_t) override {
        m_evConnected.RaisEvent(this, true);
        return true;
    }
    bool Disconnect() override {
        m_evConnected.RaisEvent(this, false);
        return true;
    }
    bool IsConnected() override { return true; }
    bool SetCredentials(const char*, const char*) override { return true; }
    bool SendCommand(const char*) override { return true; }
    int64_t GetReceivedBytes() override { return 0; }
    bool SetBufferSize(int32_t) override { return true; }
    int32_t GetBufferSize() override { return 0; }
    bool Reconnect() override { return true; }

private:
    std::vector<std::vector<unsigned char>> m_samples;
    size_t m_next = 0;
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
    MemoryReader reader({{1, 2, 3}, {4, 5}});
    IQMediaReader& base = reader;

    // The three defaults of a reader without sound leave their arguments alone.
    unsigned char byte = 9;
    unsigned char* data = &byte;
    int size = 7;
    bool last = false;
    EXPECT_EQ(base.GetNextAudioSample(data, size, last), 0);
    EXPECT_EQ(data, &byte);
    EXPECT_EQ(size, 7);
    EXPECT_FALSE(last);
    double duration = 1.5;
    EXPECT_TRUE(base.GetAudioDuration(duration));
    EXPECT_EQ(duration, 1.5);
    EXPECT_TRUE(base.IsAudioEnd());

    // The events and the int start empty; handlers added to the original are copied.
    EXPECT_EQ(reader.m_nTimeout, 0);
    std::vector<int64_t> received;
    std::vector<bool> connected;
    reader.m_evReceived.Add([&](IQMediaReader_Network*, int64_t n) { received.push_back(n); });
    reader.m_evConnected.Add([&](IQMediaReader_Network*, bool up) { connected.push_back(up); });
    reader.m_nTimeout = 3000;
    MemoryReader copy = reader;
    EXPECT_EQ(copy.m_nTimeout, 3000);

    IQMediaReader_Network& network = copy;
    network.Connect("10.0.0.1", 80);
    while (network.GetNextVideoSample(data, size, last) == 1) {
    }
    EXPECT_TRUE(network.IsVideoEnd());
    EXPECT_FALSE(reader.IsVideoEnd());
    network.Disconnect();
    EXPECT_EQ(received, (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(connected, (std::vector<bool>{true, false}));
    reader.m_evReceived.ClearAll();  // the copy's list is its own
    copy.m_evReceived.RaisEvent(&copy, 3);
    EXPECT_EQ(received.size(), 3u);

    // Slots in the order hosts rely on: the destructor takes slots 0 and 1 on this ABI, the
    // base's operations follow it, the network operations come after all of them.
    EXPECT_EQ(Slot(&IQMediaReader::Open), 2);
    EXPECT_EQ(Slot(&IQMediaReader::GetNextAudioSample), 4);
    EXPECT_EQ(Slot(&IQMediaReader::GetNextVideoSample), 5);
    EXPECT_EQ(Slot(&IQMediaReader::GetAudioDuration), 7);
    EXPECT_EQ(Slot(&IQMediaReader::Play), 8);
    EXPECT_EQ(Slot(&IQMediaReader::IsAudioEnd), 12);
    EXPECT_EQ(Slot(&IQMediaReader::GetSpeed), 16);
    EXPECT_EQ(Slot(&IQMediaReader_Network::Connect), 17);
    EXPECT_EQ(Slot(&IQMediaReader_Network::Reconnect), 25);
}
