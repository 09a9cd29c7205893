#include "export/exporter.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "export/names.h"
#include "net/http/url.h"
#include "platform/trace.h"
#include "platform/wintime.h"
#include "playback_api/CVarnel1.h"

namespace exporter {

namespace {

// Room for the request of 64 channels: the key lists each of them.
constexpr size_t kUrlSize = 2048;
// The host hears from the export at least this often, so that it can always cancel.
constexpr std::chrono::milliseconds kProgressEvery{500};
// A recorder that sends nothing for this long has failed.
constexpr std::chrono::seconds kSilence{30};

int64_t FrameTimeOf(const StreamSettingTime& t) {
    // The platform's calendar counts from 1601 and frame times from year 1: 1600 years apart.
    platform::SYSTEMTIME st{};
    st.wYear = static_cast<uint16_t>(t.Year + 1600);
    st.wMonth = static_cast<uint16_t>(t.Month);
    st.wDay = static_cast<uint16_t>(t.Day);
    st.wHour = static_cast<uint16_t>(t.Hour);
    st.wMinute = static_cast<uint16_t>(t.Minute);
    st.wSecond = static_cast<uint16_t>(t.Second);
    return CQMyFile::SystemTime2FrameTime(st);
}

}  // namespace

Exporter::Exporter(const StreamSetting& setting, std::vector<int32_t> channels, std::string path)
    : setting_(setting),
      channels_(std::move(channels)),
      path_(std::move(path)),
      beginTime_(FrameTimeOf(setting.BeginTime)),
      endTime_(FrameTimeOf(setting.EndTime)) {
    // Texts must end inside their arrays; a record that breaks this is cut there.
    setting_.IP[sizeof setting_.IP - 1] = '\0';
    // A clip runs forward whatever direction the host last played in.
    setting_.Orientation = MediaElementOrientations_Forward;
}

std::string Exporter::Url() const {
    char url[kUrlSize] = {};
    if (channels_.empty()) {
        CVarnel1::BuildURL(&setting_, false, url, sizeof url);
    } else {
        std::string key;
        for (int32_t channel : channels_) {
            if (!key.empty()) key += '.';
            key += std::to_string(channel);
        }
        CVarnel1::BuildURL(&setting_, "PlayBack1_All", key.c_str(), url, sizeof url);
    }
    return url;
}

int32_t Exporter::Run(varnel_export_progress progress, void* user) {
    const bool mp4 = WantsMp4(path_);
    const bool named = !channels_.empty();
    const std::vector<int32_t> channels = named ? channels_ : std::vector<int32_t>{setting_.Key};
    for (int32_t channel : channels) {
        auto clip = std::make_unique<ChannelClip>(path_, mp4, channel, named, beginTime_);
        // Every file is created before the request: a path nobody may write to fails at once.
        if (!clip->Create()) return VARNEL_EXPORT_CANNOT_WRITE;
        clips_.emplace(channel, std::move(clip));
    }
    const std::string url = Url();
    platform::TraceF("export: %s to %s\r\n", QNetwork::QProtocol::HidePassword(url).c_str(),
                     path_.c_str());

    RecordFeed feed(*this);
    feed.OpenURL(url.c_str(), false);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        int64_t seenTime = 0;
        int64_t seenBytes = 0;
        int64_t shownTime = -1;
        int64_t shownBytes = -1;
        auto lastNews = std::chrono::steady_clock::now();
        while (!ended_) {
            changed_.wait_for(lock, kProgressEvery);
            if (ended_) break;
            const auto now = std::chrono::steady_clock::now();
            if (reached_ != seenTime || written_ != seenBytes) {
                seenTime = reached_;
                seenBytes = written_;
                lastNews = now;
            } else if (now - lastNews >= kSilence) {
                // Nothing ends a feed that stops sending while the connection stays open.
                platform::TraceF("export: the recorder sent nothing for %d s\r\n",
                                 static_cast<int>(kSilence.count()));
                int32_t expected = VARNEL_EXPORT_DONE;
                stopped_.compare_exchange_strong(expected, VARNEL_EXPORT_FAILED);
                break;
            }
            if (progress == nullptr) continue;
            lock.unlock();
            const bool goOn = Report(progress, user, seenTime, seenBytes);
            lock.lock();
            shownTime = seenTime;
            shownBytes = seenBytes;
            if (!goOn) break;
        }
        // The last values are always reported, also for an export too quick for any report
        // before: a host sees where it ended, and may still cancel.
        if (progress != nullptr && stopped_ == VARNEL_EXPORT_DONE &&
            (reached_ != shownTime || written_ != shownBytes)) {
            const int64_t time = reached_;
            const int64_t bytes = written_;
            lock.unlock();
            Report(progress, user, time, bytes);
        }
    }
    // The receive thread has ended when this returns: what it wrote is this thread's now.
    feed.Close();
    return Conclude(how_);
}

bool Exporter::Report(varnel_export_progress progress, void* user, int64_t time, int64_t bytes) {
    if (progress(time, bytes, user)) return true;
    int32_t expected = VARNEL_EXPORT_DONE;
    stopped_.compare_exchange_strong(expected, VARNEL_EXPORT_CANCELLED);
    return false;
}

int32_t Exporter::Conclude(FeedEnd how) {
    const int32_t stopped = stopped_;
    if (stopped != VARNEL_EXPORT_DONE) return stopped;  // the files go with the clips
    if (how == FeedEnd::Broken || (how == FeedEnd::Closed && !pastEnd_)) {
        platform::TraceF("export: the feed ended before the range did, nothing kept\r\n");
        return VARNEL_EXPORT_FAILED;
    }
    int64_t pictures = 0;
    for (auto& [channel, clip] : clips_) {
        if (!clip->Finish()) return VARNEL_EXPORT_CANNOT_WRITE;
        pictures += clip->Pictures();
    }
    if (pictures == 0) {
        platform::TraceF("export: no picture in the range, no file written\r\n");
        return VARNEL_EXPORT_NOTHING;
    }
    for (auto& [channel, clip] : clips_) {
        if (!clip->Publish()) return VARNEL_EXPORT_CANNOT_WRITE;
    }
    return VARNEL_EXPORT_DONE;
}

void Exporter::Take(const frameheader1& rec, const uint8_t* payload) {
    if (stopped_ != VARNEL_EXPORT_DONE) return;
    if (rec.frameTime > endTime_) {
        // The recorder finishes its last group with the key frame after the range: a sign
        // that the range is complete, and no part of it.
        if (rec.kind == VARNEL_KIND_VIDEO) pastEnd_ = true;
        return;
    }
    const auto found = channels_.empty() ? clips_.begin() : clips_.find(rec.channel);
    if (found == clips_.end()) return;
    if (!found->second->Take(rec, payload)) {
        Stop(VARNEL_EXPORT_CANNOT_WRITE);
        return;
    }
    int64_t bytes = 0;
    for (const auto& [channel, clip] : clips_) bytes += clip->Bytes();
    std::lock_guard<std::mutex> lock(mutex_);
    reached_ = rec.frameTime;
    written_ = bytes;
    changed_.notify_one();
}

void Exporter::Ended(FeedEnd how) {
    std::lock_guard<std::mutex> lock(mutex_);
    how_ = how;
    ended_ = true;
    changed_.notify_one();
}

void Exporter::Stop(int32_t outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    int32_t expected = VARNEL_EXPORT_DONE;
    stopped_.compare_exchange_strong(expected, outcome);
    ended_ = true;
    changed_.notify_one();
}

void Exporter::Summarize(varnel_export_summary& s) const {
    std::memset(&s, 0, sizeof s);
    int64_t end = 0;
    for (const auto& [channel, clip] : clips_) {
        if (clip->Pictures() == 0) continue;
        s.pictures += clip->Pictures();
        s.soundBlocks += clip->SoundBlocks();
        s.bytes += clip->Bytes();
        s.files += clip->Files();
        if (s.firstFrameTime == 0 || clip->FirstFrameTime() < s.firstFrameTime)
            s.firstFrameTime = clip->FirstFrameTime();
        s.lastFrameTime = std::max(s.lastFrameTime, clip->LastFrameTime());
        end = std::max(end, clip->EndFrameTime());
    }
    if (s.pictures > 0) s.duration = (end - s.firstFrameTime) / 10000;
}

}  // namespace exporter
