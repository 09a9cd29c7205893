// One export from start to end: the request, the records routed to their channels' files, the
// host's progress callback on the host's own thread, and the outcome.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "export/channel_clip.h"
#include "export/feed.h"
#include "varnel/varnel.h"

namespace exporter {

class Exporter : public RecordSink {
public:
    // channels empty: the one channel of setting's Key, in files named as path is.
    Exporter(const StreamSetting& setting, std::vector<int32_t> channels, std::string path);

    // Runs the export on the calling thread and returns a VARNEL_EXPORT_ outcome.
    int32_t Run(varnel_export_progress progress, void* user);
    void Summarize(varnel_export_summary& summary) const;

    void Take(const frameheader1& rec, const uint8_t* payload) override;
    void Ended(FeedEnd how) override;

private:
    std::string Url() const;
    // Calls the host's progress callback; false, and the export cancelled, when it says so.
    bool Report(varnel_export_progress progress, void* user, int64_t time, int64_t bytes);
    // The outcome once the feed is over and its thread has ended.
    int32_t Conclude(FeedEnd how);
    void Stop(int32_t outcome);

    StreamSetting setting_;
    std::vector<int32_t> channels_;
    std::string path_;
    int64_t beginTime_;  // frame times of the start and the end of the range
    int64_t endTime_;
    std::map<int32_t, std::unique_ptr<ChannelClip>> clips_;

    // The hand-off between the delivering thread and the host's thread.
    std::mutex mutex_;
    std::condition_variable changed_;
    int64_t reached_ = 0;  // frame time of the latest record written
    int64_t written_ = 0;  // bytes in all files
    bool ended_ = false;   // the feed is over, or the export stopped
    FeedEnd how_ = FeedEnd::Closed;
    // Set when the export stops before the feed ends; read by the delivering thread at every
    // record.
    std::atomic<int32_t> stopped_{VARNEL_EXPORT_DONE};

    // On the delivering thread; read by the host's thread once the feed is closed.
    bool pastEnd_ = false;  // a picture beyond the range came: the range is complete
};

}  // namespace exporter
