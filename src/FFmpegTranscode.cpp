// Transcoding set-up: turns the opened inputs and the created outputs into a running
// configuration (stream copy or encoder parameters, filter graphs, two-pass files), opens the
// codecs, writes the headers and logs the stream mapping.
#include "src/FFLoad.h"
#include "src/FFLog.h"
#include "src/FFUtils.h"
#include "src/FFmpeg.h"

extern "C" {
#include <libavcodec/bsf.h>
}

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

// --- owners ----------------------------------------------------------------------------------

void TFrameDeleter::operator()(AVFrame* f) const {
    ff::av_frame_free(&f);
}
void TFilterGraphDeleter::operator()(AVFilterGraph* g) const {
    ff::avfilter_graph_free(&g);
}
void TAudioFifoDeleter::operator()(AVAudioFifo* f) const {
    ff::av_audio_fifo_free(f);
}
void TSwrContextDeleter::operator()(SwrContext* c) const {
    ff::swr_free(&c);
}
void TStdFileDeleter::operator()(FILE* f) const {
    ff::fclose(f);
}
void TAVMemoryDeleter::operator()(uint8_t* p) const {
    ff::av_free(p);
}

namespace {

// The time base a demuxed stream's decoder works in. 5.1 decoder contexts made from stream
// parameters carry no time base, so the stream's frame rate stands in for it.
AVRational DecoderTimeBase(const TInputStream& ist) {
    const AVCodecContext* dec = ist.CodecContext.get();
    if (dec && dec->time_base.num > 0 && dec->time_base.den > 0) return dec->time_base;
    const AVRational r =
        ist.Stream->r_frame_rate.num > 0 ? ist.Stream->r_frame_rate : ist.Stream->avg_frame_rate;
    if (r.num > 0 && r.den > 0) return AVRational{r.den, r.num};
    return ist.Stream->time_base;
}

int TicksPerFrame(const TInputStream& ist) {
    const AVCodecContext* dec = ist.CodecContext.get();
    return dec && dec->ticks_per_frame > 0 ? dec->ticks_per_frame : 1;
}

bool NameIsOneOf(const char* name, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (std::strcmp(name, n) == 0) return true;
    return false;
}

}  // namespace

// --- format choices --------------------------------------------------------------------------

void TCustomFFmpeg::pick_sample_format(TOutputStream& ost, const AVCodec* codec) {
    AVCodecContext* c = ost.CodecContext.get();
    if (!codec || !codec->sample_fmts) return;
    for (const AVSampleFormat* p = codec->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
        if (*p == c->sample_fmt) return;
    const AVSampleFormat first = codec->sample_fmts[0];
    if ((codec->capabilities & AV_CODEC_CAP_LOSSLESS) && c->sample_fmt > first)
        FFLogger().Log(this, llError, "Conversion will not be lossless.");
    if (const char* name = ff::av_get_sample_fmt_name(c->sample_fmt))
        FFLogger().Log(this, llWarning,
                       "Incompatible sample format \"%s\" for codec \"%s\", auto-selecting "
                       "format \"%s\"",
                       name, codec->name, ff::av_get_sample_fmt_name(first));
    c->sample_fmt = first;
}

void TCustomFFmpeg::pick_sample_rate(TOutputStream& ost, const AVCodec* codec) {
    AVCodecContext* c = ost.CodecContext.get();
    if (!codec || !codec->supported_samplerates) return;
    const int* p = codec->supported_samplerates;
    int best = 0;
    int64_t best_dist = INT64_MAX;
    for (; *p; ++p) {
        const int64_t dist = std::llabs(int64_t(c->sample_rate) - *p);
        if (dist < best_dist) {
            best_dist = dist;
            best = *p;
        }
    }
    if (best_dist)
        FFLogger().Log(this, llWarning,
                       "Requested sampling rate unsupported using closest "
                       "supported (%d)",
                       best);
    c->sample_rate = best;
}

void TCustomFFmpeg::pick_pixel_format(TOutputStream& ost, const AVCodec* codec) {
    AVCodecContext* c = ost.CodecContext.get();
    if (!codec || !codec->pix_fmts) return;
    const AVPixelFormat* candidates = codec->pix_fmts;
    static const AVPixelFormat mjpeg[] = {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P,
                                          AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_NONE};
    static const AVPixelFormat ljpeg[] = {
        AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUVJ444P, AV_PIX_FMT_YUV420P,
        AV_PIX_FMT_YUV422P,  AV_PIX_FMT_YUV444P,  AV_PIX_FMT_BGRA,     AV_PIX_FMT_NONE};
    if (c->strict_std_compliance <= FF_COMPLIANCE_UNOFFICIAL) {
        if (c->codec_id == AV_CODEC_ID_MJPEG)
            candidates = mjpeg;
        else if (c->codec_id == AV_CODEC_ID_LJPEG)
            candidates = ljpeg;
    }
    const AVPixFmtDescriptor* want = ff::av_pix_fmt_desc_get(c->pix_fmt);
    const int alpha = want && want->nb_components % 2 == 0;
    AVPixelFormat best = AV_PIX_FMT_NONE;
    const AVPixelFormat* p = candidates;
    for (; *p != AV_PIX_FMT_NONE; ++p) {
        best = best == AV_PIX_FMT_NONE
                   ? *p
                   : ff::av_find_best_pix_fmt_of_2(best, *p, c->pix_fmt, alpha, nullptr);
        if (*p == c->pix_fmt) break;
    }
    if (*p == AV_PIX_FMT_NONE) {
        if (c->pix_fmt != AV_PIX_FMT_NONE) {
            const AVPixFmtDescriptor* got = ff::av_pix_fmt_desc_get(best);
            FFLogger().Log(this, llWarning,
                           "Incompatible pixel format \"%s\" for codec \"%s\", auto-selecting "
                           "format \"%s\"",
                           want ? want->name : "?", codec->name, got ? got->name : "?");
        }
        c->pix_fmt = best;
    }
}

// --- codec checks ----------------------------------------------------------------------------

void TCustomFFmpeg::reject_experimental_codec(AVCodecContext* c, bool encoder) {
    const AVCodec* codec = c->codec;
    if (!codec || !(codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) ||
        c->strict_std_compliance <= FF_COMPLIANCE_EXPERIMENTAL)
        return;
    const char* kind = encoder ? "encoder" : "decoder";
    std::string msg = Format("%s \"%s\" is experimental and might produce bad results.\r\nAdd "
                             "\"-strict experimental\" if you want to use it.",
                             kind, codec->name);
    const AVCodec* def =
        encoder ? ff::avcodec_find_encoder(codec->id) : ff::avcodec_find_decoder(codec->id);
    if (def && !(def->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
        msg += Format("\r\nOr use the non experimental %s \"%s\"", kind, def->name);
    raise_error(msg);
}

void TCustomFFmpeg::reject_leftover_options(const TDictionary& opts) {
    const AVDictionaryEntry* t = ff::av_dict_get(opts.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX);
    if (!t) return;
    const std::string msg = Format("Option %s not found.", t->key);
    if (StrictOptions) raise_error(msg);
    LastError = msg;
}

// --- filter graph ----------------------------------------------------------------------------

int TCustomFFmpeg::build_video_filter_graph(TInputStream& ist, TOutputStream& ost) {
    AVCodecContext* enc = ost.CodecContext.get();
    AVCodecContext* dec = ist.CodecContext.get();

    ost.FilterGraph.reset(ff::avfilter_graph_alloc());
    AVFilterGraph* graph = ost.FilterGraph.get();
    if (!graph) return AVERROR(ENOMEM);

    const AVRational sar = ist.Stream->sample_aspect_ratio.num ? ist.Stream->sample_aspect_ratio
                                                               : dec->sample_aspect_ratio;
    const std::string src_args =
        CFormat("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", dec->width,
                dec->height, int(dec->pix_fmt), AV_TIME_BASE, sar.num, sar.den > 0 ? sar.den : 1);
    int r =
        ff::avfilter_graph_create_filter(&ost.InputVideoFilter, ff::avfilter_get_by_name("buffer"),
                                         "src", src_args.c_str(), nullptr, graph);
    if (r < 0) return r;

    // The sink takes its format list as a binary option, set before the filter initialises.
    AVFilterContext* sink =
        ff::avfilter_graph_alloc_filter(graph, ff::avfilter_get_by_name("buffersink"), "out");
    if (!sink) return AVERROR(ENOMEM);
    const AVPixelFormat formats[] = {enc->pix_fmt};
    r = ff::av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats),
                           int(sizeof(formats)), AV_OPT_SEARCH_CHILDREN);
    if (r < 0) return r;
    r = ff::avfilter_init_str(sink, nullptr);
    if (r < 0) return r;
    ost.OutputVideoFilter = sink;

    AVFilterContext* last = ost.InputVideoFilter;
    const unsigned flags = unsigned(uint64_t(ost.ScaleFlags) & 0xFFFFFFFFu);
    if (enc->width != dec->width || enc->height != dec->height) {
        const std::string args = Format("%d:%d:flags=0x%X", enc->width, enc->height, flags);
        AVFilterContext* scale = nullptr;
        r = ff::avfilter_graph_create_filter(&scale, ff::avfilter_get_by_name("scale"), "scale",
                                             args.c_str(), nullptr, graph);
        if (r < 0) return r;
        r = ff::avfilter_link(last, 0, scale, 0);
        if (r < 0) return r;
        last = scale;
    }
    const std::string sws = Format("flags=0x%X", flags);
    ff::av_freep(&graph->scale_sws_opts);
    graph->scale_sws_opts = ff::av_strdup(sws.c_str());
    if (!graph->scale_sws_opts) return AVERROR(ENOMEM);

    if (ost.FilterChain) {
        AVFilterInOut* outputs = ff::avfilter_inout_alloc();
        AVFilterInOut* inputs = ff::avfilter_inout_alloc();
        if (!outputs || !inputs) {
            ff::avfilter_inout_free(&outputs);
            ff::avfilter_inout_free(&inputs);
            return AVERROR(ENOMEM);
        }
        outputs->name = ff::av_strdup("in");
        outputs->filter_ctx = last;
        outputs->pad_idx = 0;
        inputs->name = ff::av_strdup("out");
        inputs->filter_ctx = sink;
        inputs->pad_idx = 0;
        const std::string chain = std::move(*ost.FilterChain);
        ost.FilterChain.reset();
        r = ff::avfilter_graph_parse_ptr(graph, chain.c_str(), &inputs, &outputs, nullptr);
        ff::avfilter_inout_free(&outputs);
        ff::avfilter_inout_free(&inputs);
        if (r < 0) return r;
    } else {
        r = ff::avfilter_link(last, 0, sink, 0);
        if (r < 0) return r;
    }

    r = ff::avfilter_graph_config(graph, nullptr);
    if (r < 0) return r;

    const AVFilterLink* in = sink->inputs[0];
    enc->width = in->w;
    enc->height = in->h;
    const AVRational out_sar =
        ost.FrameAspectRatio != 0
            ? ff::av_d2q(double(ost.FrameAspectRatio) * enc->height / enc->width, 255)
            : in->sample_aspect_ratio;
    enc->sample_aspect_ratio = out_sar;
    ost.Stream->sample_aspect_ratio = out_sar;
    return 0;
}

// --- decoders --------------------------------------------------------------------------------

int TCustomFFmpeg::open_input_decoder(int index, std::string& error) {
    TInputStream& ist = *InputStreams[size_t(index)];
    AVStream* st = ist.Stream;
    if (ist.DecodingNeeded && ist.CodecContext && ff::avcodec_is_open(ist.CodecContext.get()))
        return 0;  // opened early (the source of a subtitle encoder)
    if (ist.DecodingNeeded) {
        if (!ist.Decoder) {
            error = Format("Decoder (codec %s) not found for input stream #%d:%d",
                           ff::avcodec_get_name(st->codecpar->codec_id), ist.FileIndex, st->index);
            return AVERROR(EINVAL);
        }
        AVCodecContext* dec = ist.CodecContext.get();
        // Pool buffers belong to the video path; until it provides them the decoder uses its
        // own allocator.
        ist.DirectRendering = false;
        if (!ist.Options.value("threads")) ff::av_dict_set(ist.Options.ptr(), "threads", "auto", 0);
        if (ff::avcodec_open2(dec, ist.Decoder, ist.Options.ptr()) < 0) {
            error = Format("Error while opening decoder for input stream #%d:%d", ist.FileIndex,
                           st->index);
            return AVERROR(EINVAL);
        }
        register_decoder(dec);
        reject_experimental_codec(dec, false);
        reject_leftover_options(ist.Options);
    }
    const int b_frames = ist.CodecContext ? ist.CodecContext->has_b_frames : 0;
    ist.PTS = st->avg_frame_rate.num
                  ? -std::llround(b_frames * double(AV_TIME_BASE) / av_q2d(st->avg_frame_rate))
                  : 0;
    ist.NextPTS = AV_NOPTS_VALUE;
    ist.IsStart = true;
    return 0;
}

// --- logging ---------------------------------------------------------------------------------

void TCustomFFmpeg::log_stream_mapping() {
    for (size_t i = 0; i < OutputFiles.size(); ++i) {
        AVFormatContext* oc = OutputFiles[i]->Context.get();
        if (oc) ff::av_dump_format(oc, int(i), oc->url ? oc->url : "", 1);
    }
    FFLogger().Log(this, llInfo, "Stream mapping:");
    for (const auto& o : OutputStreams) {
        const TOutputStream& ost = *o;
        if (!ost.AttachmentFileName.empty() || ost.SourceIndex < 0) {
            FFLogger().Log(this, llInfo, "  File %s -> Stream #%d:%d", ost.AttachmentFileName,
                           ost.FileIndex, ost.Index);
            continue;
        }
        const TInputStream& ist = *InputStreams[size_t(ost.SourceIndex)];
        std::string line = Format("  Stream #%d:%d -> #%d:%d", ist.FileIndex, ist.Stream->index,
                                  ost.FileIndex, ost.Index);
        if (ost.AudioChannelsMapped > 0) {
            line += " [ch:";
            for (int j = 0; j < ost.AudioChannelsMapped; ++j)
                line += ost.AudioChannelMap[j] == -1 ? std::string(" M")
                                                     : Format(" %d", ost.AudioChannelMap[j]);
            line += "]";
        }
        if (ost.SyncInput && ost.SyncInput != &ist)
            line +=
                Format(" [sync #%d:%d]", ost.SyncInput->FileIndex, ost.SyncInput->Stream->index);
        if (ost.StreamCopy) {
            line += " (copy)";
        } else {
            line += ist.Decoder ? Format(" (%s", ist.Decoder->name) : std::string(" (?");
            line += ost.Encoder ? Format(" -> %s)", ost.Encoder->name) : std::string(" -> ?)");
        }
        line += Format(" (%s)", media_type_name(ost.Stream->codecpar->codec_type));
        FFLogger().Log(this, llInfo, line);
    }
}

void TCustomFFmpeg::log_sdp() {
    std::vector<AVFormatContext*> contexts;
    try {
        contexts.reserve(OutputFiles.size());
    } catch (const std::bad_alloc&) {
        raise_error("av_malloc failed");
    }
    for (const auto& f : OutputFiles)
        contexts.push_back(f->Context.get());
    char sdp[2048] = {};
    ff::av_sdp_create(contexts.data(), int(contexts.size()), sdp, int(sizeof(sdp)));
    FFLogger().Log(this, llInfo, "SDP:\r\n" + Trim(std::string(sdp)));
}

// --- set-up ----------------------------------------------------------------------------------

namespace {

// Stream copy: the coded parameters of the source go to the output stream unchanged.
int SetUpStreamCopy(TCustomFFmpeg& e, TOutputStream& ost, TInputStream& ist) {
    AVCodecContext* enc = ost.CodecContext.get();
    AVCodecContext* dec = ist.CodecContext.get();
    const AVCodecParameters* par = ist.Stream->codecpar;
    AVFormatContext* oc = e.OutputFiles[size_t(ost.FileIndex)]->Context.get();

    if (int64_t(par->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE > INT32_MAX) {
        e.LastError = "icodec.extradata_size is invalid (too large)";
        return AVERROR(EINVAL);
    }
    enc->codec_id = par->codec_id;
    enc->codec_type = par->codec_type;
    if (!enc->codec_tag) {
        const AVCodecTag* const* tags = oc->oformat->codec_tag;
        if (!tags || ff::av_codec_get_id(tags, par->codec_tag) == par->codec_id ||
            ff::av_codec_get_tag(tags, par->codec_id) == 0)
            enc->codec_tag = par->codec_tag;
    }
    enc->bit_rate = par->bit_rate;
    enc->rc_max_rate = dec ? dec->rc_max_rate : 0;
    enc->rc_buffer_size = dec ? dec->rc_buffer_size : 0;
    enc->field_order = par->field_order;

    ff::av_freep(&enc->extradata);
    enc->extradata_size = 0;
    enc->extradata = static_cast<uint8_t*>(
        ff::av_mallocz(size_t(par->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!enc->extradata) {
        e.LastError = "av_mallocz() failed";
        return AVERROR(ENOMEM);
    }
    if (par->extradata_size) std::memcpy(enc->extradata, par->extradata, par->extradata_size);
    enc->extradata_size = par->extradata_size;

    // The muxer's time base for copied packets.
    enc->time_base = ist.Stream->time_base;
    const AVRational dec_tb = DecoderTimeBase(ist);
    const int ticks = TicksPerFrame(ist);
    const double frame_s = av_q2d(dec_tb) * ticks;
    const double stream_s = av_q2d(ist.Stream->time_base);
    const int copytb = e.GlobalOptions.CopyTB;
    const char* muxer = oc->oformat->name;
    if (std::strcmp(muxer, "avi") == 0) {
        if ((copytb < 0 && frame_s > 2 * stream_s && stream_s < 1.0 / 500) || copytb == 0)
            enc->time_base = AVRational{dec_tb.num * ticks, dec_tb.den * 2};
    } else if (!(oc->oformat->flags & AVFMT_VARIABLE_FPS) &&
               !NameIsOneOf(muxer, {"mov", "mp4", "3gp", "3g2", "psp", "ipod"})) {
        if ((copytb < 0 && frame_s > stream_s && stream_s < 1.0 / 500) || copytb == 0)
            enc->time_base = AVRational{dec_tb.num * ticks, dec_tb.den};
    }
    ff::av_reduce(&enc->time_base.num, &enc->time_base.den, enc->time_base.num, enc->time_base.den,
                  INT_MAX);

    switch (enc->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
        if (e.GlobalOptions.AudioVolume != 256) {
            e.LastError = "-acodec copy and -vol are incompatible (frames are not decoded)";
            return AVERROR(EINVAL);
        }
        if (e.OnAudioHook) {
            e.LastError = "-acodec copy and AudioHook are incompatible (frames are not decoded)";
            return AVERROR(EINVAL);
        }
        ff::av_channel_layout_uninit(&enc->ch_layout);
        if (const int r = ff::av_channel_layout_copy(&enc->ch_layout, &par->ch_layout); r < 0)
            return r;
        enc->sample_rate = par->sample_rate;
        enc->sample_fmt = AVSampleFormat(par->format);
        enc->frame_size = par->frame_size;
        enc->audio_service_type = dec ? dec->audio_service_type : AV_AUDIO_SERVICE_TYPE_MAIN;
        enc->block_align = par->block_align;
        break;
    case AVMEDIA_TYPE_VIDEO:
        if (e.OnVideoInputHook || e.OnVideoOutputHook) {
            e.LastError = "-vcodec copy and VideoHook are incompatible (frames are not decoded)";
            return AVERROR(EINVAL);
        }
        if (e.OnFrameInputHook || e.OnFrameOutputHook) {
            e.LastError = "-vcodec copy and FrameHook are incompatible (frames are not decoded)";
            return AVERROR(EINVAL);
        }
        if (e.FrameHooks && !e.FrameHooks->Empty()) {
            e.LastError = "-vcodec copy and -vhook are incompatible (frames are not decoded)";
            return AVERROR(EINVAL);
        }
        if (e.preview_flags()) {
            e.LastError = "-vcodec copy and PostHooks are incompatible (frames are not decoded)";
            return AVERROR(EINVAL);
        }
        enc->pix_fmt = AVPixelFormat(par->format);
        enc->width = par->width;
        enc->height = par->height;
        enc->has_b_frames = par->video_delay;
        if (!enc->sample_aspect_ratio.num) {
            enc->sample_aspect_ratio = ist.Stream->sample_aspect_ratio.num
                                           ? ist.Stream->sample_aspect_ratio
                                       : par->sample_aspect_ratio.num ? par->sample_aspect_ratio
                                                                      : AVRational{0, 1};
            ost.Stream->sample_aspect_ratio = enc->sample_aspect_ratio;
        }
        ost.Stream->avg_frame_rate = ist.Stream->avg_frame_rate;
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        enc->width = par->width;
        enc->height = par->height;
        break;
    case AVMEDIA_TYPE_DATA:
    case AVMEDIA_TYPE_ATTACHMENT:
        break;
    default:
        e.LastError = "invalid codec_type of output stream";
        return -1;
    }

    // No encoder is opened for a copy: the muxer reads the parameters directly.
    if (const int r = ff::avcodec_parameters_from_context(ost.Stream->codecpar, enc); r < 0)
        return r;
    ost.Stream->codecpar->codec_tag = enc->codec_tag;
    ost.Stream->time_base = enc->time_base;
    return 0;
}

int SetUpVideoEncoding(TCustomFFmpeg& e, TOutputStream& ost, TInputStream& ist) {
    AVCodecContext* enc = ost.CodecContext.get();
    AVCodecContext* dec = ist.CodecContext.get();
    AVFormatContext* oc = e.OutputFiles[size_t(ost.FileIndex)]->Context.get();

    if (enc->pix_fmt == AV_PIX_FMT_NONE) enc->pix_fmt = dec->pix_fmt;
    e.pick_pixel_format(ost, ost.Encoder);
    if (enc->pix_fmt == AV_PIX_FMT_NONE) {
        e.LastError = "Video pixel format is unknown, stream cannot be encoded";
        return -1;
    }
    if (enc->width == 0 || enc->height == 0) {
        enc->width = dec->width;
        enc->height = dec->height;
    }
    ost.VideoResample =
        enc->width != dec->width || enc->height != dec->height || enc->pix_fmt != dec->pix_fmt;
    if (ost.VideoResample) enc->bits_per_raw_sample = e.GlobalOptions.BitsPerRawSample;
    ost.ResampleHeight = dec->height;
    ost.ResampleWidth = dec->width;
    ost.ResamplePixFmt = dec->pix_fmt;

    if (ost.FrameRate.num == 0) {
        ost.FrameRate = ist.Stream->r_frame_rate.num ? ist.Stream->r_frame_rate : AVRational{25, 1};
        if (ost.Encoder && ost.Encoder->supported_framerates && !ost.ForceFPS)
            ost.FrameRate = ost.Encoder->supported_framerates[ff::av_find_nearest_q_idx(
                ost.FrameRate, ost.Encoder->supported_framerates)];
    }
    enc->time_base = AVRational{ost.FrameRate.den, ost.FrameRate.num};
    enc->framerate = ost.FrameRate;
    const int vsync = e.GlobalOptions.VideoSyncMethod;
    if (av_q2d(enc->time_base) < 0.001 &&
        (vsync == 1 || (vsync == -1 && !(oc->oformat->flags & AVFMT_VARIABLE_FPS))))
        ff::av_log(oc, AV_LOG_WARNING, "%s",
                   "Frame rate very high for a muxer not effciciently supporting it.\nPlease "
                   "consider specifiying a lower framerate, a different muxer or -vsync 2\n");

    for (int64_t& t : ost.ForcedKeyFramePTS)
        t = ff::av_rescale_q(t, AVRational{1, AV_TIME_BASE}, enc->time_base);
    ost.ForcedKeyFrameCount = int(ost.ForcedKeyFramePTS.size());
    ost.ForcedKeyFrameIndex = 0;

    e.LastError.clear();
    if (const int r = e.build_video_filter_graph(ist, ost); r < 0) {
        e.LastError = e.LastError.empty() ? error_text("Error opening filters", r)
                                          : "Error opening filters: " + e.LastError;
        return r;
    }
    return 0;
}

int SetUpAudioEncoding(TCustomFFmpeg& e, TOutputStream& ost, TInputStream& ist) {
    AVCodecContext* enc = ost.CodecContext.get();
    AVCodecContext* dec = ist.CodecContext.get();

    if (enc->sample_rate == 0) enc->sample_rate = dec->sample_rate;
    e.pick_sample_rate(ost, ost.Encoder);
    enc->time_base = AVRational{1, enc->sample_rate > 0 ? enc->sample_rate : 1};
    if (enc->sample_fmt == AV_SAMPLE_FMT_NONE) enc->sample_fmt = dec->sample_fmt;
    e.pick_sample_format(ost, ost.Encoder);

    if (ost.AudioChannelsMapped > 0) {
        if (enc->ch_layout.nb_channels == 0) {
            ff::av_channel_layout_uninit(&enc->ch_layout);
            ff::av_channel_layout_default(&enc->ch_layout, ost.AudioChannelsMapped);
            if (enc->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
                e.LastError = "Unable to find an appropriate channel layout for requested "
                              "number of channel";
                return -1;
            }
        }
        for (int i = ost.AudioChannelsMapped; i < 16; ++i)
            ost.AudioChannelMap[i] = -1;
    } else if (enc->ch_layout.nb_channels == 0) {
        ff::av_channel_layout_uninit(&enc->ch_layout);
        if (const int r = ff::av_channel_layout_copy(&enc->ch_layout, &dec->ch_layout); r < 0)
            return r;
    }
    // A channel count without a layout (the "ac" option) gets the count's default layout.
    if (enc->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC && enc->ch_layout.nb_channels > 0) {
        const int n = enc->ch_layout.nb_channels;
        AVChannelLayout def{};
        ff::av_channel_layout_default(&def, n);
        if (def.order != AV_CHANNEL_ORDER_UNSPEC) {
            ff::av_channel_layout_uninit(&enc->ch_layout);
            enc->ch_layout = def;
        }
    }
    ost.AudioResample =
        !(enc->sample_rate == dec->sample_rate && e.GlobalOptions.AudioSyncMethod <= 1 &&
          enc->sample_fmt == dec->sample_fmt &&
          ff::av_channel_layout_compare(&enc->ch_layout, &dec->ch_layout) == 0);
    ost.ResampleSampleFmt = dec->sample_fmt;
    ost.ResampleSampleRate = dec->sample_rate;
    ost.ResampleChannels = dec->ch_layout.nb_channels;

    // Samples are queued in the encoder's format until a full encoder frame is there.
    ost.Fifo.reset(ff::av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 1024));
    if (!ost.Fifo) {
        e.LastError = "av_fifo_alloc failed";
        return AVERROR(ENOMEM);
    }
    return 0;
}

int SetUpTwoPass(TCustomFFmpeg& e, TOutputStream& ost, int index) {
    AVCodecContext* enc = ost.CodecContext.get();
    if (!(enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) return 0;
    const std::string& prefix = e.GlobalOptions.PassLogFileName;
    std::string name = (prefix.empty() ? std::string("ffencoder2pass") : prefix) + "-" +
                       std::to_string(index) + ".log";
    if (name.size() > 1023) name.resize(1023);
    if (ost.Encoder && std::strcmp(ost.Encoder->name, "libx264") == 0) {
        if (!ost.Options.value("stats"))
            ff::av_dict_set(ost.Options.ptr(), "stats", name.c_str(), 0);
        return 0;
    }
    if (enc->flags & AV_CODEC_FLAG_PASS2) {
        std::ifstream in(name, std::ios::binary);
        std::stringstream text;
        if (!in || !(text << in.rdbuf())) {
            e.LastError = Format("Error reading log file \"%s\" for pass-2 encoding", name);
            return -1;
        }
        ff::av_freep(&enc->stats_in);
        enc->stats_in = ff::av_strdup(text.str().c_str());
        if (!enc->stats_in) {
            e.LastError =
                Format("Could not allocate file buffer: Error reading log file \"%s\" for pass-2 "
                       "encoding",
                       name);
            return AVERROR(ENOMEM);
        }
    }
    if (enc->flags & AV_CODEC_FLAG_PASS1) {
        ost.LogFile.reset(ff::fopen(name.c_str(), "wb"));
        if (!ost.LogFile) {
            e.LastError = Format("Cannot write log file %s for pass-1 encoding", name);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int TCustomFFmpeg::transcode_init() {
    // 1. Pacing start of the inputs read at their native rate.
    for (const auto& f : InputFiles) {
        if (!f->RateEmulation) continue;
        for (int j = 0; j < f->StreamCount; ++j)
            InputStreams[size_t(f->FirstStreamIndex + j)]->StartTime = ff::av_gettime();
    }

    // 2. Every output needs a stream unless its muxer takes none.
    for (size_t i = 0; i < OutputFiles.size(); ++i) {
        AVFormatContext* oc = OutputFiles[i]->Context.get();
        if (oc->nb_streams == 0 && !(oc->oformat->flags & AVFMT_NOSTREAMS)) {
            ff::av_dump_format(oc, int(i), oc->url ? oc->url : "", 1);
            LastError = Format("Output file #%d does not contain any stream", int(i));
            FFLogger().Log(this, llError, LastError);
            return AVERROR(EINVAL);
        }
    }

    // 3. Settle every output stream.
    for (size_t i = 0; i < OutputStreams.size(); ++i) {
        TOutputStream& ost = *OutputStreams[i];
        if (!ost.AttachmentFileName.empty()) continue;
        if (ost.SourceIndex < 0 || size_t(ost.SourceIndex) >= InputStreams.size())
            raise_error(
                Format("Output stream #%d:%d has no source stream", ost.FileIndex, ost.Index));
        TInputStream& ist = *InputStreams[size_t(ost.SourceIndex)];
        AVCodecContext* enc = ost.CodecContext.get();
        AVCodecContext* dec = ist.CodecContext.get();

        ost.Stream->disposition = ist.Stream->disposition;
        enc->bits_per_raw_sample = dec->bits_per_raw_sample;
        enc->chroma_sample_location = dec->chroma_sample_location;

        int r = 0;
        if (ost.StreamCopy) {
            r = SetUpStreamCopy(*this, ost, ist);
        } else {
            if (!ost.Encoder) ost.Encoder = ff::avcodec_find_encoder(enc->codec_id);
            ist.DecodingNeeded = true;
            ost.EncodingNeeded = true;
            switch (enc->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                r = SetUpVideoEncoding(*this, ost, ist);
                break;
            case AVMEDIA_TYPE_AUDIO:
                r = SetUpAudioEncoding(*this, ost, ist);
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                break;
            default:
                LastError = "invalid codec_type of output stream";
                r = -1;
            }
            if (r >= 0) r = SetUpTwoPass(*this, ost, int(i));
        }
        if (r < 0) return r;

        if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
            const int64_t need = int64_t(enc->width) * enc->height * 9 + 10000;
            if (need > VideoOutputBufferSize && need <= INT_MAX) VideoOutputBufferSize = int(need);
        }
    }

    // 4. The shared video output buffer.
    VideoOutputBuffer.reset(static_cast<uint8_t*>(ff::av_malloc(size_t(VideoOutputBufferSize))));
    if (!VideoOutputBuffer) {
        LastError = Format("Cannot allocate %d bytes output buffer", VideoOutputBufferSize);
        return AVERROR(ENOMEM);
    }

    std::string error;
    int code = 0;
    // 5. Encoders.
    for (const auto& o : OutputStreams) {
        TOutputStream& ost = *o;
        if (!ost.EncodingNeeded) continue;
        AVCodecContext* enc = ost.CodecContext.get();
        const std::string type = media_type_name(enc->codec_type);
        if (!ost.Encoder) {
            error = Format("Encoder (codec %s) not found for output stream #%d:%d (%s)",
                           ff::avcodec_get_name(enc->codec_id), ost.FileIndex, ost.Index, type);
            code = AVERROR(EINVAL);
            break;
        }
        const AVCodecContext* dec = InputStreams[size_t(ost.SourceIndex)]->CodecContext.get();
        if (enc->codec_type == AVMEDIA_TYPE_SUBTITLE) {
            // Subtitle decoders make their style header when they open, and the encoder needs it.
            if (const int r = open_input_decoder(ost.SourceIndex, error); r < 0) {
                code = r;
                break;
            }
            if (enc->time_base.num <= 0 || enc->time_base.den <= 0) enc->time_base = AV_TIME_BASE_Q;
        }
        if (dec->subtitle_header) {
            enc->subtitle_header =
                static_cast<uint8_t*>(ff::av_mallocz(size_t(dec->subtitle_header_size) + 1));
            if (!enc->subtitle_header) {
                error = "av_malloc failed";
                code = AVERROR(ENOMEM);
                break;
            }
            std::memcpy(enc->subtitle_header, dec->subtitle_header, dec->subtitle_header_size);
            enc->subtitle_header_size = dec->subtitle_header_size;
        }
        if (!ost.Options.value("threads")) ff::av_dict_set(ost.Options.ptr(), "threads", "auto", 0);
        if (ff::avcodec_open2(enc, ost.Encoder, ost.Options.ptr()) < 0) {
            error = Format("Error while opening encoder for output stream #%d:%d (%s) - maybe "
                           "incorrect parameters such as bit_rate, rate, width or height. Please "
                           "check error log message(reported by FFLogger) to find out more "
                           "detail information.",
                           ost.FileIndex, ost.Index, type);
            code = AVERROR(EINVAL);
            break;
        }
        register_encoder(enc);
        reject_experimental_codec(enc, true);
        reject_leftover_options(ost.Options);
        if (enc->bit_rate && enc->bit_rate < 1000)
            FFLogger().Log(this, llWarning,
                           "The bitrate parameter is set too low. It takes "
                           "bits/s as argument, not kbits/s");
        ExtraSize += enc->extradata_size;
        // The muxer sees the opened encoder's parameters.
        if (const int r = ff::avcodec_parameters_from_context(ost.Stream->codecpar, enc); r < 0) {
            error = error_text(Format("Could not copy the encoder parameters of output stream "
                                      "#%d:%d",
                                      ost.FileIndex, ost.Index),
                               r);
            code = r;
            break;
        }
        ost.Stream->time_base = enc->time_base;
    }

    // 6. Decoders.
    if (!code) {
        for (size_t i = 0; i < InputStreams.size(); ++i) {
            if (const int r = open_input_decoder(int(i), error); r < 0) {
                code = r;
                break;
            }
        }
    }

    // 7. Programs nobody reads are discarded whole.
    if (!code) {
        for (const auto& f : InputFiles) {
            AVFormatContext* ic = f->Context.get();
            for (unsigned p = 0; p < ic->nb_programs; ++p) {
                AVProgram* prog = ic->programs[p];
                prog->discard = AVDISCARD_ALL;
                for (unsigned k = 0; k < prog->nb_stream_indexes; ++k) {
                    const int idx = f->FirstStreamIndex + int(prog->stream_index[k]);
                    if (idx < int(InputStreams.size()) && !InputStreams[size_t(idx)]->Discard) {
                        prog->discard = AVDISCARD_DEFAULT;
                        break;
                    }
                }
            }
        }
    }

    // Bitstream filters start from the settled stream parameters; what the last one puts out
    // is what the muxer sees.
    if (!code) {
        for (const auto& o : OutputStreams) {
            TOutputStream& ost = *o;
            const AVCodecParameters* par = ost.Stream->codecpar;
            AVRational tb = ost.Stream->time_base;
            for (auto& b : ost.BitstreamFilters) {
                AVBSFContext* bsf = b.get();
                int r = ff::avcodec_parameters_copy(bsf->par_in, par);
                bsf->time_base_in = tb;
                if (r >= 0) r = ff::av_bsf_init(bsf);
                if (r < 0) {
                    error = error_text(Format("Error initializing bitstream filter %s for output "
                                              "stream #%d:%d",
                                              bsf->filter->name, ost.FileIndex, ost.Index),
                                       r);
                    code = r;
                    break;
                }
                par = bsf->par_out;
                tb = bsf->time_base_out;
            }
            if (code) break;
            if (par != ost.Stream->codecpar) {
                if (const int r = ff::avcodec_parameters_copy(ost.Stream->codecpar, par); r < 0) {
                    error = error_text("avcodec_parameters_copy", r);
                    code = r;
                    break;
                }
            }
        }
    }

    // 8. Headers, under the output watchdog.
    bool want_sdp = true;
    if (!code) {
        for (size_t i = 0; i < OutputFiles.size(); ++i) {
            TOutputFile& of = *OutputFiles[i];
            AVFormatContext* oc = of.Context.get();
            oc->interrupt_callback = OutputInterrupt;
            arm_output_stamp();
            const int r = ff::avformat_write_header(oc, of.Options.ptr());
            set_output_stamp(StampUnarmed);
            if (r < 0) {
                error = Format("Could not write header for output file #%d (incorrect codec "
                               "parameters ?)",
                               int(i));
                code = AVERROR(EINVAL);
                break;
            }
            if (std::strcmp(oc->oformat->name, "rtp") != 0) want_sdp = false;
        }
    }

    // 9. The mapping is worth seeing after a failure too.
    log_stream_mapping();

    // 10.
    if (code) {
        FFLogger().Log(this, llError, error);
        return code;
    }
    if (want_sdp && !OutputFiles.empty()) log_sdp();
    return 0;
}
