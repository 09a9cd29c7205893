// The byte stream interface shared by memory and file streams.
#pragma once

namespace QIO {

enum SeekOrigins { SeekOrigin_Begin = 0, SeekOrigin_Current = 1, SeekOrigin_End = 2 };

class IQStream {
public:
    virtual long long GetPosition() const = 0;
    virtual void SetPosition(long long position) = 0;
    virtual long long GetLength() const = 0;
    virtual int ReadBytes(void* buffer, int count) = 0;
    virtual int WriteBytes(unsigned char* buffer, int count) = 0;
    virtual bool Seek(long long offset, SeekOrigins origin) = 0;

protected:
    // Streams are owned through their concrete types (or shared pointers to them).
    ~IQStream() = default;
};

}  // namespace QIO
