#include "export/feed.h"

namespace exporter {

void RecordFeed::WriteFile(RecordPtr rec) {
    if (ended_ || Closing()) return;
    // The splitter has gathered the payload here and clears it after this call.
    const uint8_t* payload = rec->length > 0 ? m_msPayload.ToUChar() : nullptr;
    if (rec->kind == VARNEL_KIND_VIDEO || rec->kind == VARNEL_KIND_AUDIO) sink_.Take(*rec, payload);
}

void RecordFeed::CheckContent(unsigned char* data, int size) {
    if (ended_) return;
    CQMyFile::CheckContent(data, size);
    // The splitter marks the end of the feed at an end record and at a length no record can
    // have; the recorder may keep the connection open after either.
    if (m_bEnd) End(m_bFeedBroken ? FeedEnd::Broken : FeedEnd::Mark);
}

bool RecordFeed::RecvEnd() {
    const bool midRecord = m_nParseState != 0 || m_msRecv.GetLength() > m_msRecv.GetPosition();
    if (!Closing()) End(midRecord ? FeedEnd::Broken : FeedEnd::Closed);
    m_bRecvEnd = true;
    return true;
}

void RecordFeed::End(FeedEnd how) {
    if (ended_) return;
    ended_ = true;
    sink_.Ended(how);
}

}  // namespace exporter
