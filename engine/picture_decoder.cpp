#include "engine/picture_decoder.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace engine {
namespace {

// Full-range formats convert as their limited-range twins, as the converter expects: the
// converter warns on the deprecated full-range formats, and their pictures come out the same.
AVPixelFormat ConverterFormat(int format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            return AV_PIX_FMT_YUV444P;
        default:
            return static_cast<AVPixelFormat>(format);
    }
}

}  // namespace

bool PictureDecoder::Open(const char* name) {
    const std::string wanted = name != nullptr ? name : "";
    if (wanted == m_name) return IsOpen();
    m_name = wanted;
    m_context.reset();
    if (wanted == "hevc")
        m_codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    else if (wanted == "h264")
        m_codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (m_codec == nullptr) return false;
    ffmpeg::CodecContextPtr context(avcodec_alloc_context3(m_codec));
    if (!context) return false;
    // Truncated input is no longer a decoder option in this FFmpeg: every packet carries one
    // whole access unit anyway.
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->flags2 |= m_options.flags2;
    context->thread_count = m_options.threads > 0 ? m_options.threads : 1;
    if (avcodec_open2(context.get(), m_codec, nullptr) < 0) return false;
    m_context = std::move(context);
    return true;
}

void PictureDecoder::Close() {
    m_context.reset();
    m_parser.reset();
    m_parserContext.reset();
    m_codec = nullptr;
    m_name.clear();
}

int PictureDecoder::Send(const AVPacket& packet) {
    if (!m_context) return AVERROR(EINVAL);
    // The decoder gets the payload and its timing only: the frame record stays the caller's.
    ffmpeg::PacketPtr feed = ffmpeg::MakePacket();
    if (!feed) return AVERROR(ENOMEM);
    if (packet.buf != nullptr) {
        feed->buf = av_buffer_ref(packet.buf);
        if (feed->buf == nullptr) return AVERROR(ENOMEM);
    }
    feed->data = packet.data;
    feed->size = packet.size;
    feed->pts = packet.pts;
    feed->duration = packet.duration;
    feed->stream_index = packet.stream_index;
    feed->flags = packet.flags;
    return avcodec_send_packet(m_context.get(), feed.get());
}

int PictureDecoder::Receive(AVFrame* frame) {
    if (!m_context) return AVERROR(EINVAL);
    av_frame_unref(frame);
    return avcodec_receive_frame(m_context.get(), frame);
}

int PictureDecoder::Drain() {
    if (!m_context) return AVERROR(EINVAL);
    return avcodec_send_packet(m_context.get(), nullptr);
}

void PictureDecoder::Flush() {
    if (m_context) avcodec_flush_buffers(m_context.get());
}

bool PictureDecoder::PictureSize(const AVPacket& packet, int& width, int& height) {
    if (m_codec == nullptr || packet.data == nullptr || packet.size <= 0) return false;
    if (!m_parser || m_parser->parser->codec_ids[0] != m_codec->id || !m_parserContext) {
        m_parser.reset(av_parser_init(m_codec->id));
        // A context of no codec: the decoder's own private state, zeroed page by page, cost
        // milliseconds on the way to the first picture, and the parser does not use it.
        m_parserContext.reset(avcodec_alloc_context3(nullptr));
        if (!m_parser || !m_parserContext) return false;
        m_parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    }
    uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(m_parser.get(), m_parserContext.get(), &out, &outSize, packet.data,
                     packet.size, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (m_parser->width <= 0 || m_parser->height <= 0) return false;
    width = m_parser->width;
    height = m_parser->height;
    return true;
}

bool PictureDecoder::ConvertToBGR24(const AVFrame& picture, uint8_t* dst, int dstStride) {
    if (dst == nullptr || picture.width <= 0 || picture.height <= 0) return false;
    SwsContext* scaler =
        sws_getCachedContext(m_scaler.release(), picture.width, picture.height,
                             ConverterFormat(picture.format), picture.width, picture.height,
                             AV_PIX_FMT_BGR24, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    m_scaler.reset(scaler);
    if (scaler == nullptr) return false;
    uint8_t* planes[4] = {dst, nullptr, nullptr, nullptr};
    int strides[4] = {dstStride, 0, 0, 0};
    return sws_scale(scaler, picture.data, picture.linesize, 0, picture.height, planes, strides) ==
           picture.height;
}

bool PictureDecoder::MakeTarget(int width, int height) {
    if (m_target && width == m_targetWidth && height == m_targetHeight) return true;
    m_target.reset();
    m_targetPixels.reset();
    m_targetWidth = m_targetHeight = 0;
    const size_t size = BGR24Size(width, height);
    if (size == 0) return false;
    ffmpeg::FramePtr target = ffmpeg::MakeFrame();
    ffmpeg::AvBufferPtr pixels(static_cast<uint8_t*>(av_malloc(size)));
    if (!target || !pixels) return false;
    av_image_fill_arrays(target->data, target->linesize, pixels.get(), AV_PIX_FMT_BGR24, width,
                         height, 1);
    target->width = width;
    target->height = height;
    target->format = AV_PIX_FMT_BGR24;
    m_target = std::move(target);
    m_targetPixels = std::move(pixels);
    m_targetWidth = width;
    m_targetHeight = height;
    return true;
}

bool PictureDecoder::ConvertToTarget(const AVFrame& picture) {
    if (!MakeTarget(picture.width, picture.height)) return false;
    return ConvertToBGR24(picture, m_target->data[0], m_target->linesize[0]);
}

size_t PictureDecoder::BGR24Size(int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    const int size = av_image_get_buffer_size(AV_PIX_FMT_BGR24, width, height, 1);
    return size > 0 ? static_cast<size_t>(size) : 0;
}

}  // namespace engine
