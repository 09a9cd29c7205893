// Interfaces for media readers that hosts implement: a reader hands out video and audio
// samples one at a time and reports durations, position and end; the network variant adds
// connecting and two events. The library declares them for its hosts but neither implements
// nor calls them; the stream source CQMyFile does not derive from them.
//
// The order of the virtual functions is part of the interface: a host built against it
// calls through slots by position, so operations are only ever added after the last one.
// Only the three audio operations have bodies; a reader without sound keeps them.
#pragma once

#include <cstdint>

#include "net/event_handler.h"

class IQMediaReader {
public:
    IQMediaReader() = default;
    IQMediaReader(const IQMediaReader&) = default;
    IQMediaReader& operator=(const IQMediaReader&) = default;
    virtual ~IQMediaReader();

    virtual bool Open(const char* location) = 0;
    virtual bool Close() = 0;
    // The next audio sample: its bytes (owned by the reader, valid until the next call), its
    // size and whether it is the last; returns 1 when a sample was given, 0 when none is.
    // Without sound: 0, arguments unchanged.
    virtual int GetNextAudioSample(unsigned char*& data, int& size, bool& last);
    // The same for video; key tells a sample that decodes on its own.
    virtual int GetNextVideoSample(unsigned char*& data, int& size, bool& key) = 0;
    virtual bool GetVideoDuration(double& seconds) = 0;
    // Without sound: true, seconds unchanged.
    virtual bool GetAudioDuration(double& seconds);
    virtual bool Play() = 0;
    virtual bool Pause() = 0;
    virtual bool Seek(double seconds) = 0;
    virtual bool GetPosition(double& seconds) = 0;
    // Without sound the audio has always ended.
    virtual bool IsAudioEnd();
    virtual bool IsVideoEnd() = 0;
    virtual bool GetVideoSize(int& width, int& height) = 0;
    virtual bool SetSpeed(int32_t speed) = 0;
    virtual int32_t GetSpeed() = 0;
};

class IQMediaReader_Network : public virtual IQMediaReader {
public:
    // Raised with the bytes received so far.
    using ReceivedEvent = QEvent::CQEvenHandler<IQMediaReader_Network*, int64_t>;
    // Raised with true when the connection is up, false when it is lost or closed.
    using ConnectedEvent = QEvent::CQEvenHandler<IQMediaReader_Network*, bool>;

    IQMediaReader_Network() = default;
    // Copies take the other's handler lists (each event keeps a lock of its own) and its
    // timeout.
    IQMediaReader_Network(const IQMediaReader_Network&) = default;
    IQMediaReader_Network& operator=(const IQMediaReader_Network&) = default;
    virtual ~IQMediaReader_Network();

    virtual bool Connect(const char* host, int32_t port) = 0;
    virtual bool Disconnect() = 0;
    virtual bool IsConnected() = 0;
    virtual bool SetCredentials(const char* user, const char* password) = 0;
    virtual bool SendCommand(const char* command) = 0;
    virtual int64_t GetReceivedBytes() = 0;
    virtual bool SetBufferSize(int32_t bytes) = 0;
    virtual int32_t GetBufferSize() = 0;
    virtual bool Reconnect() = 0;

    ReceivedEvent m_evReceived;
    ConnectedEvent m_evConnected;
    int32_t m_nTimeout = 0;  // ms a network operation may take; 0 lets the reader choose
};
