// The wave output against SDL's disk audio driver: everything the device plays, silence
// included, ends up in a file, which the tests search for the samples they queued.
#include <gtest/gtest.h>

#include "element/CQWaveOut.h"
#include "platform/wave_out.h"
#include "tests/net/net_test_util.h"
#include "varnel/varnel.h"

namespace {

// The samples as bytes: compared and searched as text.
using Bytes = std::string;

// Each test runs in a process of its own: the folder goes with it.
const nettest::TempDir g_dir;

// Sends the device of the next open to a file of its own.
std::string UseDiskFile(const std::string& name) {
    const std::string path = g_dir / (name + ".raw");
    std::filesystem::remove(path);
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
    return path;
}

WAVEFORMATEX Format(uint16_t channels, uint16_t bits, uint32_t rate = 8000) {
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    return {1, channels, rate, rate * align, align, bits, 0};
}

// 16-bit little-endian samples, never 0, distinct per seed, scaled by volume / 65535 as the
// device scales them: a block is found in the output only where it was played.
Bytes Samples(int count, int seed, int32_t volume = 65535) {
    Bytes b;
    for (int i = 0; i < count; ++i) {
        const auto v =
            static_cast<uint16_t>(((seed * 7919 + i * 37) % 30000 + 1000) * volume / 65535);
        b += {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    }
    return b;
}

unsigned char* Data(const Bytes& b) {
    return reinterpret_cast<unsigned char*>(const_cast<char*>(b.data()));
}

void Write(CQWaveOut& wave, const Bytes& b) {
    wave.WriteAudioBlock(Data(b), static_cast<int32_t>(b.size()), true);
}

unsigned char* MallocCopy(const Bytes& b) {
    auto* p = static_cast<unsigned char*>(std::malloc(b.size()));
    std::memcpy(p, b.data(), b.size());
    return p;
}

std::mutex g_traceLock;
std::vector<std::string> g_traces;

int TraceCount(const std::string& line) {
    std::lock_guard<std::mutex> guard(g_traceLock);
    return static_cast<int>(std::count(g_traces.begin(), g_traces.end(), line));
}

}  // namespace

// Pause holds output (silence plays); Play resets: every queued block is freed before it
// returns and none of them is ever heard. Then blocks queued by copy and by hand-over play
// back to back in the order written, each freed once played (the count returns to 0;
// LeakSanitizer and AddressSanitizer see every block freed exactly once), and a block given by
// copy stays the caller's, unchanged.
TEST(WaveOut, ResetDropsWhatIsQueuedAndBlocksPlayInOrder) {
    const std::string path = UseDiskFile("order");
    std::vector<Bytes> dropped, blocks;
    for (int i = 0; i < 5; ++i) dropped.push_back(Samples(800, 10 + i));
    for (int i = 0; i < 8; ++i) blocks.push_back(Samples(400 + 40 * i, i));
    CQWaveOut wave;
    wave.Open(Format(1, 16));
    EXPECT_EQ(wave.GetVolume(), 65535);
    wave.Pause();
    for (const Bytes& b : dropped) wave.WriteAudioBlock(MallocCopy(b), int32_t(b.size()), false);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // paused: nothing plays
    EXPECT_EQ(wave.QueuedBlocks(), 5);
    wave.Play();
    EXPECT_EQ(wave.QueuedBlocks(), 0);
    for (size_t i = 0; i < blocks.size(); ++i) {
        Bytes mine = blocks[i];
        if (i % 2 == 0) Write(wave, mine);
        if (i % 2 == 1) wave.WriteAudioBlock(MallocCopy(mine), int32_t(mine.size()), false);
        EXPECT_EQ(mine, blocks[i]);
    }
    ASSERT_TRUE(nettest::PollUntil([&] { return wave.QueuedBlocks() == 0; }));
    wave.Close();
    const Bytes out = nettest::ReadFile(path);
    size_t at = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const size_t found = out.find(blocks[i], at);
        ASSERT_NE(found, std::string::npos) << "block " << i << " not played after block " << i - 1;
        at = found + blocks[i].size();
    }
    for (const Bytes& b : dropped) EXPECT_EQ(out.find(b.substr(0, 64)), std::string::npos);
}

// Both channels of a stereo stream play at the volume asked for, read back from the output;
// muted blocks come out silent; a mute while closed keeps the volume that the unmute after the
// next Open restores (the closed device's 0 would silence it), and a new device starts full.
TEST(WaveOut, VolumeAndMuteOnBothChannelsAcrossCloseAndOpen) {
    const Bytes raw = Samples(2 * 600, 3);  // interleaved left, right
    struct Step {
        std::function<void(CQWaveOut&)> change;
        int32_t heard;  // on both channels, and what GetVolume reads; 0: silence
    };
    // One list per device, each opened after the one before was closed and muted.
    const std::vector<std::vector<Step>> devices = {
        {{[](CQWaveOut& w) { w.SetVolume(255); }, 0xFFFF},
         {[](CQWaveOut& w) { w.SetVolume(128); }, 0x8080},
         {[](CQWaveOut& w) { w.Mute(true); }, 0},
         {[](CQWaveOut& w) { w.Mute(true), w.Mute(false); }, 0x8080}},  // a second mute saves
        {{[](CQWaveOut&) {}, 0xFFFF}, {[](CQWaveOut& w) { w.Mute(false); }, 0x8080}},
    };
    CQWaveOut wave;
    for (size_t d = 0; d < devices.size(); ++d) {
        const std::string path = UseDiskFile("volume" + std::to_string(d));
        wave.Open(Format(2, 16));
        ASSERT_NE(wave.Handle(), nullptr);
        for (const Step& step : devices[d]) {
            step.change(wave);
            EXPECT_EQ(wave.GetVolume(), step.heard);
            Write(wave, raw);
            ASSERT_TRUE(nettest::PollUntil([&] { return wave.QueuedBlocks() == 0; }));
        }
        wave.Close();
        ASSERT_EQ(wave.Handle(), nullptr);
        wave.Mute(true);
        const Bytes out = nettest::ReadFile(path);
        size_t at = 0;
        bool silent = false;
        for (const Step& step : devices[d]) {
            if (step.heard == 0) {
                silent = true;
                continue;
            }
            const size_t found = out.find(Samples(2 * 600, 3, step.heard), at);
            ASSERT_NE(found, std::string::npos) << "device " << d << " volume " << step.heard;
            // A muted block played in between, and nothing but silence came out there.
            const Bytes gap = out.substr(at, found - at);
            EXPECT_TRUE(!silent || (gap.size() >= raw.size() &&
                                    gap.find_first_not_of('\0') == std::string::npos));
            silent = false;
            at = found + raw.size();
        }
    }
}

// 8-bit samples are unsigned around 128: scaling must keep silence at 128, not pull it to 0.
TEST(WaveOut, EightBitVolumeScalesAroundTheMiddle) {
    const std::string path = UseDiskFile("eight");
    Bytes raw(800, '\0');
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<char>(i % 2 ? 28 : 228);
    CQWaveOut wave;
    wave.Open(Format(1, 8));
    wave.SetVolume(128);  // left word 0x8080
    Write(wave, raw);
    ASSERT_TRUE(nettest::PollUntil([&] { return wave.QueuedBlocks() == 0; }));
    wave.Close();
    Bytes expected(raw.size(), '\0');
    for (size_t i = 0; i < raw.size(); ++i)
        expected[i] = static_cast<char>(128 + (uint8_t(raw[i]) - 128) * 0x8080 / 65535);
    const Bytes out = nettest::ReadFile(path);
    EXPECT_NE(out.find(expected), std::string::npos);
    EXPECT_EQ(out.find('\0'), std::string::npos) << "8-bit silence must be 128";
}

// The edges of the interface: a close refused while blocks are queued keeps the device, a
// closed object's volume and mute, a refused format, an unknown message, the file loader, and
// a NULL handle through every export (LeakSanitizer sees the handed-over block freed).
TEST(WaveOut, EdgeCases) {
    varnel_set_trace_sink(
        [](const char* line, void*) {
            std::lock_guard<std::mutex> guard(g_traceLock);
            g_traces.emplace_back(line);
        },
        nullptr);
    UseDiskFile("edges");
    const Bytes block = Samples(200, 1);
    CQWaveOut_WriteAudioBlock(nullptr, MallocCopy(block), int32_t(block.size()), false);
    CQWaveOut_writeAudioBlock(nullptr, Data(block), uint32_t(block.size()));
    EXPECT_FALSE(CQWaveOut_Open(nullptr, Format(1, 16)) || CQWaveOut_SetVolume(nullptr, 1) ||
                 CQWaveOut_Mute(nullptr, true) || CQWaveOut_Pause(nullptr) ||
                 CQWaveOut_Play(nullptr));
    EXPECT_EQ(CQWaveOut_GetVolume(nullptr) + CQWaveOut_QueuedBlocks(nullptr), 0);
    EXPECT_TRUE(CQWaveOut_Close(nullptr));
    CQWaveOut_Destroy(nullptr);

    CQWaveOut wave;
    // Closed: no device to ask, but the mute flag follows the rules.
    EXPECT_EQ(wave.GetVolume(), 0);
    wave.Mute(true);
    wave.SetVolume(0);
    EXPECT_TRUE(wave.IsMuted());
    wave.SetVolume(1);
    EXPECT_FALSE(wave.IsMuted());
    wave.WriteAudioBlock(static_cast<unsigned char*>(std::malloc(16)), 16, false);  // freed
    EXPECT_EQ(wave.QueuedBlocks(), 0);

    WAVEFORMATEX bad = Format(1, 16);
    bad.nBlockAlign = 4;
    wave.Open(bad);
    EXPECT_EQ(wave.Handle(), nullptr);
    EXPECT_EQ(TraceCount("waveOutOpen error\r\rn"), 1);

    wave.Open(Format(1, 16));
    ASSERT_NE(wave.Handle(), nullptr);
    wave.Pause();
    Write(wave, block);
    wave.WriteAudioBlock(nullptr, 0, true);  // an empty block is queued and freed too
    EXPECT_EQ(wave.QueuedBlocks(), 2);
    wave.Close();
    EXPECT_NE(wave.Handle(), nullptr) << "the device refuses to close while blocks are queued";
    wave.Play();
    wave.Close();
    EXPECT_EQ(wave.Handle(), nullptr);
    EXPECT_EQ(TraceCount("waveOutProc\r\n"), 0) << "only the three messages come";
    CQWaveOut::waveOutProc(nullptr, 0x3BE, 0, 0, 0);
    EXPECT_EQ(TraceCount("waveOutProc\r\n"), 1);

    // The loader: nothing from a missing file (size untouched) or an empty one (size 0).
    const Bytes content = Samples(3000, 5);
    std::ofstream(g_dir / "empty.pcm").close();
    std::ofstream(g_dir / "sound.pcm", std::ios::binary) << content;
    for (auto [name, want, wantSize] :
         {std::tuple{"missing.pcm", Bytes{}, 1234u}, std::tuple{"empty.pcm", Bytes{}, 0u},
          std::tuple{"sound.pcm", content, 6000u}}) {
        uint32_t size = 1234;
        unsigned char* loaded = CQWaveOut::loadAudioBlock((g_dir / name).c_str(), size);
        EXPECT_EQ(size, wantSize) << name;
        ASSERT_EQ(loaded != nullptr, !want.empty()) << name;
        EXPECT_EQ(loaded ? Bytes(loaded, loaded + size) : Bytes{}, want) << name;
        std::free(loaded);
    }
}

// The synchronous write uses a header of its own, so it works on a device opened by Open
// (whose callback frees every other header) and leaves the caller's bytes alone. While it
// waits on a paused device, Play from another thread ends the wait, and a Close or Destroy
// right after it must not free what the waiting call still reads (AddressSanitizer watches).
TEST(WaveOut, SynchronousWriteMeetsPlayCloseAndDestroy) {
    const std::string path = UseDiskFile("sync");
    const Bytes block = Samples(800, 7);
    CQWaveOut* played = CQWaveOut_Create();
    CQWaveOut_Open(played, Format(1, 16));
    CQWaveOut_writeAudioBlock(played, Data(block), uint32_t(block.size()));
    CQWaveOut_Destroy(played);
    EXPECT_NE(nettest::ReadFile(path).find(block), std::string::npos);

    for (int round = 0; round < 200; ++round) {
        CQWaveOut* wave = CQWaveOut_Create();
        std::thread writer;
        // The writer is known to wait once a Close is refused for its queued block; a Close
        // that comes first is accepted, and the writer then returns at once: try again.
        while (!writer.joinable() || wave->Handle() == nullptr) {
            if (writer.joinable()) writer.join();
            CQWaveOut_Open(wave, Format(1, 16, 3200));  // the shortest pull: a quick close
            CQWaveOut_Pause(wave);
            writer = std::thread(
                [&] { CQWaveOut_writeAudioBlock(wave, Data(block), uint32_t(block.size())); });
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            CQWaveOut_Close(wave);
        }
        if (round % 3 != 2) CQWaveOut_Play(wave);
        if (round % 3 == 0) CQWaveOut_Close(wave);
        CQWaveOut_Destroy(wave);
        writer.join();
    }
}

// The device itself: WOM_OPEN, WOM_DONE per block in write order and WOM_CLOSE, all on one
// thread that is not the caller's; a header stays busy until its WOM_DONE has been handled;
// from the callback a reset is served and a close is refused instead of waiting for itself.
TEST(WaveOutDevice, MessagesInOrderOnTheirOwnThread) {
    using namespace platform;
    UseDiskFile("device");
    struct Seen {
        std::mutex lock;
        std::vector<std::pair<uint32_t, uintptr_t>> messages;
        std::vector<std::thread::id> threads;
        MMRESULT closeFromCallback = 0;
        MMRESULT resetFromCallback = 1;
    } seen;
    auto proc = [](HWAVEOUT device, uint32_t message, uintptr_t instance, uintptr_t p1, uintptr_t) {
        auto* s = reinterpret_cast<Seen*>(instance);
        std::lock_guard<std::mutex> guard(s->lock);
        s->messages.emplace_back(message, p1);
        s->threads.push_back(std::this_thread::get_id());
        if (message == WOM_DONE && s->messages.size() == 2) {
            s->closeFromCallback = waveOutClose(device);
            s->resetFromCallback = waveOutReset(device);
        }
    };
    HWAVEOUT device = nullptr;
    const WAVEFORMATEX format = Format(1, 16);
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, proc, reinterpret_cast<uintptr_t>(&seen),
                          CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    const Bytes samples = Samples(800, 2);
    std::vector<WAVEHDR> headers(4);
    waveOutPause(device);
    for (WAVEHDR& h : headers) {
        h.lpData = const_cast<char*>(samples.data());
        h.dwBufferLength = static_cast<uint32_t>(samples.size());
        EXPECT_EQ(waveOutWrite(device, &h, sizeof h), WAVERR_UNPREPARED);
        ASSERT_EQ(waveOutPrepareHeader(device, &h, sizeof h), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(device, &h, sizeof h), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(waveOutUnprepareHeader(device, &headers[0], sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);
    waveOutRestart(device);
    // The first WOM_DONE resets from the callback: the other three follow as dropped.
    ASSERT_TRUE(nettest::PollUntil([&] {
        return waveOutUnprepareHeader(device, &headers[3], sizeof(WAVEHDR)) != WAVERR_STILLPLAYING;
    }));
    for (WAVEHDR& h : headers) {
        EXPECT_EQ(waveOutUnprepareHeader(device, &h, sizeof h), MMSYSERR_NOERROR);
        EXPECT_EQ(h.dwFlags & (WHDR_DONE | WHDR_INQUEUE | WHDR_PREPARED), WHDR_DONE);
    }
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);

    EXPECT_EQ(seen.closeFromCallback, MMSYSERR_HANDLEBUSY);
    EXPECT_EQ(seen.resetFromCallback, MMSYSERR_NOERROR);
    ASSERT_EQ(seen.messages.size(), 6u);
    EXPECT_EQ(seen.messages.front().first, WOM_OPEN);
    for (size_t i = 0; i < headers.size(); ++i) {
        EXPECT_EQ(seen.messages[i + 1].first, WOM_DONE);
        EXPECT_EQ(seen.messages[i + 1].second, reinterpret_cast<uintptr_t>(&headers[i]));
    }
    EXPECT_EQ(seen.messages.back().first, WOM_CLOSE);
    for (const auto& id : seen.threads) {
        EXPECT_EQ(id, seen.threads.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
}
