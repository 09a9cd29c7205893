// The recorder's command line.
#pragma once

#include <optional>
#include <string>

namespace recorder {

enum class EndKind { Mark129, Mark255, Close };
enum class AuthKind { None, Basic, Digest };

struct Options {
    std::string address = "127.0.0.1";
    int port = 8554;
    std::string catalogue;
    std::string log;  // empty: standard error
    double pace = 0;  // 0: as fast as the connection takes; else times real time
    EndKind end = EndKind::Mark129;
    AuthKind auth = AuthKind::None;
    std::string user = "admin", password = "admin", realm = "varnel-recorder";
    // Faults, for reliability tests: 0 = off. Records count from 1 in each answer.
    long long closeAfter = 0;          // bytes of body, then close
    int cutRecord = 0;                 // send half of this record, then close
    int badLength = 0;                 // this record's header says a negative length, then close
    int stallRecord = 0, stallMs = 0;  // wait before this record
    int stallInRecord = 0, stallInMs = 0;  // wait in the middle of this record
    bool noAnswer = false;                 // read the request, then say nothing
};

extern const char* const kHelp;

// Parses argv; on a bad command line returns nullopt with the message in *error. *help is set
// for --help.
std::optional<Options> ParseOptions(int argc, char** argv, std::string* error, bool* help);

}  // namespace recorder
