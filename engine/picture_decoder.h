// A video decoder opened by codec name, and the conversion of its pictures to packed BGR24:
// the part of decoding that the playback engine and the media element share. One object per
// stream of access units; it is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/ffmpeg_ptr.h"

namespace engine {

class PictureDecoder {
public:
    struct Options {
        // Decoder threads. The decoders run in low-delay mode, which leaves only slice
        // threads: more than one helps only streams that are cut into slices.
        int threads = 1;
        // AV_CODEC_FLAG2_* bits given to the decoder.
        int flags2 = 0;
    };

    PictureDecoder() = default;
    explicit PictureDecoder(Options options) : m_options(options) {}
    PictureDecoder(const PictureDecoder&) = delete;
    PictureDecoder& operator=(const PictureDecoder&) = delete;

    // Makes the decoder match a frame record's codec name. The same name keeps the open
    // decoder (and the pictures it holds); another name closes it and opens the decoder of
    // the new name: "h264" H.264, "hevc" H.265. Any other name opens the decoder of the last
    // known name again, or none when there was none, so that a record with a damaged codec
    // field does not end a channel that has been decoding. True when a decoder is open.
    bool Open(const char* name);
    // The name last given to Open ("" before the first).
    const std::string& CodecName() const { return m_name; }
    bool IsOpen() const { return m_context != nullptr; }
    // Null while no decoder is open.
    AVCodecContext* Context() const { return m_context.get(); }
    void Close();

    // Hands one access unit to the decoder: its payload, pts, duration, stream index and
    // flags; no dts and none of its side data. A negative FFmpeg error when it was refused or
    // no decoder is open.
    int Send(const AVPacket& packet);
    // The next decoded picture into frame (unreferenced first): 0, or AVERROR(EAGAIN) when
    // the decoder needs more input, or another negative FFmpeg error.
    int Receive(AVFrame* frame);
    // The end of the input: Receive then gives every picture still held back, and
    // AVERROR_EOF after the last. Flush makes the decoder take packets again.
    int Drain();
    // Drops every picture held for reordering and the references: the next access unit
    // must be a key frame.
    void Flush();

    // The size of the picture a key frame will decode to, read from its parameter sets
    // without decoding it, so that a caller can make room for the picture meanwhile. False
    // when no decoder is open or the access unit does not tell.
    bool PictureSize(const AVPacket& packet, int& width, int& height);

    // Converts a decoded picture to packed BGR24 rows, top row first, at dst with dstStride
    // bytes from one row to the next, with the fast bilinear scaler at the picture's own
    // size. The converter is made on the first picture and made again when the size or the
    // pixel format changes. False when no converter can be made for the picture's format.
    bool ConvertToBGR24(const AVFrame& picture, uint8_t* dst, int dstStride);

    // A BGR24 picture of its own of this size (width * 3 bytes a row, no padding), for
    // callers that convert into one reused buffer. Made again only when the size changes.
    bool MakeTarget(int width, int height);
    // Converts into the target made for the picture's size.
    bool ConvertToTarget(const AVFrame& picture);
    // Null until MakeTarget succeeded.
    const AVFrame* Target() const { return m_target.get(); }
    int TargetWidth() const { return m_targetWidth; }
    int TargetHeight() const { return m_targetHeight; }

    // Bytes of a packed BGR24 picture of that size; 0 for an empty or impossible size.
    static size_t BGR24Size(int width, int height);

private:
    Options m_options;
    std::string m_name;
    const AVCodec* m_codec = nullptr;  // the decoder of the last known name
    ffmpeg::CodecContextPtr m_context;
    ffmpeg::SwsPtr m_scaler;
    ffmpeg::ParserPtr m_parser;  // for PictureSize, of the open decoder's codec
    ffmpeg::CodecContextPtr m_parserContext;
    ffmpeg::FramePtr m_target;
    ffmpeg::AvBufferPtr m_targetPixels;
    int m_targetWidth = 0;
    int m_targetHeight = 0;
};

}  // namespace engine
