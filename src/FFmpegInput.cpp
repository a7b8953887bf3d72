// Input set-up: opening an input file, choosing its decoders, creating its input streams and
// dumping its attachments.
#include "src/FFmpeg.h"

#include "src/FFLoad.h"
#include "src/FFUtils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

void TCodecContextDeleter::operator()(AVCodecContext* c) const {
    if (c && ff::avcodec_free_context) ff::avcodec_free_context(&c);
}

namespace {

// The per-stream option array handed to avformat_find_stream_info, which may replace the
// dictionaries it is given; freed as a whole.
class TStreamOptionArray {
public:
    TStreamOptionArray() = default;
    TStreamOptionArray(const TStreamOptionArray&) = delete;
    TStreamOptionArray& operator=(const TStreamOptionArray&) = delete;
    ~TStreamOptionArray() { clear(); }
    void clear() {
        for (AVDictionary*& d : dicts_)
            ff::av_dict_free(&d);
        dicts_.clear();
    }
    void push(TDictionary&& d) {
        dicts_.push_back(nullptr);
        std::swap(*d.ptr(), dicts_.back());
    }
    AVDictionary** data() { return dicts_.empty() ? nullptr : dicts_.data(); }

private:
    std::vector<AVDictionary*> dicts_;
};

std::string LastValueText(const TSpecifierList<int>& list) {
    return std::to_string(list.back().Value);
}

bool FileNameIsUrl(const std::string& name) {
    const size_t colon = name.find(':');
    return colon != std::string::npos && colon != 1 && name.rfind("file:", 0) != 0;
}

}  // namespace

uint32_t TCustomFFmpeg::parse_codec_tag(const std::string& text) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(text.c_str(), &end, 0);
    if (!text.empty() && *end == '\0') return uint32_t(n);
    uint32_t tag = 0;
    for (size_t i = 0; i < 4 && i < text.size(); ++i)
        tag |= uint32_t(uint8_t(text[i])) << (8 * i);
    return tag;
}

const AVCodec* TCustomFFmpeg::find_codec_or_die(const std::string& name, AVMediaType type,
                                                bool encoder) {
    const char* kind = encoder ? "encoder" : "decoder";
    const AVCodec* codec = encoder ? ff::avcodec_find_encoder_by_name(name.c_str())
                                   : ff::avcodec_find_decoder_by_name(name.c_str());
    if (!codec) raise_error_fmt("Unknown %s '%s'", kind, name);
    if (codec->type != type) raise_error_fmt("Invalid %s type '%s'", kind, name);
    return codec;
}

const AVCodec* TCustomFFmpeg::choose_decoder(TOptionsContext& o, AVFormatContext* s, AVStream* st) {
    std::string name;
    if (match_per_stream_opt(o.CodecNames, s, st, name)) {
        const AVCodec* codec = find_codec_or_die(name, st->codecpar->codec_type, false);
        st->codecpar->codec_id = codec->id;
        return codec;
    }
    return ff::avcodec_find_decoder(st->codecpar->codec_id);
}

namespace {

void AddInputStreams(TCustomFFmpeg& e, TOptionsContext& o, AVFormatContext* ic, int file_index) {
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        auto owned = std::make_unique<TInputStream>();
        TInputStream& ist = *owned;
        ist.FileIndex = file_index;
        ist.Stream = st;
        ist.Discard = true;
        e.InputStreams.push_back(std::move(owned));

        // The decoder is chosen before its options are filtered, so that a forced decoder's
        // private options are kept.
        ist.Decoder = e.choose_decoder(o, ic, st);
        ist.Options = e.filter_codec_opts(e.CodecOpts, ist.Decoder, ic, st);

        ist.TSScale = 1.0;
        e.match_per_stream_opt(o.TSScale, ic, st, ist.TSScale);

        std::string tag;
        if (e.match_per_stream_opt(o.CodecTags, ic, st, tag))
            st->codecpar->codec_tag = TCustomFFmpeg::parse_codec_tag(tag);

        // 5.1 streams have no codec context of their own: the decoder's lives here.
        ist.CodecContext.reset(ff::avcodec_alloc_context3(ist.Decoder));
        if (!ist.CodecContext)
            e.raise_error_fmt("Could not allocate a decoder context for input stream #%d:%d",
                              file_index, int(i));
        if (const int r = ff::avcodec_parameters_to_context(ist.CodecContext.get(), st->codecpar);
            r < 0)
            e.raise_error(error_text(
                Format("Could not set up the decoder of input stream #%d:%d", file_index, int(i)),
                r));
        ist.CodecContext->pkt_timebase = st->time_base;

        switch (st->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            // Reduced-resolution decoding needed emulated edges in older generations; 5.1
            // decoders allocate their own edges, so "lowres" needs nothing here.
            if (o.VideoDisable)
                st->discard = AVDISCARD_ALL;
            else if (e.GlobalOptions.VideoDiscard)
                st->discard = AVDiscard(e.GlobalOptions.VideoDiscard);
            break;
        case AVMEDIA_TYPE_AUDIO:
            if (o.AudioDisable) st->discard = AVDISCARD_ALL;
            break;
        case AVMEDIA_TYPE_DATA:
            if (o.DataDisable) st->discard = AVDISCARD_ALL;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            if (o.SubtitleDisable) st->discard = AVDISCARD_ALL;
            break;
        case AVMEDIA_TYPE_ATTACHMENT:
        case AVMEDIA_TYPE_UNKNOWN:
            break;
        default:
            e.raise_error("Never occur");
        }
    }
}

void DumpAttachment(TCustomFFmpeg& e, AVStream* st, std::string filename, int input_index) {
    const AVCodecParameters* par = st->codecpar;
    if (!par->extradata || par->extradata_size <= 0) {
        FFLogger().Log(&e, llWarning,
                       Format("No extradata to dump in stream #%d:%d.", input_index, st->index));
        return;
    }
    if (filename.empty()) {
        if (const AVDictionaryEntry* t = ff::av_dict_get(st->metadata, "filename", nullptr, 0))
            filename = t->value;
    }
    if (filename.empty())
        e.raise_error_fmt("No filename specified and no \"filename\" tag in stream #%d:%d.",
                          input_index, st->index);

    const bool overwrite = e.GlobalOptions.FileOverwrite && !e.GlobalOptions.NoFileOverwrite;
    if (!overwrite && !FileNameIsUrl(filename) && ff::avio_check(filename.c_str(), 0) >= 0) {
        e.LastError = Format("File \"%s\" already exists. Ignore.", filename);
        FFLogger().Log(&e, llWarning, e.LastError);
        return;
    }

    AVIOContext* out = nullptr;
    e.arm_output_stamp();
    if (ff::avio_open2(&out, filename.c_str(), AVIO_FLAG_WRITE, &e.OutputInterrupt, nullptr) < 0) {
        FFLogger().Log(&e, llWarning, Format("Could not open file %s for writing.", filename));
        return;
    }
    e.arm_output_stamp();
    ff::avio_write(out, par->extradata, par->extradata_size);
    ff::avio_flush(out);
    ff::avio_closep(&out);
}

}  // namespace

int TCustomFFmpeg::open_input_file(TOptionsContext& o, const std::string& filename) {
    const auto fail = [&](const std::string& msg, int code) {
        LastError = msg;
        FFLogger().Log(this, llFatal, msg);
        return code;
    };
    if (filename.size() > MaxFileNameBytes)
        return fail(Format("File name too long: %d bytes in UTF-8, at most %d are accepted",
                           filename.size(), MaxFileNameBytes),
                    AVERROR(ENAMETOOLONG));

    const AVInputFormat* file_iformat = nullptr;
    if (!o.Format.empty()) {
        file_iformat = ff::av_find_input_format(o.Format.c_str());
        if (!file_iformat)
            return fail(Format("Unknown input format: \"%s\"", o.Format), AVERROR(EINVAL));
    }

    // Not opened yet: freed, not closed, until avformat_open_input takes it over.
    TOutputFormatContext allocated(ff::avformat_alloc_context());
    if (!allocated) return fail("avformat_alloc_context() failed", AVERROR(ENOMEM));
    AVFormatContext* ic = allocated.get();

    // Demuxer options from the per-stream lists: the last entry wins, whatever its specifier.
    AVDictionary** fopts = FormatOpts.ptr();
    if (!o.AudioSampleRate.empty())
        ff::av_dict_set(fopts, "sample_rate", LastValueText(o.AudioSampleRate).c_str(), 0);
    if (!o.AudioChannels.empty())
        ff::av_dict_set(fopts, "channels", LastValueText(o.AudioChannels).c_str(), 0);
    if (!o.FrameRates.empty())
        ff::av_dict_set(fopts, "framerate", o.FrameRates.back().Value.c_str(), 0);
    if (!o.FrameSizes.empty())
        ff::av_dict_set(fopts, "video_size", o.FrameSizes.back().Value.c_str(), 0);
    if (!o.FramePixFmts.empty())
        ff::av_dict_set(fopts, "pixel_format", o.FramePixFmts.back().Value.c_str(), 0);

    const auto force = [&](const std::string& name, AVMediaType type, AVCodecID& id,
                           const AVCodec*& codec) {
        if (name.empty()) return;
        codec = find_codec_or_die(name, type, false);
        id = codec->id;
    };
    force(GlobalOptions.VideoCodecName, AVMEDIA_TYPE_VIDEO, ic->video_codec_id, ic->video_codec);
    force(GlobalOptions.AudioCodecName, AVMEDIA_TYPE_AUDIO, ic->audio_codec_id, ic->audio_codec);
    force(GlobalOptions.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, ic->subtitle_codec_id,
          ic->subtitle_codec);

    ic->flags |= AVFMT_FLAG_NONBLOCK;
    ic->interrupt_callback = InputInterrupt;

    // 5.1 contexts have no loop flag: the image-sequence demuxer's "loop" option carries it.
    if (GlobalOptions.LoopInput) {
        FFLogger().Log(this, llWarning,
                       "-loop_input is deprecated, use -loop 1\r\n"
                       "Note, both loop options only work with -f image2");
        ff::av_dict_set(fopts, "loop", "1", 0);
    }

    arm_input_stamp();
    AVFormatContext* opening = allocated.release();
    // On failure the library frees the context.
    if (const int r = ff::avformat_open_input(&opening, filename.c_str(), file_iformat, fopts);
        r < 0)
        return fail(error_text(filename, r), r);
    TInputFormatContext context(opening);

    // The loop flag is no leftover for demuxers without it: the warning above said so.
    if (GlobalOptions.LoopInput) ff::av_dict_set(fopts, "loop", nullptr, 0);
    if (const AVDictionaryEntry* t =
            ff::av_dict_get(FormatOpts.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
        const std::string msg = Format("Option %s not found.", t->key);
        if (StrictOptions) raise_error(msg);
        LastError = msg;
    }

    for (unsigned i = 0; i < ic->nb_streams; ++i)
        choose_decoder(o, ic, ic->streams[i]);

    TStreamOptionArray stream_opts;
    try {
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            AVStream* st = ic->streams[i];
            stream_opts.push(filter_codec_opts(
                CodecOpts, ff::avcodec_find_decoder(st->codecpar->codec_id), ic, st));
        }
    } catch (const std::bad_alloc&) {
        FFLogger().Log(this, llError, "Could not alloc memory for stream options.");
        stream_opts.clear();
    }

    if (OnStreamProbe) OnStreamProbe(this, ic);

    arm_input_stamp();
    if (const int r = ff::avformat_find_stream_info(ic, stream_opts.data()); r < 0)
        return fail(Format("%s: could not find codec parameters", filename), r);

    int64_t timestamp = o.StartTime;
    if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;

    if (o.StartTime != 0) {
        // The range seek where the demuxer supports it; the 5.1 API does not tell which
        // interface a demuxer has, so a refused range seek is followed by a backward seek.
        arm_input_stamp();
        int r = ff::avformat_seek_file(ic, -1, INT64_MIN, timestamp, INT64_MAX, 0);
        if (r < 0) {
            arm_input_stamp();
            r = ff::av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD);
        }
        if (r < 0)
            FFLogger().Log(this, llWarning,
                           Format("%s: could not seek to position %0.3f", filename,
                                  double(timestamp) / AV_TIME_BASE));
    }

    const int file_index = int(InputFiles.size());
    const size_t first_stream = InputStreams.size();
    bool appended = false;
    try {
        AddInputStreams(*this, o, ic, file_index);

        ff::av_dump_format(ic, file_index, filename.c_str(), 0);

        if (ic->duration != AV_NOPTS_VALUE && ic->duration - o.StartTime > LongestInputDuration)
            LongestInputDuration = ic->duration - o.StartTime;

        auto file = std::make_unique<TInputFile>();
        file->Context = std::move(context);
        file->EOFReached = false;
        file->StreamCount = int(ic->nb_streams);
        file->FirstStreamIndex = int(InputStreams.size()) - file->StreamCount;
        file->RateEmulation = o.RateEmu;
        file->TSOffset = o.InputTSOffset - (GlobalOptions.CopyTS ? 0 : timestamp);
        InputFiles.push_back(std::move(file));
        appended = true;

        for (const auto& dump : o.DumpAttachment) {
            for (unsigned i = 0; i < ic->nb_streams; ++i)
                if (check_stream_specifier(ic, ic->streams[i], dump.Specifier) == 1)
                    DumpAttachment(*this, ic->streams[i], dump.Value, file_index);
        }
    } catch (...) {
        // Nothing of this input may stay behind: its streams point into its context.
        InputStreams.resize(first_stream);
        if (appended) InputFiles.pop_back();
        throw;
    }

    reset_options(true);
    return int(InputFiles.size()) - 1;
}
