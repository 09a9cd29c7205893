// The wave output against SDL's disk audio driver: everything the device plays, silence
// included, ends up in a file, which the tests search for the samples they queued.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "element/CQWaveOut.h"
#include "platform/wave_out.h"
#include "varnel/varnel.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

std::filesystem::path TempDir() {
    auto dir =
        std::filesystem::temp_directory_path() / ("varnel_wave_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

// Each test runs in a process of its own: the folder goes with it.
class RemoveTempDir : public ::testing::Environment {
    void TearDown() override { std::filesystem::remove_all(TempDir()); }
};
const auto* const g_removeTempDir = ::testing::AddGlobalTestEnvironment(new RemoveTempDir);

// Sends the device of the next open to a file of its own.
std::string UseDiskFile(const std::string& name) {
    const std::string path = (TempDir() / (name + ".raw")).string();
    std::filesystem::remove(path);
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
    return path;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

WAVEFORMATEX Format(uint16_t channels, uint16_t bits, uint32_t rate = 8000) {
    WAVEFORMATEX f{};
    f.wFormatTag = 1;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

// 16-bit little-endian samples, never 0, distinct per seed: a block is found in the output
// only where it was played.
std::vector<int16_t> Samples(int count, int seed) {
    std::vector<int16_t> s(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        s[static_cast<size_t>(i)] = static_cast<int16_t>(((seed * 7919 + i * 37) % 30000) + 1000);
    return s;
}

Bytes ToBytes(const std::vector<int16_t>& samples) {
    Bytes b;
    for (int16_t v : samples) {
        b.push_back(static_cast<unsigned char>(v & 0xFF));
        b.push_back(static_cast<unsigned char>((static_cast<uint16_t>(v) >> 8) & 0xFF));
    }
    return b;
}

// Position of needle in haystack at or after from, or npos.
size_t Find(const Bytes& haystack, const Bytes& needle, size_t from = 0) {
    if (from > haystack.size()) return std::string::npos;
    auto it = std::search(haystack.begin() + static_cast<std::ptrdiff_t>(from), haystack.end(),
                          needle.begin(), needle.end());
    return it == haystack.end() ? std::string::npos : static_cast<size_t>(it - haystack.begin());
}

unsigned char* MallocCopy(const Bytes& b) {
    auto* p = static_cast<unsigned char*>(std::malloc(b.size()));
    std::memcpy(p, b.data(), b.size());
    return p;
}

// Generous: the device plays in real time, and a sanitizer build is slow.
bool WaitDrained(const CQWaveOut& wave) {
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (wave.QueuedBlocks() != 0) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct TraceLines {
    std::mutex lock;
    std::vector<std::string> lines;
    TraceLines() { varnel_set_trace_sink(Collect, this); }
    ~TraceLines() { varnel_set_trace_sink(nullptr, nullptr); }
    static void Collect(const char* line, void* user) {
        auto* t = static_cast<TraceLines*>(user);
        std::lock_guard<std::mutex> guard(t->lock);
        t->lines.emplace_back(line);
    }
    int Count(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
};

}  // namespace

// Blocks queued by copy and by hand-over play back to back in the order written, each freed
// once played (the count returns to 0; LeakSanitizer and AddressSanitizer see every block
// freed exactly once), and a block given by copy stays the caller's, unchanged.
TEST(WaveOut, BlocksPlayInOrderAndAreFreed) {
    const std::string path = UseDiskFile("order");
    std::vector<Bytes> blocks;
    for (int i = 0; i < 8; ++i) blocks.push_back(ToBytes(Samples(400 + 40 * i, i)));
    {
        CQWaveOut wave;
        wave.Open(Format(1, 16));
        ASSERT_NE(wave.Handle(), nullptr);
        EXPECT_EQ(wave.GetVolume(), 65535);
        for (size_t i = 0; i < blocks.size(); ++i) {
            if (i % 2 == 0) {
                Bytes mine = blocks[i];
                wave.WriteAudioBlock(mine.data(), static_cast<int32_t>(mine.size()), true);
                EXPECT_EQ(mine, blocks[i]);
            } else {
                wave.WriteAudioBlock(MallocCopy(blocks[i]), static_cast<int32_t>(blocks[i].size()),
                                     false);
            }
        }
        EXPECT_GT(wave.QueuedBlocks(), 0);
        ASSERT_TRUE(WaitDrained(wave));
        wave.Close();
        EXPECT_EQ(wave.Handle(), nullptr);
    }
    const Bytes out = ReadFile(path);
    size_t at = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const size_t found = Find(out, blocks[i], at);
        ASSERT_NE(found, std::string::npos) << "block " << i << " not played after block " << i - 1;
        at = found + blocks[i].size();
    }
}

// The volume words scale the samples as they are played: low word left, high word right, the
// words being (v << 8) | v; muted blocks come out silent; unmuting restores the saved volume
// the same way.
TEST(WaveOut, VolumeAndMuteScaleTheSamples) {
    const std::string path = UseDiskFile("volume");
    const std::vector<int16_t> stereo = Samples(2 * 600, 3);  // interleaved left, right
    const Bytes raw = ToBytes(stereo);
    auto scaled = [&](uint32_t left, uint32_t right) {
        std::vector<int16_t> s = stereo;
        for (size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<int16_t>(s[i] * static_cast<int32_t>(i % 2 == 0 ? left : right) /
                                        65535);
        return ToBytes(s);
    };
    CQWaveOut wave;
    wave.Open(Format(2, 16));
    ASSERT_NE(wave.Handle(), nullptr);
    auto play = [&] {
        wave.WriteAudioBlock(const_cast<unsigned char*>(raw.data()),
                             static_cast<int32_t>(raw.size()), true);
        ASSERT_TRUE(WaitDrained(wave));
    };
    wave.SetVolume(255);  // words 0x0000FFFF: left full, right silent
    EXPECT_EQ(wave.GetVolume(), 65535);
    play();
    wave.SetVolume(128);  // 0x00008080
    EXPECT_EQ(wave.GetVolume(), 0x8080);
    play();
    wave.Mute(true);
    EXPECT_TRUE(wave.IsMuted());
    EXPECT_EQ(wave.GetVolume(), 0);
    play();
    wave.Mute(true);   // a second mute keeps the volume saved by the first
    wave.Mute(false);  // (0x8080 << 8) | 0x8080: left 0x8080, right 0x80
    EXPECT_FALSE(wave.IsMuted());
    EXPECT_EQ(wave.GetVolume(), 0x8080);
    play();
    wave.Close();
    ASSERT_EQ(wave.Handle(), nullptr);

    const Bytes out = ReadFile(path);
    const size_t full = Find(out, scaled(0xFFFF, 0));
    ASSERT_NE(full, std::string::npos);
    const size_t half = Find(out, scaled(0x8080, 0), full + raw.size());
    ASSERT_NE(half, std::string::npos);
    const size_t unmuted = Find(out, scaled(0x8080, 0x80), half + raw.size());
    ASSERT_NE(unmuted, std::string::npos);
    // The muted block played in between, and nothing but silence came out there.
    const size_t gap = unmuted - (half + raw.size());
    EXPECT_GE(gap, raw.size());
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(half + raw.size()),
                            out.begin() + static_cast<std::ptrdiff_t>(unmuted),
                            [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(Find(out, raw), std::string::npos) << "a block played at full volume on both sides";
}

// 8-bit samples are unsigned around 128: scaling must keep silence at 128, not pull it to 0.
TEST(WaveOut, EightBitVolumeScalesAroundTheMiddle) {
    const std::string path = UseDiskFile("eight");
    Bytes raw(800);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<unsigned char>(i % 2 ? 28 : 228);
    CQWaveOut wave;
    wave.Open(Format(1, 8));
    ASSERT_NE(wave.Handle(), nullptr);
    wave.SetVolume(128);  // left word 0x8080
    wave.WriteAudioBlock(raw.data(), static_cast<int32_t>(raw.size()), true);
    ASSERT_TRUE(WaitDrained(wave));
    wave.Close();
    Bytes expected(raw.size());
    for (size_t i = 0; i < raw.size(); ++i)
        expected[i] = static_cast<unsigned char>(128 + (raw[i] - 128) * 0x8080 / 65535);
    const Bytes out = ReadFile(path);
    EXPECT_NE(Find(out, expected), std::string::npos);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0), 0) << "8-bit silence must be 128";
}

// Pause holds output (silence plays); Play resets: every queued block is freed before it
// returns and none of them is ever heard; the next block plays at once.
TEST(WaveOut, ResetDropsWhatIsQueued) {
    const std::string path = UseDiskFile("reset");
    std::vector<Bytes> dropped;
    for (int i = 0; i < 5; ++i) dropped.push_back(ToBytes(Samples(800, 10 + i)));
    const Bytes after = ToBytes(Samples(400, 99));
    CQWaveOut wave;
    wave.Open(Format(1, 16));
    ASSERT_NE(wave.Handle(), nullptr);
    wave.Pause();
    for (const Bytes& b : dropped)
        wave.WriteAudioBlock(MallocCopy(b), static_cast<int32_t>(b.size()), false);
    EXPECT_EQ(wave.QueuedBlocks(), 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // paused: nothing plays
    EXPECT_EQ(wave.QueuedBlocks(), 5);
    wave.Play();
    EXPECT_EQ(wave.QueuedBlocks(), 0);
    wave.Close();  // nothing queued: accepted
    EXPECT_EQ(wave.Handle(), nullptr);
    const Bytes silent = ReadFile(path);
    for (const Bytes& b : dropped)
        EXPECT_EQ(Find(silent, Bytes(b.begin(), b.begin() + 64)), std::string::npos);

    const std::string second = UseDiskFile("reset_after");
    wave.Open(Format(1, 16));
    ASSERT_NE(wave.Handle(), nullptr);
    wave.WriteAudioBlock(const_cast<unsigned char*>(after.data()),
                         static_cast<int32_t>(after.size()), true);
    ASSERT_TRUE(WaitDrained(wave));
    wave.Close();
    EXPECT_NE(Find(ReadFile(second), after), std::string::npos);
}

// The edges of the interface: a close refused while blocks are queued keeps the device, a
// closed object's volume and mute, a refused format, an unknown message, the file loader.
TEST(WaveOut, EdgeCases) {
    TraceLines traces;
    UseDiskFile("edges");
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
    EXPECT_EQ(traces.Count("waveOutOpen error\r\rn"), 1);

    wave.Open(Format(1, 16));
    ASSERT_NE(wave.Handle(), nullptr);
    wave.Pause();
    const Bytes block = ToBytes(Samples(200, 1));
    wave.WriteAudioBlock(const_cast<unsigned char*>(block.data()),
                         static_cast<int32_t>(block.size()), true);
    wave.WriteAudioBlock(nullptr, 0, true);  // an empty block is queued and freed too
    EXPECT_EQ(wave.QueuedBlocks(), 2);
    wave.Close();
    EXPECT_NE(wave.Handle(), nullptr) << "the device refuses to close while blocks are queued";
    wave.Play();
    wave.Close();
    EXPECT_EQ(wave.Handle(), nullptr);
    EXPECT_EQ(traces.Count("waveOutProc\r\n"), 0) << "only the three messages come";
    CQWaveOut::waveOutProc(nullptr, 0x3BE, 0, 0, 0);
    EXPECT_EQ(traces.Count("waveOutProc\r\n"), 1);

    const auto dir = TempDir();
    uint32_t size = 1234;
    EXPECT_EQ(CQWaveOut::loadAudioBlock((dir / "missing.pcm").c_str(), size), nullptr);
    EXPECT_EQ(size, 1234u);
    std::ofstream((dir / "empty.pcm").string()).close();
    EXPECT_EQ(CQWaveOut::loadAudioBlock((dir / "empty.pcm").c_str(), size), nullptr);
    EXPECT_EQ(size, 0u);
    const Bytes content = ToBytes(Samples(3000, 5));
    std::ofstream((dir / "sound.pcm").string(), std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    unsigned char* loaded = CQWaveOut::loadAudioBlock((dir / "sound.pcm").c_str(), size);
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(size, content.size());
    EXPECT_EQ(Bytes(loaded, loaded + size), content);
    std::free(loaded);
}

// The synchronous write uses a header of its own, so it works on a device opened by Open
// (whose callback frees every other header): it returns once the block has played, leaves
// the caller's bytes alone, and a reset from another thread ends its wait early.
TEST(WaveOut, SynchronousWriteOnItsOwnDevice) {
    const std::string path = UseDiskFile("sync");
    const Bytes block = ToBytes(Samples(1600, 7));  // 200 ms
    CQWaveOut wave;
    wave.Open(Format(1, 16));
    ASSERT_NE(wave.Handle(), nullptr);
    const auto start = Clock::now();
    CQWaveOut::writeAudioBlock(wave.Handle(), block.data(), static_cast<uint32_t>(block.size()));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(wave.QueuedBlocks(), 0);

    wave.Pause();  // the next block would never play
    std::thread writer([&] {
        CQWaveOut::writeAudioBlock(wave.Handle(), block.data(),
                                   static_cast<uint32_t>(block.size()));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    wave.Play();
    writer.join();
    wave.Close();
    EXPECT_EQ(wave.Handle(), nullptr);
    EXPECT_NE(Find(ReadFile(path), block), std::string::npos);
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
    const Bytes samples = ToBytes(Samples(800, 2));
    std::vector<WAVEHDR> headers(4);
    waveOutPause(device);
    for (WAVEHDR& h : headers) {
        h.lpData = reinterpret_cast<char*>(const_cast<unsigned char*>(samples.data()));
        h.dwBufferLength = static_cast<uint32_t>(samples.size());
        EXPECT_EQ(waveOutWrite(device, &h, sizeof h), WAVERR_UNPREPARED);
        ASSERT_EQ(waveOutPrepareHeader(device, &h, sizeof h), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(device, &h, sizeof h), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(waveOutUnprepareHeader(device, &headers[0], sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);
    waveOutRestart(device);
    // The first WOM_DONE resets from the callback: the other three follow as dropped.
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (waveOutUnprepareHeader(device, &headers[3], sizeof(WAVEHDR)) == WAVERR_STILLPLAYING) {
        ASSERT_LT(Clock::now(), end);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
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
