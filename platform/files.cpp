#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cwchar>
#include <filesystem>
#include <system_error>

namespace platform {

std::string WideToUtf8(const wchar_t* text) {
    std::string out;
    if (text == nullptr) return out;
    for (; *text; ++text) {
        auto c = static_cast<uint32_t>(*text);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring Utf8ToWide(const char* text) {
    std::wstring out;
    if (text == nullptr) return out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        uint32_t c = *p;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra) c &= 0x3F >> extra;
        ++p;
        for (; extra > 0 && (*p & 0xC0) == 0x80; --extra, ++p) c = (c << 6) | (*p & 0x3F);
        out += static_cast<wchar_t>(extra ? 0xFFFD : c);
    }
    return out;
}

std::string ModuleDirectory() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./";
    std::string path(buf, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

bool PathIsRelative(const char* path) {
    return path == nullptr || path[0] != '/';
}

bool CreateDirectories(const std::string& folder) {
    if (folder.empty()) return true;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return std::filesystem::is_directory(folder, ec);
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool DeleteFile(const char* path) {
    return path != nullptr && unlink(path) == 0;
}

bool FileExists(const char* path) {
    struct stat st {};
    return path != nullptr && stat(path, &st) == 0;
}

bool FileHandle::Open(const char* path, Disposition disposition, uint32_t access) {
    Close();
    int flags = O_CLOEXEC;
    const bool read = access & GENERIC_READ, write = access & GENERIC_WRITE;
    flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    switch (disposition) {
        case Disposition::CreateNew:
            flags |= O_CREAT | O_EXCL;
            break;
        case Disposition::CreateAlways:
            flags |= O_CREAT | O_TRUNC;
            break;
        case Disposition::OpenExisting:
            break;
        case Disposition::OpenAlways:
            flags |= O_CREAT;
            break;
        case Disposition::TruncateExisting:
            flags |= O_TRUNC;
            break;
    }
    fd_ = ::open(path, flags, 0644);
    return fd_ >= 0;
}

void FileHandle::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int64_t FileHandle::Read(void* buffer, int64_t count) {
    if (fd_ < 0 || count < 0) return -1;
    ssize_t n;
    do n = ::read(fd_, buffer, static_cast<size_t>(count));
    while (n < 0 && errno == EINTR);
    return n;
}

int64_t FileHandle::Write(const void* buffer, int64_t count) {
    if (fd_ < 0 || count < 0) return -1;
    ssize_t n;
    do n = ::write(fd_, buffer, static_cast<size_t>(count));
    while (n < 0 && errno == EINTR);
    return n;
}

int64_t FileHandle::Seek(int64_t offset, int origin) {
    if (fd_ < 0 || origin < 0 || origin > 2) return -1;
    static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    return ::lseek(fd_, offset, kWhence[origin]);
}

int64_t FileHandle::Position() const {
    return fd_ < 0 ? 0 : ::lseek(fd_, 0, SEEK_CUR);
}

int64_t FileHandle::Size() const {
    struct stat st {};
    return fd_ >= 0 && fstat(fd_, &st) == 0 ? st.st_size : 0;
}

}  // namespace platform
