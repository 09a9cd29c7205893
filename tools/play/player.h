// The host side of one playback object: fills the open-parameters records, receives the
// library's callbacks, keeps the pictures the rest of the program asked for and forwards the
// controls.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <varnel/varnel.h>

#include "options.h"
#include "picture.h"
#include "timing.h"

namespace play {

class Player {
public:
    // Decides, on the library's thread, whether the picture with this index is to be kept.
    using Wanted = std::function<bool(int64_t index)>;

    Player(const Options& options, std::string saveFolder, Wanted wanted);
    ~Player();  // stops, then destroys the playback object (which may end SDL altogether)
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    void Start();
    // Closes the playback object, waiting until the engine's threads have ended: no callback
    // comes after it. The object itself lives on until the destructor, because destroying the
    // last one shuts SDL down, window and all.
    void Stop();

    // Controls. The speed exponent and direction go to the recorder at once.
    void SetPaused(bool paused);
    void SetSpeed(int exponent);
    void SetOrientation(int orientation);
    // Goes on from the group that holds the frame time (within the opened range): in the
    // on-file mode by the object's position in its index, otherwise by a new request to the
    // recorder from that time, in the direction of play.
    void SeekTo(int64_t frameTime);
    bool Paused() const { return m_paused; }
    int Speed() const { return m_speed; }
    int Orientation() const { return m_orientation; }

    struct Snapshot {
        int64_t pictures = 0;
        int64_t fosPictures = 0;
        int64_t firstFrameTime = -1;
        int64_t lastFrameTime = -1;
        int64_t bufferedUpTo = -1;  // the main source's latest indexed frame time
        int width = 0, height = 0;
        int state = VARNEL_STATE_CLOSED;
        bool ended = false;  // the end callback came
        int feedState = -1;
        bool closed = false;  // the engine reported state 4
        int64_t missed = 0;
        double firstPictureAt = -1;  // seconds since Start
    };
    Snapshot Status();

    // The pictures kept since the last call, in delivery order.
    std::vector<Picture> TakeKept();
    // The latest picture, when it is newer than the serial given; updates the serial.
    bool Latest(Picture& out, int64_t& serial);
    Schedule::Result Timing();
    double SecondsSinceStart() const;

private:
    static void OnFrame(int32_t zero, int32_t state, double position, FrameInfo* frame);
    static void OnEnd(int32_t zero, int32_t feedState, int32_t zero2);
    void Frame(int32_t state, const FrameInfo* frame);
    void Closed();
    void Ended(int32_t feedState);
    // Opens the object on the main record, the FOS stream (when asked for) over its times.
    void OpenObject(const StreamSetting& main);
    // Closes the object and waits for it, so that no picture of the closed stream follows.
    void CloseObject();
    StreamSetting Record(int fosId) const;

    struct Release {
        void operator()(CVarnel1* p) const { CVarnel1_Destory(p); }
    };

    const Options m_options;
    const std::string m_saveFolder;
    const Wanted m_wanted;
    std::unique_ptr<CVarnel1, Release> m_player;
    bool m_running = false;
    bool m_paused = false;
    int m_speed, m_orientation;

    std::mutex m_lock;
    std::condition_variable m_room;  // the main thread took kept pictures
    Snapshot m_status;
    Schedule m_schedule;
    std::vector<Picture> m_kept;
    Picture m_latest;
    int64_t m_latestSerial = 0;
    int64_t m_start = 0;
};

}  // namespace play
