// Stream source: commands to the recorder and flow control.
#include <algorithm>
#include <cstring>

#include "platform/trace.h"
#include "source/CQMyFile.h"

bool CQMyFile::SetCommand(const command& cmd) {
    std::lock_guard<platform::CriticalSection> lock(m_csCommand);
    if (SameCommand(m_Command, m_SentCommand)) return true;
    std::memcpy(&m_SentCommand, &m_Command, sizeof m_SentCommand);
    char line[256] = {};
    int n;
    if (m_SentCommand.isSeek) {
        char seekTime[sizeof cmd.seekTime + 1] = {};
        std::memcpy(seekTime, cmd.seekTime, sizeof cmd.seekTime);
        n = std::snprintf(line, sizeof line, "IsSeek=True,SeekTime=%s,Orientation=%s\r\n", seekTime,
                          cmd.orientation != 0 ? "Forward" : "Rewind");
    } else {
        n = std::snprintf(line, sizeof line, "Type=%s,OnlyeKyFrame=%d,NOAudio=%d\r\n",
                          cmd.play ? "Play" : "Pause", cmd.onlyKeyFrame ? 1 : 0,
                          cmd.noAudio ? 1 : 0);
    }
    if (n > 0) SendLine(line, n);
    return true;
}

bool CQMyFile::SetPlay() {
    std::lock_guard<platform::CriticalSection> lock(m_csCommand);
    m_Command.play = true;
    return SetCommand(m_Command);
}

bool CQMyFile::SetPause() {
    std::lock_guard<platform::CriticalSection> lock(m_csCommand);
    m_Command.play = false;
    return SetCommand(m_Command);
}

bool CQMyFile::SetSpeed_Oreietion(MediaElementOrientations orientation, bool noAudio,
                                  bool onlyKeyFrame, bool send) {
    std::lock_guard<platform::CriticalSection> lock(m_csCommand);
    m_Command.orientation = orientation;
    m_Command.noAudio = noAudio;
    m_Command.onlyKeyFrame = onlyKeyFrame;
    if (send) SetCommand(m_Command);
    return true;
}

bool CQMyFile::SetSeek(const char* time, MediaElementOrientations orientation) {
    std::lock_guard<platform::CriticalSection> lock(m_csCommand);
    m_Command.orientation = orientation;
    m_Command.isSeek = true;
    // The field holds 31 characters and its NUL; a longer text is cut, never overrun.
    std::memset(m_Command.seekTime, 0, sizeof m_Command.seekTime);
    CopyText(m_Command.seekTime, sizeof m_Command.seekTime, time);
    SetCommand(m_Command);
    m_Command.isSeek = false;
    return true;
}

void CQMyFile::SetMaxBuffer(int first, int second) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    m_nMaxBuffer = first;
    m_nMaxBuffer2 = second;
}

void CQMyFile::FlowControlStep() {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (m_bOnFile || m_nMaxBuffer < 1) return;
    const bool play = FlowControlPlays();
    std::lock_guard<platform::CriticalSection> cmdLock(m_csCommand);
    m_Command.play = play;
    SetCommand(m_Command);
}

bool CQMyFile::FlowControlPlays() const {
    return m_listAhead.size() <= static_cast<size_t>(10 * std::max(m_nChannel, 0));
}

void CQMyFile::CheckBufferSize() {
    FlowControlStep();
}

void CQMyFile::SendLine(const char* text, int length) {
    // The socket reports 0 without a connection: a command on a closed feed goes nowhere.
    if (m_pSocket) m_pSocket->Send(text, length);
}
