// Owning handles for FFmpeg objects, and FFmpeg's error text: one set for the engine and for
// the substitute recorder, which decodes and converts its media files with the same library.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace ffmpeg {

struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FormatClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct BsfFree {
    void operator()(AVBSFContext* c) const { av_bsf_free(&c); }
};
struct SwsFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct ParserClose {
    void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};
struct AvFree {
    void operator()(void* p) const { av_free(p); }
};

using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FormatPtr = std::unique_ptr<AVFormatContext, FormatClose>;
using BsfPtr = std::unique_ptr<AVBSFContext, BsfFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;
using AvBufferPtr = std::unique_ptr<uint8_t, AvFree>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserClose>;

inline PacketPtr MakePacket() {
    return PacketPtr(av_packet_alloc());
}
inline FramePtr MakeFrame() {
    return FramePtr(av_frame_alloc());
}

inline std::string ErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace ffmpeg
