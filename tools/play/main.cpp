// varnel-play: a host program of libvarnel, built on its public C interface alone.
#include <SDL.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <varnel/varnel.h>

#include "export_mode.h"
#include "options.h"
#include "session.h"

namespace {

SDL_LogOutputFunction g_sdlOutput = nullptr;
void* g_sdlOutputData = nullptr;

// SDL's disk audio driver announces itself at every device open, and the library opens the
// device again at every turn of direction: "CRITICAL: You are using the SDL disk i/o audio
// driver!" and the file it writes to, at a priority no log setting holds back. Whoever runs
// with SDL_AUDIODRIVER=disk chose it (the demo and the tests do, on machines without sound)
// and knows where the sound goes, so those two lines only bury the progress line; every other
// SDL message still reaches SDL's own output.
void DropDiskAudioNotice(void*, int category, SDL_LogPriority priority, const char* message) {
    const std::string_view text(message);
    if (category == SDL_LOG_CATEGORY_AUDIO &&
        (text.starts_with("You are using the SDL disk i/o audio driver") ||
         text.starts_with(" Writing to file [")))
        return;
    g_sdlOutput(g_sdlOutputData, category, priority, message);
}

}  // namespace

int main(int argc, char** argv) {
    SDL_LogGetOutputFunction(&g_sdlOutput, &g_sdlOutputData);
    SDL_LogSetOutputFunction(DropDiskAudioNotice, nullptr);
    std::vector<std::string> args(argv + 1, argv + argc);
    play::ParseResult parsed = play::ParseOptions(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "varnel-play: %s\nTry 'varnel-play --help'.\n", parsed.error.c_str());
        return play::kExitUsage;
    }
    if (parsed.options.help) {
        std::fputs(play::HelpText(), stdout);
        return play::kExitOk;
    }
    if (parsed.options.version) {
        std::printf("varnel-play %s\n", varnel_version());
        return play::kExitOk;
    }
    if (!parsed.options.exportPath.empty()) return play::RunExport(parsed.options);
    return play::RunSession(parsed.options);
}
