// A stream over an operating-system file handle.
#pragma once
#include <cstdint>
#include <string>

#include "foundation/stream.h"
#include "platform/files.h"

namespace QIO::QFile {

class CQFileStream : public IQStream {
public:
    static constexpr uint32_t FileMode_CreateNew = 1;
    static constexpr uint32_t FileMode_Create = 2;
    static constexpr uint32_t FileMode_Open = 3;
    static constexpr uint32_t FileMode_OpenOrCreate = 4;
    static constexpr uint32_t FileMode_Truncate = 5;
    static constexpr uint32_t Access_Read = 0x80000000;
    static constexpr uint32_t Access_Write = 0x40000000;
    static constexpr uint32_t Access_ReadWrite = 0xC0000000;

    CQFileStream() = default;
    virtual ~CQFileStream() = default;
    CQFileStream(const CQFileStream&) = delete;
    CQFileStream& operator=(const CQFileStream&) = delete;

    bool Open(const wchar_t* path, uint32_t mode, uint32_t access);
    // A relative path is taken from the executable's folder; missing folders are created.
    bool Open(const wchar_t* path);
    bool Close();
    bool IsOpen() const { return m_file.IsOpen(); }
    const std::wstring& GetFileName() const { return m_strFileName; }

    long long GetPosition() const override;
    void SetPosition(long long position) override;
    long long GetLength() const override;
    int ReadBytes(void* buffer, int count) override;
    int WriteBytes(unsigned char* buffer, int count) override;
    bool Seek(long long offset, SeekOrigins origin) override;

private:
    std::wstring m_strFileName;
    platform::FileHandle m_file;
    uint32_t m_uMode = FileMode_Open;
    uint32_t m_uAccess = Access_Read;
};

}  // namespace QIO::QFile

namespace QIO {

class CQFile {
public:
    // Deliberately does nothing: kept for hosts that call it.
    static bool Delete(const wchar_t*) { return true; }
};

}  // namespace QIO
