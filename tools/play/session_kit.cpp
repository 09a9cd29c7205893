#include "session_kit.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace play {

namespace fs = std::filesystem;

namespace {
volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) {
    g_interrupted = 1;
}
}  // namespace

void CatchInterrupts() {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
}

bool Interrupted() {
    return g_interrupted != 0;
}

void Fail(const std::string& message) {
    std::fprintf(stderr, "varnel-play: %s\n", message.c_str());
}

WorkFolders::~WorkFolders() {
    if (!m_own || m_save.empty()) return;
    std::error_code ec;
    fs::remove(m_save, ec);  // only when the library left it empty
}

bool WorkFolders::Prepare(const Options& o, size_t maxPath) {
    std::error_code ec;
    fs::create_directories(o.outDir, ec);
    if (ec || !fs::is_directory(o.outDir)) {
        Fail("cannot create the output folder " + o.outDir + ": " + ec.message());
        return false;
    }
    const bool own = o.saveFolder.empty();
    const fs::path save = own ? fs::path(o.outDir) / "work" : fs::path(o.saveFolder);
    fs::create_directories(save, ec);
    // The library takes a relative folder from its own location, so hand it an absolute one.
    const std::string absolute = fs::absolute(save, ec).lexically_normal().string();
    if (ec || !fs::is_directory(save)) {
        Fail("cannot create the working folder " + save.string() + ": " + ec.message());
        return false;
    }
    m_save = absolute;
    m_own = own;
    if (m_save.size() >= maxPath) {
        Fail("the working folder's path is too long: " + m_save);
        return false;
    }
    return true;
}

bool WindowWanted(const Options& o) {
    return o.display == Display::Window ||
           (o.display == Display::Auto && Window::DisplayAvailable());
}

bool OpenWindow(const Options& o, std::unique_ptr<Window>& window) {
    window.reset();
    if (!WindowWanted(o)) return true;
    window = std::make_unique<Window>();
    std::string error;
    if (window->Open(error)) return true;
    window.reset();
    if (o.display == Display::Window) {
        Fail("cannot open a window: " + error);
        return false;
    }
    Fail("no window (" + error + "): writing the pictures only");
    return true;
}

}  // namespace play
