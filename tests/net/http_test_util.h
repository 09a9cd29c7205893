// Helpers of the HTTP tests: running the independent credential script, temporary folders,
// and a client that records what reaches its hooks.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/http/http_client.h"
#include "net/http/http_request.h"
#include "net/http/http_response.h"

namespace nettest {

// A fresh folder under the system's temporary folder, removed with the object.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::random_device rd;
        path = std::filesystem::temp_directory_path() /
               ("varnel-net-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path);
        // Servers started as root serve with an unprivileged user, which must read in here.
        std::filesystem::permissions(
            path, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                      std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                      std::filesystem::perms::others_exec);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

inline std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
}

inline std::string Quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the credential script with the arguments and returns its first output line.
inline std::string AuthTool(const std::vector<std::string>& args) {
    TempDir dir;
    std::string cmd = "python3 " + Quote(std::string(VARNEL_TEST_SOURCE_DIR) + "/http_auth.py");
    for (const std::string& a : args) cmd += " " + Quote(a);
    cmd += " > " + Quote(dir / "out");
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::string out = ReadFile(dir / "out");
    if (const size_t nl = out.find('\n'); nl != std::string::npos) out.resize(nl);
    return out;
}

// A client that records every CheckContent and RecvEnd call.
class RecordingClient : public QNetwork::QProtocol::HTTP::CQHttpClient {
public:
    struct Call {
        std::thread::id thread;
        std::string bytes;
    };

    QNetwork::QProtocol::HTTP::CQHttpRequest& Request() { return *m_pRequest; }
    QNetwork::CQSocket& Socket() { return *m_pSocket; }
    int LastCode() const { return m_pResponse->GetResponseCode(); }

    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }
    std::string Body() {
        std::lock_guard<std::mutex> guard(lock_);
        std::string all;
        for (const Call& c : calls_) all += c.bytes;
        return all;
    }
    int RecvEnds() {
        std::lock_guard<std::mutex> guard(lock_);
        return recvEnds_;
    }
    std::thread::id RecvEndThread() {
        std::lock_guard<std::mutex> guard(lock_);
        return recvEndThread_;
    }
    bool WaitRecvEnd(int seconds = 10) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(seconds),
                                 [&] { return recvEnds_ > 0; });
    }
    bool WaitBody(size_t bytes, int seconds = 10) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(seconds), [&] {
            size_t n = 0;
            for (const Call& c : calls_) n += c.bytes.size();
            return n >= bytes;
        });
    }

protected:
    void CheckContent(unsigned char* data, int count) override {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back({std::this_thread::get_id(),
                          std::string(reinterpret_cast<char*>(data), static_cast<size_t>(count))});
        changed_.notify_all();
    }
    bool RecvEnd() override {
        std::lock_guard<std::mutex> guard(lock_);
        ++recvEnds_;
        recvEndThread_ = std::this_thread::get_id();
        changed_.notify_all();
        return true;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    int recvEnds_ = 0;
    std::thread::id recvEndThread_;
};

}  // namespace nettest
