#include "foundation/file_stream.h"

#include "platform/trace.h"

namespace QIO::QFile {

bool CQFileStream::Open(const wchar_t* path, uint32_t mode, uint32_t access) {
    m_uMode = mode;
    m_uAccess = access;
    return Open(path);
}

bool CQFileStream::Open(const wchar_t* path) {
    Close();
    std::string name = platform::WideToUtf8(path);
    if (platform::PathIsRelative(name.c_str())) name = platform::ModuleDirectory() + name;
    m_strFileName = platform::Utf8ToWide(name.c_str());
    platform::CreateDirectories(platform::DirectoryOf(name));
    if (m_uMode < FileMode_CreateNew || m_uMode > FileMode_Truncate) return false;
    return m_file.Open(name.c_str(), static_cast<platform::Disposition>(m_uMode), m_uAccess);
}

bool CQFileStream::Close() {
    m_file.Close();
    return true;
}

long long CQFileStream::GetPosition() const {
    return m_file.IsOpen() ? m_file.Position() : 0;
}

void CQFileStream::SetPosition(long long position) {
    if (m_file.IsOpen()) m_file.Seek(position, 0);
}

long long CQFileStream::GetLength() const {
    return m_file.IsOpen() ? m_file.Size() : 0;
}

int CQFileStream::ReadBytes(void* buffer, int count) {
    const int64_t n = m_file.Read(buffer, count);
    if (n < 0) {
        platform::OutputDebugStringA("");
        return 0;
    }
    return static_cast<int>(n);
}

int CQFileStream::WriteBytes(unsigned char* buffer, int count) {
    const int64_t n = m_file.Write(buffer, count);
    if (n < 0) {
        platform::OutputDebugStringA("");
        return 0;
    }
    return static_cast<int>(n);
}

bool CQFileStream::Seek(long long offset, SeekOrigins origin) {
    if (origin >= SeekOrigin_Begin && origin <= SeekOrigin_End) m_file.Seek(offset, origin);
    return true;
}

}  // namespace QIO::QFile
