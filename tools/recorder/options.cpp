#include "options.h"

#include <cstdlib>
#include <cstring>

namespace recorder {

const char* const kHelp =
    R"(usage: varnel-recorder --catalogue DIR [options]

A substitute networked video recorder: serves the recordings of a catalogue folder over
HTTP/1.1 the way a recorder answers a playback client, for tests and demonstrations.

Endpoints (GET, query pairs separated by commas, blanks raw or as %20):
  /PlayBack1.cgi       Key=CHANNEL            one recording
  /PlayBack1_FOS.cgi   Key=CHANNEL,FosID=F    the FOS recording F beside the channel
  /PlayBack1_All.cgi   Key=1.2.5              several channels, merged by time
  /PlayBack1_All_FOS.cgi                      the same with FosID
  with BeginTime=YYYY/MM/DD hh:mm:ss.mmm, EndTime=..., Orientation=Forward|Rewind,
  IsOnlyKeyFrame=True|False, NoAudio=True|False; SubKey and Resolution are accepted and
  logged.

What goes out after the response head: frame records (72-byte header and payload): video as
Annex B access units, sound as G.711 mu-law 8000 Hz mono in 40 ms blocks. Forward play starts
at the key frame at or before BeginTime and stops after the last frame at or before EndTime;
rewind sends whole groups from the one holding EndTime back to the one holding BeginTime,
each in its own forward order, with orientation 0 and no sound. After the range, and before
the end, goes the key frame that opens the next group in the direction of play (forward: the
first key frame after EndTime; rewind: the key frame of the group before the one holding
BeginTime), when the recording has one: a client that finishes a group only when the next
key frame arrives can then show the whole range. Key frames only: each key frame's duration
is the play time of the group it stands for. Nothing in range: just the end.

Command lines on the same connection: "Type=Pause,OnlyeKyFrame=N,NOAudio=N" stops sending
before the next record, "Type=Play,..." resumes; the two flags take effect from the next
group. "IsSeek=True,SeekTime=TIME,Orientation=Forward|Rewind" continues from the group
holding TIME in that direction (to EndTime forward, back to BeginTime in rewind). Other
lines are logged and ignored.

Catalogue: DIR/catalogue.txt, one recording per line:
  channel=N [fos=F] start=YYYY/MM/DD-hh:mm:ss files=FILE[,FILE...]
Files (MP4, MKV, MPEG-TS, raw Annex B; H.264 or H.265 video, optional sound) play one after
the other from the start time; frames are timed by decoding order at the file's frame rate.
Key N on PlayBack1 is channel N with fos 0.

Options:
  --catalogue DIR      the catalogue folder (required)
  --address A          address to listen on (default 127.0.0.1)
  --port N             port (default 8554; 0 takes a free one); the first line on standard
                       output ends with the port
  --log FILE           the log, one line per event (default standard error)
  --pace X             send at X times real time (default 0: as fast as the client reads)
  --end 129|255|close  how an answer ends: an end record of kind 129 (default) or 255, or
                       just closing the connection
  --auth basic|digest  ask for authorization (default none); Digest is the RFC 2069 form,
                       checked against the uri parameter as sent
  --user NAME          account (default admin)
  --password TEXT      password (default admin)
  --realm TEXT         realm of the challenge (default varnel-recorder)
  Faults, counted per answer (records from 1):
  --close-after BYTES  close after this many bytes of the body
  --cut-record N       send half of record N, then close
  --bad-length N       give record N's header a negative length, then close
  --stall N:MS         wait MS milliseconds before record N
  --stall-in N:MS      send half of record N, wait MS milliseconds, then the rest
  --no-answer          read the request and never answer it (until the client goes)
  --help               this text

Exit codes: 0 stopped by SIGTERM or SIGINT, 1 cannot listen or read the catalogue, 2 bad
options.
)";

std::optional<Options> ParseOptions(int argc, char** argv, std::string* error, bool* help) {
    Options o;
    *help = false;
    const auto number = [&](const char* text, long long lo, long long hi, long long* out) {
        char* end = nullptr;
        const long long v = std::strtoll(text, &end, 10);
        if (*text == '\0' || *end != '\0' || v < lo || v > hi) return false;
        *out = v;
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            *help = true;
            return o;
        }
        if (arg == "--no-answer") {
            o.noAnswer = true;
            continue;
        }
        if (i + 1 >= argc) {
            *error = arg.rfind("--", 0) == 0 ? arg + " needs a value" : "unknown option " + arg;
            return std::nullopt;
        }
        const char* value = argv[++i];
        long long n = 0;
        const auto bad = [&] {
            *error = "bad value for " + arg + ": " + value;
            return std::nullopt;
        };
        if (arg == "--catalogue") {
            o.catalogue = value;
        } else if (arg == "--address") {
            o.address = value;
        } else if (arg == "--port") {
            if (!number(value, 0, 65535, &n)) return bad();
            o.port = static_cast<int>(n);
        } else if (arg == "--log") {
            o.log = value;
        } else if (arg == "--pace") {
            char* end = nullptr;
            o.pace = std::strtod(value, &end);
            if (*end != '\0' || o.pace < 0 || o.pace > 1000) return bad();
        } else if (arg == "--end") {
            if (!std::strcmp(value, "129"))
                o.end = EndKind::Mark129;
            else if (!std::strcmp(value, "255"))
                o.end = EndKind::Mark255;
            else if (!std::strcmp(value, "close"))
                o.end = EndKind::Close;
            else
                return bad();
        } else if (arg == "--auth") {
            if (!std::strcmp(value, "basic"))
                o.auth = AuthKind::Basic;
            else if (!std::strcmp(value, "digest"))
                o.auth = AuthKind::Digest;
            else if (!std::strcmp(value, "none"))
                o.auth = AuthKind::None;
            else
                return bad();
        } else if (arg == "--user") {
            o.user = value;
        } else if (arg == "--password") {
            o.password = value;
        } else if (arg == "--realm") {
            o.realm = value;
        } else if (arg == "--close-after") {
            if (!number(value, 1, 1LL << 50, &o.closeAfter)) return bad();
        } else if (arg == "--cut-record" || arg == "--bad-length") {
            if (!number(value, 1, 1 << 30, &n)) return bad();
            (arg == "--cut-record" ? o.cutRecord : o.badLength) = static_cast<int>(n);
        } else if (arg == "--stall" || arg == "--stall-in") {
            const char* colon = std::strchr(value, ':');
            long long ms = 0;
            if (colon == nullptr || !number(std::string(value, colon).c_str(), 1, 1 << 30, &n) ||
                !number(colon + 1, 0, 3600000, &ms))
                return bad();
            (arg == "--stall" ? o.stallRecord : o.stallInRecord) = static_cast<int>(n);
            (arg == "--stall" ? o.stallMs : o.stallInMs) = static_cast<int>(ms);
        } else {
            *error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    if (o.catalogue.empty()) {
        *error = "--catalogue DIR is required";
        return std::nullopt;
    }
    return o;
}

}  // namespace recorder
