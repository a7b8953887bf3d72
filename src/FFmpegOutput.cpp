// Output set-up: the output container, its streams (automatic selection or maps) with their
// encoders and per-stream settings, attachments, the opened file, metadata and chapters.
#include "src/FFmpeg.h"

#include "src/FFLoad.h"
#include "src/FFUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void TBSFContextDeleter::operator()(AVBSFContext* c) const {
    if (c && ff::av_bsf_free) ff::av_bsf_free(&c);
}

// --- codec options per stream ------------------------------------------------------------

TDictionary TCustomFFmpeg::filter_codec_opts(const TDictionary& opts, const AVCodec* codec,
                                             AVFormatContext* s, AVStream* st) {
    TDictionary result;
    int flags = s->oformat ? AV_OPT_FLAG_ENCODING_PARAM : AV_OPT_FLAG_DECODING_PARAM;
    char prefix = 0;
    switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        prefix = 'v';
        flags |= AV_OPT_FLAG_VIDEO_PARAM;
        break;
    case AVMEDIA_TYPE_AUDIO:
        prefix = 'a';
        flags |= AV_OPT_FLAG_AUDIO_PARAM;
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        prefix = 's';
        flags |= AV_OPT_FLAG_SUBTITLE_PARAM;
        break;
    default:
        break;
    }

    const AVClass* cc = ff::avcodec_get_class();
    const AVClass* pc = codec ? codec->priv_class : nullptr;
    const auto is_option = [&](const char* name) {
        if (ff::av_opt_find(&cc, name, nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ)) return true;
        return pc && ff::av_opt_find(&pc, name, nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ);
    };

    const AVDictionaryEntry* t = nullptr;
    while ((t = ff::av_dict_get(opts.get(), "", t, AV_DICT_IGNORE_SUFFIX))) {
        std::string name = t->key;
        if (const size_t colon = name.find(':'); colon != std::string::npos) {
            const int r = check_stream_specifier(s, st, name.substr(colon + 1));
            if (r == 0) continue;
            if (r < 0) break;
            name.erase(colon);
        }
        if (is_option(name.c_str()))
            ff::av_dict_set(result.ptr(), name.c_str(), t->value, 0);
        else if (prefix && name.size() > 1 && name[0] == prefix &&
                 ff::av_opt_find(&cc, name.c_str() + 1, nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ))
            ff::av_dict_set(result.ptr(), name.c_str() + 1, t->value, 0);
    }
    return result;
}

namespace {

// --- new output streams ------------------------------------------------------------------

TOutputStream& NewOutputStream(TCustomFFmpeg& e, TOptionsContext& o, AVFormatContext* oc,
                               AVMediaType type, int source_index) {
    AVStream* st = ff::avformat_new_stream(oc, nullptr);
    if (!st) e.raise_error("Could not alloc stream.");
    if (st->index < int(o.StreamIdMap.size())) st->id = o.StreamIdMap[size_t(st->index)];
    // The type first: the per-stream lookups below test it.
    st->codecpar->codec_type = type;

    auto owned = std::make_unique<TOutputStream>();
    TOutputStream& ost = *owned;
    ost.FileIndex = int(e.OutputFiles.size());
    ost.Index = st->index;
    ost.SourceIndex = source_index;
    ost.Stream = st;
    ost.LastDTS = AV_NOPTS_VALUE;
    e.OutputStreams.push_back(std::move(owned));

    std::string codec_name;
    if (e.match_per_stream_opt(o.CodecNames, oc, st, codec_name)) {
        if (codec_name == "copy") {
            ost.StreamCopy = true;
        } else {
            ost.Encoder = e.find_codec_or_die(codec_name, type, true);
            st->codecpar->codec_id = ost.Encoder->id;
        }
    } else {
        st->codecpar->codec_id = ff::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, type);
        ost.Encoder = ff::avcodec_find_encoder(st->codecpar->codec_id);
    }
    if (ost.Encoder) ost.Options = e.filter_codec_opts(e.CodecOpts, ost.Encoder, oc, st);

    // The encoder's defaults; without an encoder the generic ones, with the requested type.
    ost.CodecContext.reset(ff::avcodec_alloc_context3(ost.Encoder));
    if (!ost.CodecContext)
        e.raise_error_fmt("Could not allocate an encoder context for output stream #%d:%d",
                          ost.FileIndex, ost.Index);
    AVCodecContext* c = ost.CodecContext.get();
    c->codec_type = type;
    c->codec_id = st->codecpar->codec_id;

    e.match_per_stream_opt(o.MaxFrames, oc, st, ost.MaxFrames);

    std::string bsfs;
    if (e.match_per_stream_opt(o.BitstreamFilters, oc, st, bsfs)) {
        size_t pos = 0;
        while (pos <= bsfs.size()) {
            size_t comma = bsfs.find(',', pos);
            if (comma == std::string::npos) comma = bsfs.size();
            const std::string name = bsfs.substr(pos, comma - pos);
            pos = comma + 1;
            const AVBitStreamFilter* filter = ff::av_bsf_get_by_name(name.c_str());
            if (!filter) e.raise_error_fmt("Unknown bitstream filter \"%s\"", name);
            AVBSFContext* bsf = nullptr;
            if (const int r = ff::av_bsf_alloc(filter, &bsf); r < 0)
                e.raise_error(error_text(Format("Bitstream filter \"%s\"", name), r));
            ost.BitstreamFilters.emplace_back(bsf);
        }
    }

    std::string tag;
    if (e.match_per_stream_opt(o.CodecTags, oc, st, tag)) {
        const uint32_t t = TCustomFFmpeg::parse_codec_tag(tag);
        st->codecpar->codec_tag = t;
        c->codec_tag = t;
    }

    double qscale = -1.0;
    e.match_per_stream_opt(o.QScale, oc, st, qscale);
    if (qscale >= 0 || e.GlobalOptions.SameQuant) {
        c->flags |= AV_CODEC_FLAG_QSCALE;
        c->global_quality = int(FF_QP2LAMBDA * qscale);
    }

    if (oc->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    int64_t sws_flags = 0;
    if (e.SwsOpts && ff::av_opt_get_int(e.SwsOpts.get(), "sws_flags", 0, &sws_flags) >= 0)
        ost.ScaleFlags = sws_flags;
    return ost;
}

// 64 decimal coefficients separated by ",".
void ParseMatrixCoeffs(TCustomFFmpeg& e, uint16_t* dest, const std::string& text) {
    const char* p = text.c_str();
    for (int i = 0; i < 64; ++i) {
        dest[i] = uint16_t(std::atoi(p));
        if (i == 63) break;
        p = std::strchr(p, ',');
        if (!p) e.raise_error_fmt("Syntax error in matrix \"%s\" at coeff %d", text, i);
        ++p;
    }
}

// "x:y" with both positive, or a decimal number; 0 when neither.
double ParseAspect(const std::string& text) {
    if (const size_t colon = text.find(':'); colon != std::string::npos) {
        char* end = nullptr;
        const long x = std::strtol(text.c_str(), &end, 10);
        if (end != text.c_str() + colon) return 0;
        const long y = std::strtol(end + 1, &end, 10);
        return x > 0 && y > 0 ? double(x) / double(y) : 0;
    }
    return std::strtod(text.c_str(), nullptr);
}

TOutputStream& NewVideoStream(TCustomFFmpeg& e, TOptionsContext& o, AVFormatContext* oc,
                              int source_index) {
    TOutputStream& ost = NewOutputStream(e, o, oc, AVMEDIA_TYPE_VIDEO, source_index);
    AVStream* st = ost.Stream;
    AVCodecContext* c = ost.CodecContext.get();
    const TGlobalOptions& g = e.GlobalOptions;

    if (ost.StreamCopy) {
        e.match_per_stream_opt(o.CopyInitialNonKeyFrames, oc, st, ost.CopyInitialNonKeyFrames);
        return ost;
    }

    std::string text;
    if (e.match_per_stream_opt(o.FrameRates, oc, st, text) &&
        ff::av_parse_video_rate(&ost.FrameRate, text.c_str()) < 0)
        e.raise_error_fmt("Invalid framerate value: %s", text);
    if (e.match_per_stream_opt(o.FrameSizes, oc, st, text) &&
        ff::av_parse_video_size(&c->width, &c->height, text.c_str()) < 0)
        e.raise_error_fmt("Invalid frame size: %s.", text);
    if (e.match_per_stream_opt(o.FrameAspectRatios, oc, st, text)) {
        const double ar = ParseAspect(text);
        if (ar == 0) e.raise_error("Incorrect aspect ratio specification.");
        ost.FrameAspectRatio = float(ar);
    }

    c->bits_per_raw_sample = g.BitsPerRawSample;
    if (e.match_per_stream_opt(o.FramePixFmts, oc, st, text) &&
        (c->pix_fmt = ff::av_get_pix_fmt(text.c_str())) == AV_PIX_FMT_NONE)
        e.raise_error_fmt("Unknown pixel format requested: %s.", text);
    st->sample_aspect_ratio = c->sample_aspect_ratio;

    if (g.IntraOnly) c->gop_size = 0;

    // The matrices belong to the context: avcodec_free_context frees them.
    if (e.match_per_stream_opt(o.IntraMatrices, oc, st, text)) {
        c->intra_matrix = static_cast<uint16_t*>(ff::av_mallocz(sizeof(uint16_t) * 64));
        if (!c->intra_matrix) e.raise_error("Could not allocate memory for intra matrix.");
        ParseMatrixCoeffs(e, c->intra_matrix, text);
    }
    if (e.match_per_stream_opt(o.InterMatrices, oc, st, text)) {
        c->inter_matrix = static_cast<uint16_t*>(ff::av_mallocz(sizeof(uint16_t) * 64));
        if (!c->inter_matrix) e.raise_error("Could not allocate memory for inter matrix.");
        ParseMatrixCoeffs(e, c->inter_matrix, text);
    }

    if (e.match_per_stream_opt(o.RCOverrides, oc, st, text)) {
        const char* p = text.c_str();
        int i = 0;
        for (; p; ++i) {
            int start = 0, end = 0, q = 0;
            if (std::sscanf(p, "%d,%d,%d", &start, &end, &q) != 3)
                e.raise_error("error parsing rc_override");
            auto* grown = static_cast<RcOverride*>(
                ff::av_realloc(c->rc_override, sizeof(RcOverride) * size_t(i + 1)));
            if (!grown) e.raise_error("Could not allocate memory for rc_override.");
            c->rc_override = grown;
            c->rc_override_count = i;  // the entries made so far, should the next one fail
            RcOverride& r = c->rc_override[i];
            r.start_frame = start;
            r.end_frame = end;
            if (q > 0) {
                r.qscale = q;
                r.quality_factor = 1.0f;
            } else {
                r.qscale = 0;
                r.quality_factor = -q / 100.0f;
            }
            c->rc_override_count = i + 1;
            p = std::strchr(p, '/');
            if (p) ++p;
        }
        c->rc_override_count = i;
    }

    if (!c->rc_initial_buffer_occupancy) c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
    c->intra_dc_precision = g.IntraDCPrecision - 8;
    if (g.DoPSNR) c->flags |= AV_CODEC_FLAG_PSNR;
    if (g.DoPass & 1) c->flags |= AV_CODEC_FLAG_PASS1;
    if (g.DoPass & 2) c->flags |= AV_CODEC_FLAG_PASS2;

    if (e.match_per_stream_opt(o.ForcedKeyFrames, oc, st, text)) {
        size_t pos = 0;
        while (pos <= text.size()) {
            size_t comma = text.find(',', pos);
            if (comma == std::string::npos) comma = text.size();
            const std::string part = text.substr(pos, comma - pos);
            pos = comma + 1;
            int64_t t = 0;
            if (ff::av_parse_time(&t, part.c_str(), 1) < 0)
                e.raise_error_fmt("Invalid %s specification for %s: %s", "duration",
                                  "force_key_frames", part);
            ost.ForcedKeyFramePTS.push_back(t);
        }
    }

    e.match_per_stream_opt(o.ForceFPS, oc, st, ost.ForceFPS);
    ost.TopFieldFirst = -1;
    e.match_per_stream_opt(o.TopFieldFirst, oc, st, ost.TopFieldFirst);
    if (e.match_per_stream_opt(o.Filters, oc, st, text)) ost.FilterChain = text;
    return ost;
}

TOutputStream& NewAudioStream(TCustomFFmpeg& e, TOptionsContext& o, AVFormatContext* oc,
                              int source_index) {
    TOutputStream& ost = NewOutputStream(e, o, oc, AVMEDIA_TYPE_AUDIO, source_index);
    AVStream* st = ost.Stream;
    AVCodecContext* c = ost.CodecContext.get();

    if (!ost.StreamCopy) {
        int channels = 0;
        if (e.match_per_stream_opt(o.AudioChannels, oc, st, channels)) {
            // A channel count without a layout; transcoding set-up settles the layout.
            ff::av_channel_layout_uninit(&c->ch_layout);
            c->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
            c->ch_layout.nb_channels = channels;
        }
        std::string text;
        if (e.match_per_stream_opt(o.SampleFmts, oc, st, text) &&
            (c->sample_fmt = ff::av_get_sample_fmt(text.c_str())) == AV_SAMPLE_FMT_NONE)
            e.raise_error_fmt("Invalid sample format \"%s\"", text);
        e.match_per_stream_opt(o.AudioSampleRate, oc, st, c->sample_rate);
        ost.RematrixVolume = 1.0f;
        e.match_per_stream_opt(o.RematrixVolume, oc, st, ost.RematrixVolume);
    }

    if (source_index < 0) return ost;
    const TInputStream& ist = *e.InputStreams[size_t(source_index)];
    const int output_index = int(e.OutputFiles.size());
    for (const TAudioChannelMap& m : o.AudioChannelMaps) {
        const bool source_matches = m.ChannelIndex == -1 || (m.FileIndex == ist.FileIndex &&
                                                             m.StreamIndex == ist.Stream->index);
        if (!source_matches) continue;
        if (m.OFileIndex != -1 && m.OFileIndex != output_index) continue;
        if (m.OStreamIndex != -1 && m.OStreamIndex != ost.Index) continue;
        if (ost.AudioChannelsMapped >= 16)
            e.raise_error_fmt("Max channel mapping for output %d.%d reached", ost.FileIndex,
                              ost.Index);
        ost.AudioChannelMap[ost.AudioChannelsMapped++] = m.ChannelIndex;
    }
    return ost;
}

TOutputStream& NewDataStream(TCustomFFmpeg& e, TOptionsContext& o, AVFormatContext* oc,
                             int source_index) {
    TOutputStream& ost = NewOutputStream(e, o, oc, AVMEDIA_TYPE_DATA, source_index);
    if (!ost.StreamCopy) e.raise_error("Data stream encoding not supported yet (only streamcopy)");
    return ost;
}

TOutputStream& NewSubtitleStream(TCustomFFmpeg& e, TOptionsContext& o, AVFormatContext* oc,
                                 int source_index) {
    return NewOutputStream(e, o, oc, AVMEDIA_TYPE_SUBTITLE, source_index);
}

TOutputStream& NewAttachmentStream(TCustomFFmpeg& e, TOptionsContext& o, AVFormatContext* oc,
                                   int source_index) {
    TOutputStream& ost = NewOutputStream(e, o, oc, AVMEDIA_TYPE_ATTACHMENT, source_index);
    ost.StreamCopy = true;
    return ost;
}

// An output stream for an input stream of any type; the input stream stops being discarded.
void NewStreamFor(TCustomFFmpeg& e, TOptionsContext& o, AVFormatContext* oc, int source_index,
                  TInputStream* sync) {
    TInputStream& ist = *e.InputStreams[size_t(source_index)];
    TOutputStream* ost = nullptr;
    switch (ist.Stream->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        ost = &NewVideoStream(e, o, oc, source_index);
        break;
    case AVMEDIA_TYPE_AUDIO:
        ost = &NewAudioStream(e, o, oc, source_index);
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        ost = &NewSubtitleStream(e, o, oc, source_index);
        break;
    case AVMEDIA_TYPE_DATA:
        ost = &NewDataStream(e, o, oc, source_index);
        break;
    case AVMEDIA_TYPE_ATTACHMENT:
        ost = &NewAttachmentStream(e, o, oc, source_index);
        break;
    default:
        e.raise_error_fmt("Cannot map stream #%d:%d - unsupported type.", ist.FileIndex,
                          ist.Stream->index);
    }
    ost->SyncInput = sync;
    ist.Discard = false;
}

// The first input stream of `type` with the largest positive `measure`.
int BestInputStream(const TCustomFFmpeg& e, AVMediaType type,
                    int64_t (*measure)(const AVCodecParameters*)) {
    int best = -1;
    int64_t best_value = 0;
    for (size_t i = 0; i < e.InputStreams.size(); ++i) {
        const AVCodecParameters* par = e.InputStreams[i]->Stream->codecpar;
        if (par->codec_type != type) continue;
        const int64_t v = measure(par);
        if (v > best_value) {
            best_value = v;
            best = int(i);
        }
    }
    return best;
}

void SelectStreamsAutomatically(TCustomFFmpeg& e, TOptionsContext& o, AVFormatContext* oc) {
    const auto add = [&](int index) {
        if (index >= 0) NewStreamFor(e, o, oc, index, e.InputStreams[size_t(index)].get());
    };
    const AVOutputFormat* f = oc->oformat;
    if (!o.VideoDisable && f->video_codec != AV_CODEC_ID_NONE)
        add(BestInputStream(e, AVMEDIA_TYPE_VIDEO, [](const AVCodecParameters* p) {
            return int64_t(p->width) * p->height;
        }));
    if (!o.AudioDisable && f->audio_codec != AV_CODEC_ID_NONE)
        add(BestInputStream(e, AVMEDIA_TYPE_AUDIO, [](const AVCodecParameters* p) {
            return int64_t(p->ch_layout.nb_channels);
        }));
    if (!o.SubtitleDisable &&
        (f->subtitle_codec != AV_CODEC_ID_NONE || !e.GlobalOptions.SubtitleCodecName.empty()))
        add(BestInputStream(e, AVMEDIA_TYPE_SUBTITLE,
                            [](const AVCodecParameters*) { return int64_t(1); }));
}

void SelectMappedStreams(TCustomFFmpeg& e, TOptionsContext& o, AVFormatContext* oc) {
    for (const TStreamMap& m : o.StreamMaps) {
        if (m.Disabled) continue;
        const int index = e.InputFiles[size_t(m.FileIndex)]->FirstStreamIndex + m.StreamIndex;
        const TInputStream& ist = *e.InputStreams[size_t(index)];
        switch (ist.Stream->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            if (o.VideoDisable) continue;
            break;
        case AVMEDIA_TYPE_AUDIO:
            if (o.AudioDisable) continue;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            if (o.SubtitleDisable) continue;
            break;
        case AVMEDIA_TYPE_DATA:
            if (o.DataDisable) continue;
            break;
        default:
            break;
        }
        const int sync =
            e.InputFiles[size_t(m.SyncFileIndex)]->FirstStreamIndex + m.SyncStreamIndex;
        NewStreamFor(e, o, oc, index, e.InputStreams[size_t(sync)].get());
    }
}

// Reads a whole attachment file into a padded buffer owned by the library's allocator.
struct TAVFree {
    void operator()(uint8_t* p) const { ff::av_free(p); }
};

void AddAttachment(TCustomFFmpeg& e, TOptionsContext& o, AVFormatContext* oc,
                   const std::string& name) {
    AVIOContext* pb = nullptr;
    e.arm_input_stamp();
    if (ff::avio_open2(&pb, name.c_str(), AVIO_FLAG_READ, &e.InputInterrupt, nullptr) < 0)
        e.raise_error_fmt("Could not open attachment file %s.", name);
    struct TClose {
        AVIOContext*& pb;
        ~TClose() { ff::avio_closep(&pb); }
    } close{pb};

    const int64_t len = ff::avio_size(pb);
    if (len <= 0) e.raise_error_fmt("Could not get size of the attachment %s.", name);
    std::unique_ptr<uint8_t, TAVFree> data;
    if (len <= INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)
        data.reset(
            static_cast<uint8_t*>(ff::av_mallocz(size_t(len) + AV_INPUT_BUFFER_PADDING_SIZE)));
    if (!data) e.raise_error_fmt("Attachment %s too large to fit into memory.", name);
    e.arm_input_stamp();
    // A short read would silently store a corrupted attachment.
    if (ff::avio_read(pb, data.get(), int(len)) != int(len))
        e.raise_error_fmt("Could not read the attachment %s.", name);

    TOutputStream& ost = NewAttachmentStream(e, o, oc, -1);
    ost.StreamCopy = false;
    ost.SourceIndex = -1;
    ost.AttachmentFileName = name;
    ost.Stream->codecpar->extradata = data.release();
    ost.Stream->codecpar->extradata_size = int(len);

    size_t cut = name.rfind('/');
    if (cut == std::string::npos) cut = name.rfind('\\');
    const std::string base = cut == std::string::npos ? name : name.substr(cut + 1);
    ff::av_dict_set(&ost.Stream->metadata, "filename", base.c_str(), AV_DICT_DONT_OVERWRITE);
}

// --- metadata and chapters ---------------------------------------------------------------

struct TMetaSpec {
    char Type = 'g';
    int Index = 0;
    std::string StreamSpec;
};

// "", "g", "c[:N]", "p[:N]", "s[:stream specifier]".
TMetaSpec ParseMetaSpec(TCustomFFmpeg& e, const std::string& spec) {
    TMetaSpec m;
    if (spec.empty()) return m;
    m.Type = spec[0];
    switch (m.Type) {
    case 'g':
        break;
    case 's':
        if (spec.size() > 1 && spec[1] != ':')
            e.raise_error_fmt("Invalid metadata specifier %s.", spec);
        if (spec.size() > 1) m.StreamSpec = spec.substr(2);
        break;
    case 'c':
    case 'p':
        if (spec.size() > 1 && spec[1] == ':')
            m.Index = int(std::strtol(spec.c_str() + 2, nullptr, 0));
        break;
    default:
        e.raise_error_fmt("Invalid metadata type %s.", spec);
    }
    return m;
}

AVDictionary** ResolveMetadata(TCustomFFmpeg& e, const TMetaSpec& m, AVFormatContext* ctx) {
    const auto check = [&](unsigned count, const char* what) {
        if (m.Index < 0 || unsigned(m.Index) >= count)
            e.raise_error_fmt("Invalid %s index %d while processing metadata maps.", what, m.Index);
    };
    switch (m.Type) {
    case 'c':
        check(ctx->nb_chapters, "chapter");
        return &ctx->chapters[m.Index]->metadata;
    case 'p':
        check(ctx->nb_programs, "program");
        return &ctx->programs[m.Index]->metadata;
    default:
        return &ctx->metadata;  // "g"; "s" is resolved per stream
    }
}

void CopyMetadata(TCustomFFmpeg& e, const std::string& outspec, const std::string& inspec,
                  AVFormatContext* oc, AVFormatContext* ic, TOptionsContext& o) {
    const TMetaSpec out = ParseMetaSpec(e, outspec);
    const TMetaSpec in = ParseMetaSpec(e, inspec);

    if (in.Type == 'g' || out.Type == 'g') o.MetadataGlobalManual = true;
    if (in.Type == 's' || out.Type == 's') o.MetadataStreamsManual = true;
    if (in.Type == 'c' || out.Type == 'c') o.MetadataChaptersManual = true;

    AVDictionary** meta_in = ResolveMetadata(e, in, ic);
    AVDictionary** meta_out = ResolveMetadata(e, out, oc);

    if (in.Type == 's') {
        meta_in = nullptr;
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            const int r = e.check_stream_specifier(ic, ic->streams[i], in.StreamSpec);
            if (r < 0) e.raise_error(error_text("check_stream_specifier", r));
            if (r > 0) {
                meta_in = &ic->streams[i]->metadata;
                break;
            }
        }
        if (!meta_in)
            e.raise_error_fmt("Stream specifier %s does not match  any streams.", in.StreamSpec);
    }

    if (out.Type == 's') {
        for (unsigned i = 0; i < oc->nb_streams; ++i) {
            const int r = e.check_stream_specifier(oc, oc->streams[i], out.StreamSpec);
            if (r < 0) e.raise_error(error_text("check_stream_specifier", r));
            if (r > 0)
                ff::av_dict_copy(&oc->streams[i]->metadata, *meta_in, AV_DICT_DONT_OVERWRITE);
        }
    } else {
        ff::av_dict_copy(meta_out, *meta_in, AV_DICT_DONT_OVERWRITE);
    }
}

void CopyChapters(const TInputFile& ifile, const TOutputFile& ofile, bool copy_metadata) {
    AVFormatContext* is = ifile.Context.get();
    AVFormatContext* os = ofile.Context.get();
    for (unsigned i = 0; i < is->nb_chapters; ++i) {
        const AVChapter* in_ch = is->chapters[i];
        const int64_t ts_off = ff::av_rescale_q(ofile.StartTime, AV_TIME_BASE_Q, in_ch->time_base);
        const int64_t rt =
            ofile.RecordingTime == INT64_MAX
                ? INT64_MAX
                : ff::av_rescale_q(ofile.RecordingTime, AV_TIME_BASE_Q, in_ch->time_base);
        if (in_ch->end < ts_off) continue;
        if (rt != INT64_MAX && in_ch->start >= rt + ts_off) break;

        auto* out_ch = static_cast<AVChapter*>(ff::av_mallocz(sizeof(AVChapter)));
        if (!out_ch) return;
        out_ch->id = in_ch->id;
        out_ch->time_base = in_ch->time_base;
        out_ch->start = std::max<int64_t>(0, in_ch->start - ts_off);
        out_ch->end = std::min<int64_t>(rt, in_ch->end - ts_off);
        if (copy_metadata) ff::av_dict_copy(&out_ch->metadata, in_ch->metadata, 0);

        // The context frees its chapters and their metadata (avformat_free_context).
        auto* grown = static_cast<AVChapter**>(
            ff::av_realloc(os->chapters, sizeof(AVChapter*) * (os->nb_chapters + 1)));
        if (!grown) {
            ff::av_dict_free(&out_ch->metadata);
            ff::av_free(out_ch);
            return;
        }
        os->chapters = grown;
        os->chapters[os->nb_chapters++] = out_ch;
    }
}

// The "metadata" option: key=value into the place its specifier names.
void ApplyMetadataOption(TCustomFFmpeg& e, AVFormatContext* oc,
                         const TSpecifierOpt<std::string>& m) {
    const size_t eq = m.Value.find('=');
    if (eq == std::string::npos)
        e.raise_error_fmt("No \"=\" character in metadata string %s.", m.Value);
    const std::string key = m.Value.substr(0, eq);
    const std::string val = m.Value.substr(eq + 1);
    const char* value = val.empty() ? nullptr : val.c_str();  // an empty value removes the key
    const std::string& spec = m.Specifier;

    if (spec.empty() || spec[0] == 'g') {
        ff::av_dict_set(&oc->metadata, key.c_str(), value, 0);
    } else if (spec[0] == 's') {
        if (spec.size() > 1 && spec[1] != ':')
            e.raise_error_fmt("Invalid metadata specifier %s.", spec);
        const std::string stream_spec = spec.size() > 1 ? spec.substr(2) : std::string();
        int r = 0;
        for (unsigned j = 0; j < oc->nb_streams; ++j) {
            r = e.check_stream_specifier(oc, oc->streams[j], stream_spec);
            if (r < 0) e.raise_error(error_text("check_stream_specifier", r));
            if (r > 0) ff::av_dict_set(&oc->streams[j]->metadata, key.c_str(), value, 0);
        }
        FFLogger().Log(&e, llDebug, Format("ret %d, stream_spec %s", r, stream_spec));
    } else if (spec[0] == 'c') {
        const int index =
            spec.size() > 1 && spec[1] == ':' ? int(std::strtol(spec.c_str() + 2, nullptr, 0)) : 0;
        if (index < 0 || unsigned(index) >= oc->nb_chapters)
            e.raise_error_fmt("Invalid chapter index %d in metadata specifier.", index);
        ff::av_dict_set(&oc->chapters[index]->metadata, key.c_str(), value, 0);
    } else {
        e.raise_error_fmt("Invalid metadata specifier %s.", spec);
    }
}

std::string StripFileProtocol(const std::string& name) {
    return name.rfind("file:", 0) == 0 ? name.substr(5) : name;
}

}  // namespace

// --- open output -------------------------------------------------------------------------

int TCustomFFmpeg::open_output_file(TOptionsContext& o, const std::string& filename,
                                    bool /*join*/) {
    // The join request needs more than one input; a task has exactly one.
    const auto fail = [&](const std::string& msg) {
        LastError = msg;
        FFLogger().Log(this, llError, msg);
        return -1;
    };
    if (filename.size() > MaxFileNameBytes)
        return fail(Format("File name too long: %d bytes in UTF-8, at most %d are accepted",
                           filename.size(), MaxFileNameBytes));

    // Removed muxers (such as "ffm", whose stream layout came from a streaming server) are
    // unknown formats to the 5.1 libraries and fail here.
    AVFormatContext* allocated = nullptr;
    const char* format = o.Format.empty() ? nullptr : o.Format.c_str();
    int err = ff::avformat_alloc_output_context2(&allocated, nullptr, format, filename.c_str());
    if (err >= 0 && !allocated) err = AVERROR(ENOMEM);
    if (err < 0) {
        std::string msg = error_text(filename, err);
        if (format && !ff::av_guess_format(format, nullptr, nullptr))
            msg += Format(" (unknown output format \"%s\")", o.Format);
        else if (!format && !ff::av_guess_format(nullptr, filename.c_str(), nullptr))
            msg += " (no output format matches the file name)";
        return fail(msg);
    }

    auto file = std::make_unique<TOutputFile>();
    file->Context.reset(allocated);
    TOutputFile* of = file.get();
    AVFormatContext* oc = allocated;
    oc->interrupt_callback = OutputInterrupt;

    const int64_t total_duration_before = TotalDuration;
    if (o.RecordingTime != INT64_MAX && o.RecordingTime > TotalDuration)
        TotalDuration = o.RecordingTime;

    const size_t first_output_stream = OutputStreams.size();
    std::vector<bool> discard_before;
    discard_before.reserve(InputStreams.size());
    for (const auto& ist : InputStreams)
        discard_before.push_back(ist->Discard);
    bool appended = false;
    bool opened_file = false;

    // Takes back everything this open created; the file only when this open made it empty.
    const auto clean_up_failure = [&] {
        if (appended) {
            file = std::move(OutputFiles.back());
            OutputFiles.pop_back();
        }
        const bool writes_file = !(oc->oformat->flags & AVFMT_NOFILE);
        if (writes_file && oc->pb) ff::avio_closep(&oc->pb);
        if (writes_file && opened_file) {
            const std::string path = StripFileProtocol(filename);
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
                ::unlink(path.c_str());
        }
        OutputStreams.resize(first_output_stream);
        file.reset();
        for (size_t i = 0; i < discard_before.size() && i < InputStreams.size(); ++i)
            InputStreams[i]->Discard = discard_before[i];
        TotalDuration = total_duration_before;
        reset_options(false);
    };

    try {
        if (o.StreamMaps.empty())
            SelectStreamsAutomatically(*this, o, oc);
        else
            SelectMappedStreams(*this, o, oc);

        for (const std::string& name : o.Attachments)
            AddAttachment(*this, o, oc, name);

        of->FirstStreamIndex = int(OutputStreams.size()) - int(oc->nb_streams);
        of->RecordingTime = o.RecordingTime;
        of->StartTime = o.StartTime;
        of->FileSizeLimit = o.LimitFileSize == INT64_MAX ? UINT64_MAX : uint64_t(o.LimitFileSize);
        ff::av_dict_copy(of->Options.ptr(), FormatOpts.get(), 0);
        OutputFiles.push_back(std::move(file));
        appended = true;

        if ((oc->oformat->flags & AVFMT_NEEDNUMBER) &&
            !ff::av_filename_number_test(filename.c_str())) {
            fail(error_text(filename, AVERROR(EINVAL)));
            clean_up_failure();
            return -1;
        }

        // An existing file is overwritten: "y" and "n" are not consulted for outputs.
        if (!(oc->oformat->flags & AVFMT_NOFILE)) {
            arm_output_stamp();
            err = ff::avio_open2(&oc->pb, filename.c_str(), AVIO_FLAG_WRITE, &OutputInterrupt,
                                 of->Options.ptr());
            if (err < 0) {
                fail(error_text(filename, err));
                clean_up_failure();
                return -1;
            }
            opened_file = true;
        }

        // Float products, as the seconds are floats: 0.7 s gives 700000 µs.
        if (o.MuxPreload != 0)
            ff::av_dict_set(of->Options.ptr(), "preload",
                            std::to_string(int64_t(o.MuxPreload * 1000000.0f)).c_str(), 0);
        oc->max_delay = int(o.MuxMaxDelay * 1000000.0f);

        // 5.1 contexts have no loop count: muxers that loop have a private "loop" option.
        if (GlobalOptions.LoopOutput >= 0) {
            FFLogger().Log(this, llWarning, "-loop_output is deprecated, use -loop");
            const AVClass* pc = oc->oformat->priv_class;
            if (pc && ff::av_opt_find(&pc, "loop", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
                ff::av_dict_set_int(of->Options.ptr(), "loop", GlobalOptions.LoopOutput, 0);
        }

        for (const auto& m : o.MetadataMap) {
            char* rest = nullptr;
            const long in_file = std::strtol(m.Value.c_str(), &rest, 0);
            if (in_file < 0) continue;
            if (in_file >= long(InputFiles.size()))
                raise_error_fmt("Invalid input file index %d while processing metadata maps",
                                int(in_file));
            const std::string inspec = *rest ? std::string(rest + 1) : std::string();
            CopyMetadata(*this, m.Specifier, inspec, oc, InputFiles[size_t(in_file)]->Context.get(),
                         o);
        }

        int chapters_input = o.ChaptersInputFile;
        if (chapters_input >= int(InputFiles.size())) {
            if (chapters_input != INT_MAX)
                raise_error_fmt("Invalid input file index %d in chapter mapping.", chapters_input);
            chapters_input = -1;
            for (size_t i = 0; i < InputFiles.size(); ++i) {
                if (InputFiles[i]->Context->nb_chapters) {
                    chapters_input = int(i);
                    break;
                }
            }
        }
        if (chapters_input >= 0)
            CopyChapters(*InputFiles[size_t(chapters_input)], *of, !o.MetadataChaptersManual);

        if (!o.MetadataGlobalManual && !InputFiles.empty()) {
            ff::av_dict_copy(&oc->metadata, InputFiles[0]->Context->metadata,
                             AV_DICT_DONT_OVERWRITE);
            if (o.RecordingTime != INT64_MAX)
                ff::av_dict_set(&oc->metadata, "duration", nullptr, 0);
        }
        if (!o.MetadataStreamsManual) {
            for (size_t i = size_t(of->FirstStreamIndex); i < OutputStreams.size(); ++i) {
                const TOutputStream& ost = *OutputStreams[i];
                if (ost.SourceIndex < 0) continue;
                ff::av_dict_copy(&ost.Stream->metadata,
                                 InputStreams[size_t(ost.SourceIndex)]->Stream->metadata,
                                 AV_DICT_DONT_OVERWRITE);
            }
        }

        for (const auto& m : o.Metadata)
            ApplyMetadataOption(*this, oc, m);
    } catch (...) {
        clean_up_failure();
        throw;
    }

    reset_options(false);
    return int(OutputFiles.size()) - 1;
}
