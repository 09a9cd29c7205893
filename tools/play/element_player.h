// The host side of one media element: fills its open-parameters record with the channel list,
// receives its callback, keeps each channel's latest picture scaled into a grid cell and the
// pictures the contact sheet wants, and forwards the controls.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <varnel/varnel.h>

#include "options.h"
#include "picture.h"

struct SwsContext;

namespace play {

class ElementPlayer {
public:
    // Decides, on the library's thread, whether the channel's picture with this index (in
    // the channel's order of delivery) is to be kept whole.
    using Wanted = std::function<bool(size_t channel, int64_t index)>;

    // cellWidth and cellHeight: the size each channel's latest picture is scaled to (0 keeps
    // no latest pictures).
    ElementPlayer(const Options& options, std::string saveFolder, int cellWidth, int cellHeight,
                  Wanted wanted);
    ~ElementPlayer();  // closes and destroys the element
    ElementPlayer(const ElementPlayer&) = delete;
    ElementPlayer& operator=(const ElementPlayer&) = delete;

    void Start();
    // Closes the element: no callback comes after it.
    void Stop();

    // Controls.
    void SetPaused(bool paused);
    void StepForward();
    void StepBack();
    void SetSpeed(int exponent);
    void SetOrientation(int orientation);
    // Goes on from the frame time (within the opened range): in file mode by the element's
    // position among the groups it holds, otherwise by a new request to the recorder from
    // that time, forward.
    void SeekTo(int64_t frameTime);
    bool Paused() const { return m_paused; }
    int Speed() const { return m_speed; }
    int Orientation() const { return m_orientation; }

    struct Channel {
        int channel = 0;
        int64_t pictures = 0;
        int64_t firstFrameTime = -1;
        int64_t lastFrameTime = -1;
        int width = 0, height = 0;
        bool waiting = false;  // reported waiting for a far picture (a hole)
    };
    struct Snapshot {
        std::vector<Channel> channels;  // in the order of the channel list
        int64_t pictures = 0;
        int64_t heldFrom = -1;       // the earliest frame time presented
        int64_t indexedUpTo = -1;    // the latest frame time the file-mode index holds
        double firstPictureAt = -1;  // seconds since Start
        double lastPictureAt = -1;
    };
    Snapshot Status();

    // The pictures kept since the last call: (position in the channel list, picture).
    std::vector<std::pair<size_t, Picture>> TakeKept();
    // Each channel's latest picture in its cell, when any is newer than the serial given, and
    // the frame time of the picture presented last among them.
    bool Cells(std::vector<Picture>& out, int64_t& serial, int64_t& frameTime);
    double SecondsSinceStart() const;

private:
    static void OnPicture(int32_t zero, int32_t state, double zero2, pictureframe* picture,
                          channelstate* channel);
    void Presented(const pictureframe& picture, const channelstate& state);
    void Waiting(const channelstate& state);
    int IndexOf(int channel) const;
    // Opens the element from that time to the range's end and brings it to the speed,
    // direction and pause asked for.
    void Open(const StreamSettingTime& begin);

    struct Release {
        void operator()(CQMediaElement* e) const { CQMediaElement_Destroy(e); }
    };

    const Options m_options;
    const std::string m_saveFolder;
    const int m_cellWidth, m_cellHeight;
    const Wanted m_wanted;
    std::unique_ptr<CQMediaElement, Release> m_element;
    std::vector<int32_t> m_channelList;
    bool m_running = false;
    bool m_paused = false;
    int m_speed = 0, m_orientation = 1;

    std::mutex m_lock;
    Snapshot m_status;
    std::vector<std::pair<size_t, Picture>> m_kept;
    std::vector<Picture> m_cells;
    int64_t m_cellSerial = 0;
    int64_t m_cellFrameTime = -1;
    SwsContext* m_scaler = nullptr;  // library's thread
    double m_start = 0;
};

}  // namespace play
