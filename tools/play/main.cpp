// varnel-play: a host program of libvarnel, built on its public C interface alone.
#include <cstdio>
#include <string>
#include <vector>

#include <varnel/varnel.h>

#include "options.h"
#include "session.h"

int main(int argc, char** argv) {
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
    return play::RunSession(parsed.options);
}
