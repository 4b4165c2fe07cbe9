#include "rtsp/MediaWriter.h"

#include <dlfcn.h>

#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace {

// libavformat and its hundred-odd dependencies are loaded when the first file is opened, not
// when the program starts: detection alone never pays for them (20 ms and 23 MB at start).
#define STREVIX_LIBAV(X)                      \
    X(util, av_channel_layout_default)        \
    X(util, av_dict_free)                     \
    X(util, av_dict_set_int)                  \
    X(util, av_mallocz)                       \
    X(util, av_rescale_q)                     \
    X(util, av_strerror)                      \
    X(codec, av_new_packet)                   \
    X(codec, av_packet_alloc)                 \
    X(codec, av_packet_free)                  \
    X(codec, av_packet_unref)                 \
    X(codec, av_parser_close)                 \
    X(codec, av_parser_init)                  \
    X(codec, av_parser_parse2)                \
    X(codec, avcodec_alloc_context3)          \
    X(codec, avcodec_free_context)            \
    X(format, av_write_frame)                 \
    X(format, av_write_trailer)               \
    X(format, avformat_alloc_output_context2) \
    X(format, avformat_free_context)          \
    X(format, avformat_new_stream)            \
    X(format, avformat_write_header)          \
    X(format, avio_closep)                    \
    X(format, avio_open)

struct LibAv {
#define STREVIX_LIBAV_MEMBER(lib, name) decltype(&::name) name = nullptr;
    STREVIX_LIBAV(STREVIX_LIBAV_MEMBER)
#undef STREVIX_LIBAV_MEMBER
    bool loaded = false;
};

#define STREVIX_SONAME(base, major) base ".so." AV_STRINGIFY(major)

const LibAv* Av() {
    static LibAv av;
    static std::once_flag once;
    std::call_once(once, [] {
        void* util =
            dlopen(STREVIX_SONAME("libavutil", LIBAVUTIL_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL);
        void* codec =
            dlopen(STREVIX_SONAME("libavcodec", LIBAVCODEC_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL);
        void* format =
            dlopen(STREVIX_SONAME("libavformat", LIBAVFORMAT_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL);
        if (util == nullptr || codec == nullptr || format == nullptr) return;
        bool all = true;
#define STREVIX_LIBAV_LOAD(lib, name)                                 \
    av.name = reinterpret_cast<decltype(&::name)>(dlsym(lib, #name)); \
    all = all && av.name != nullptr;
        STREVIX_LIBAV(STREVIX_LIBAV_LOAD)
#undef STREVIX_LIBAV_LOAD
        av.loaded = all;
    });
    return av.loaded ? &av : nullptr;
}

AVCodecID IdOf(RtpCodec c) {
    switch (c) {
        case RtpCodec::H264:
            return AV_CODEC_ID_H264;
        case RtpCodec::H265:
            return AV_CODEC_ID_HEVC;
        case RtpCodec::Aac:
            return AV_CODEC_ID_AAC;
        case RtpCodec::Pcmu:
            return AV_CODEC_ID_PCM_MULAW;
        case RtpCodec::Pcma:
            return AV_CODEC_ID_PCM_ALAW;
        default:
            return AV_CODEC_ID_NONE;
    }
}

// The picture size, from the parameter sets and a key picture run through the codec's parser.
void PictureSize(AVCodecID id, const MediaTrackFormat& f, int* width, int* height) {
    *width = 0;
    *height = 0;
    AVCodecParserContext* parser = Av()->av_parser_init(id);
    AVCodecContext* context = Av()->avcodec_alloc_context3(nullptr);
    if (parser != nullptr && context != nullptr) {
        parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
        std::vector<unsigned char> bytes(f.config);
        bytes.insert(bytes.end(), f.sample.begin(), f.sample.end());
        bytes.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        uint8_t* out = nullptr;
        int outSize = 0;
        Av()->av_parser_parse2(parser, context, &out, &outSize, bytes.data(),
                               static_cast<int>(bytes.size() - AV_INPUT_BUFFER_PADDING_SIZE),
                               AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        *width = parser->width > 0 ? parser->width : context->width;
        *height = parser->height > 0 ? parser->height : context->height;
    }
    if (parser != nullptr) Av()->av_parser_close(parser);
    Av()->avcodec_free_context(&context);
}

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    Av()->av_strerror(code, text, sizeof(text));
    return text;
}

}  // namespace

MediaWriter::MediaWriter() = default;

MediaWriter::~MediaWriter() {
    Close();
}

bool MediaWriter::Open(const std::string& path, const std::vector<MediaTrackFormat>& tracks,
                       std::string* error) {
    Close();
    if (Av() == nullptr) {
        *error = "libavformat cannot be loaded";
        return false;
    }
    int rc = Av()->avformat_alloc_output_context2(&m_context, nullptr, "matroska", path.c_str());
    if (rc < 0 || m_context == nullptr) {
        *error = "no Matroska muxer: " + AvError(rc);
        m_context = nullptr;
        return false;
    }
    for (const MediaTrackFormat& f : tracks) {
        AVStream* st = Av()->avformat_new_stream(m_context, nullptr);
        if (st == nullptr) {
            *error = "out of memory";
            Close();
            return false;
        }
        AVCodecParameters* p = st->codecpar;
        p->codec_id = IdOf(f.codec);
        const bool video = f.codec == RtpCodec::H264 || f.codec == RtpCodec::H265;
        p->codec_type = video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
        if (!f.config.empty()) {
            p->extradata = static_cast<uint8_t*>(
                Av()->av_mallocz(f.config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (p->extradata == nullptr) {
                *error = "out of memory";
                Close();
                return false;
            }
            std::memcpy(p->extradata, f.config.data(), f.config.size());
            p->extradata_size = static_cast<int>(f.config.size());
        }
        if (video) {
            PictureSize(p->codec_id, f, &p->width, &p->height);
        } else {
            p->sample_rate = static_cast<int>(f.clockRate);
            Av()->av_channel_layout_default(&p->ch_layout, f.channels > 0 ? f.channels : 1);
            if (f.codec == RtpCodec::Aac) p->frame_size = 1024;
            if (f.codec == RtpCodec::Pcmu || f.codec == RtpCodec::Pcma) {
                p->bits_per_coded_sample = 8;
                p->block_align = f.channels > 0 ? f.channels : 1;
            }
        }
        st->time_base = AVRational{1, static_cast<int>(f.clockRate > 0 ? f.clockRate : 90000)};
        m_clock.push_back(f.clockRate > 0 ? f.clockRate : 90000);
        m_lastDts.push_back(INT64_MIN);
        m_video.push_back(video);
    }
    rc = Av()->avio_open(&m_context->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) {
        *error = AvError(rc);
        Close();
        return false;
    }
    // Every closed cluster reaches the file at once.
    m_context->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    m_context->flush_packets = 1;
    AVDictionary* options = nullptr;
    Av()->av_dict_set_int(&options, "cluster_time_limit", kClusterMs, 0);
    rc = Av()->avformat_write_header(m_context, &options);
    Av()->av_dict_free(&options);
    if (rc < 0) {
        *error = "cannot start the file: " + AvError(rc);
        Av()->avio_closep(&m_context->pb);
        Av()->avformat_free_context(m_context);
        m_context = nullptr;
        return false;
    }
    m_packet = Av()->av_packet_alloc();
    return m_packet != nullptr;
}

bool MediaWriter::Write(size_t stream, const unsigned char* data, size_t size, int64_t pts,
                        bool key) {
    if (m_context == nullptr || stream >= m_clock.size() || data == nullptr || size == 0 ||
        size > INT32_MAX / 2)
        return false;
    // Pictures come in presentation order of their own clock; B-frames make it go back. The
    // decoding times are kept increasing behind them, a fixed 100 ms back, and everything moves
    // on by that much so that nothing starts before zero.
    const int64_t delay = m_video[stream] ? m_clock[stream] / 10 : 0;
    const int64_t shift = m_clock[stream] / 10;
    int64_t p = pts + shift;
    int64_t dts = p - delay;
    if (m_lastDts[stream] != INT64_MIN && dts <= m_lastDts[stream]) dts = m_lastDts[stream] + 1;
    if (p < dts) p = dts;
    m_lastDts[stream] = dts;

    Av()->av_packet_unref(m_packet);
    if (Av()->av_new_packet(m_packet, static_cast<int>(size)) < 0) return false;
    std::memcpy(m_packet->data, data, size);
    m_packet->stream_index = static_cast<int>(stream);
    const AVRational from{1, static_cast<int>(m_clock[stream])};
    const AVRational to = m_context->streams[stream]->time_base;
    m_packet->pts = Av()->av_rescale_q(p, from, to);
    m_packet->dts = Av()->av_rescale_q(dts, from, to);
    if (m_packet->dts > m_packet->pts) m_packet->dts = m_packet->pts;
    if (key) m_packet->flags |= AV_PKT_FLAG_KEY;
    const int rc = Av()->av_write_frame(m_context, m_packet);
    if (rc < 0) return false;
    ++m_written;
    return true;
}

void MediaWriter::Close() {
    if (m_context != nullptr) {
        if (m_packet != nullptr) Av()->av_write_trailer(m_context);
        if (m_context->pb != nullptr) Av()->avio_closep(&m_context->pb);
        Av()->avformat_free_context(m_context);
        m_context = nullptr;
    }
    // Only a writer that opened something has the libraries loaded.
    if (m_packet != nullptr) Av()->av_packet_free(&m_packet);
    m_clock.clear();
    m_lastDts.clear();
    m_video.clear();
    m_written = 0;
}
