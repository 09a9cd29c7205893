#include "export/video_parameters.h"

#include <cstring>
#include <memory>
#include <string_view>

#include "foundation/ffmpeg_ptr.h"

namespace exporter {

namespace {

struct ParserClose {
    void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};

}  // namespace

int CodecOf(const char* codec, size_t size) {
    const std::string_view name(codec, strnlen(codec, size));
    if (name == "h264") return AV_CODEC_ID_H264;
    if (name == "hevc" || name == "h265") return AV_CODEC_ID_HEVC;
    return AV_CODEC_ID_NONE;
}

bool ReadVideoParameters(const uint8_t* data, int size, AVCodecParameters* par) {
    // The parser reads the sequence parameter set, which decoding would: the size and pixel
    // format come out of it without a picture being decoded.
    std::unique_ptr<AVCodecParserContext, ParserClose> parser(av_parser_init(par->codec_id));
    ffmpeg::CodecContextPtr context(avcodec_alloc_context3(nullptr));
    if (!parser || !context) return false;
    // The record is one whole access unit: parsed at once, not held for the next.
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    context->codec_id = par->codec_id;
    uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser.get(), context.get(), &out, &outSize, data, size, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (parser->width <= 0 || parser->height <= 0) return false;
    par->width = parser->width;
    par->height = parser->height;
    par->format = parser->format;

    // The parameter sets in front of the picture, in Annex B form: both muxers turn that into
    // their own record (avcC, hvcC) and the access units into length-prefixed ones.
    const AVBitStreamFilter* filter = av_bsf_get_by_name("extract_extradata");
    AVBSFContext* raw = nullptr;
    if (filter == nullptr || av_bsf_alloc(filter, &raw) < 0) return false;
    ffmpeg::BsfPtr bsf(raw);
    bsf->par_in->codec_id = par->codec_id;
    ffmpeg::PacketPtr packet = ffmpeg::MakePacket();
    if (av_bsf_init(bsf.get()) < 0 || !packet || av_new_packet(packet.get(), size) < 0)
        return false;
    std::memcpy(packet->data, data, static_cast<size_t>(size));
    if (av_bsf_send_packet(bsf.get(), packet.get()) < 0 ||
        av_bsf_receive_packet(bsf.get(), packet.get()) < 0)
        return false;
    size_t extraSize = 0;
    const uint8_t* extra =
        av_packet_get_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, &extraSize);
    if (extra == nullptr || extraSize == 0) return false;
    av_freep(&par->extradata);
    par->extradata = static_cast<uint8_t*>(av_mallocz(extraSize + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr) return false;
    std::memcpy(par->extradata, extra, extraSize);
    par->extradata_size = static_cast<int>(extraSize);
    return true;
}

}  // namespace exporter
