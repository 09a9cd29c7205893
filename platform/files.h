// Paths, directories and raw file handles.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

std::string WideToUtf8(const wchar_t* text);
std::wstring Utf8ToWide(const char* text);

// Folder of the running executable, ending in '/'.
std::string ModuleDirectory();
bool PathIsRelative(const char* path);
// Creates every missing level of the folder; true when the folder exists afterwards.
bool CreateDirectories(const std::string& folder);
// The folder part of a path ("" when the path has no '/').
std::string DirectoryOf(const std::string& path);
bool DeleteFile(const char* path);
bool FileExists(const char* path);

// Creation dispositions and access rights of a file handle.
enum class Disposition {
    CreateNew = 1,
    CreateAlways = 2,
    OpenExisting = 3,
    OpenAlways = 4,
    TruncateExisting = 5
};
constexpr uint32_t GENERIC_READ = 0x80000000;
constexpr uint32_t GENERIC_WRITE = 0x40000000;

// An owned file descriptor.
class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool Open(const char* path, Disposition disposition, uint32_t access);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // Bytes transferred, or -1 on failure.
    int64_t Read(void* buffer, int64_t count);
    int64_t Write(const void* buffer, int64_t count);
    // origin: 0 beginning, 1 current, 2 end. Returns the new position or -1.
    int64_t Seek(int64_t offset, int origin);
    int64_t Position() const;
    int64_t Size() const;

private:
    int fd_ = -1;
};

}  // namespace platform
