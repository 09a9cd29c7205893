#include "png.h"

#include <fstream>
#include <iterator>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace play {
namespace {

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

CodecContextPtr OpenCodec(bool encoder, std::string& error) {
    const AVCodec* codec =
        encoder ? avcodec_find_encoder(AV_CODEC_ID_PNG) : avcodec_find_decoder(AV_CODEC_ID_PNG);
    if (!codec) {
        error = "this FFmpeg has no PNG codec";
        return nullptr;
    }
    return CodecContextPtr(avcodec_alloc_context3(codec));
}

}  // namespace

bool WritePng(const Picture& picture, const std::string& path, std::string& error) {
    if (picture.Empty() ||
        picture.bgr.size() < static_cast<size_t>(picture.width) * picture.height * 3) {
        error = "no picture";
        return false;
    }
    CodecContextPtr context = OpenCodec(true, error);
    if (!context) return false;
    context->width = picture.width;
    context->height = picture.height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = AVRational{1, 25};
    if (int rc = avcodec_open2(context.get(), context->codec, nullptr); rc < 0) {
        error = "PNG encoder: " + AvError(rc);
        return false;
    }
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_RGB24;
    frame->width = picture.width;
    frame->height = picture.height;
    if (int rc = av_frame_get_buffer(frame.get(), 0); rc < 0) {
        error = "frame buffer: " + AvError(rc);
        return false;
    }
    // The encoder takes RGB, the library hands out BGR: swap while copying.
    for (int y = 0; y < picture.height; ++y) {
        const uint8_t* in = picture.Row(y);
        uint8_t* out = frame->data[0] + static_cast<size_t>(y) * frame->linesize[0];
        for (int x = 0; x < picture.width; ++x, in += 3, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
    PacketPtr packet(av_packet_alloc());
    int rc = avcodec_send_frame(context.get(), frame.get());
    if (rc >= 0) rc = avcodec_send_frame(context.get(), nullptr);
    if (rc >= 0) rc = avcodec_receive_packet(context.get(), packet.get());
    if (rc < 0) {
        error = "PNG encoding: " + AvError(rc);
        return false;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(packet->data), packet->size);
    file.close();
    if (!file) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool ReadPng(const std::string& path, Picture& picture, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) bytes.clear();
    if (bytes.empty()) {
        error = "cannot read " + path;
        return false;
    }
    CodecContextPtr context = OpenCodec(false, error);
    if (!context) return false;
    if (int rc = avcodec_open2(context.get(), context->codec, nullptr); rc < 0) {
        error = "PNG decoder: " + AvError(rc);
        return false;
    }
    PacketPtr packet(av_packet_alloc());
    if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
        error = "out of memory";
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), packet->data);
    FramePtr frame(av_frame_alloc());
    int rc = avcodec_send_packet(context.get(), packet.get());
    if (rc >= 0) rc = avcodec_receive_frame(context.get(), frame.get());
    if (rc < 0) {
        error = path + ": " + AvError(rc);
        return false;
    }
    std::unique_ptr<SwsContext, SwsFree> convert(sws_getContext(
        frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width,
        frame->height, AV_PIX_FMT_BGR24, SWS_POINT, nullptr, nullptr, nullptr));
    if (!convert) {
        error = path + ": unsupported pixel format";
        return false;
    }
    picture = Picture(frame->width, frame->height);
    uint8_t* out[4] = {picture.bgr.data(), nullptr, nullptr, nullptr};
    int outStride[4] = {picture.width * 3, 0, 0, 0};
    sws_scale(convert.get(), frame->data, frame->linesize, 0, frame->height, out, outStride);
    return true;
}

}  // namespace play
