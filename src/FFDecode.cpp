#include "src/FFDecode.h"

#include "platform/MainThread.h"
#include "src/FFLoad.h"
#include "src/FFLog.h"
#include "src/FFUtils.h"

#include <sys/stat.h>

#include <charconv>
#include <climits>
#include <memory>
#include <vector>

namespace {

// The probing set: avcodec, avformat, avutil, swresample, swscale and the C library.
constexpr TLibrarySet DecoderLibraries = LibSetNoDeviceFilter;

constexpr AVRational MicrosecondBase{1, 1000000};

struct TCodecContextFree {
    void operator()(AVCodecContext* c) const { ff::avcodec_free_context(&c); }
};
using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextFree>;

int ClampToInt(int64_t v) {
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return int(v);
}

// A metadata text as a whole integer (leading blanks and a sign allowed), else 0.
int MetadataNumber(const std::string& text) {
    size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) return 0;
    if (text[i] == '+') ++i;
    const char* first = text.data() + i;
    const char* last = text.data() + text.size();
    int value = 0;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || end == first) return 0;
    return value;
}

// The codec display name of a stream: 5.1 streams carry parameters, not a codec context, so a
// short-lived decoder-side context is made from them.
std::string StreamCodecName(const AVStream* st) {
    TCodecContextPtr ctx(ff::avcodec_alloc_context3(nullptr));
    if (!ctx || ff::avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0) return {};
    return codec_description(ctx.get(), false);
}

// Times of one stream in its time base and in microseconds; a time base with denominator 0
// is repaired in place first.
template <class TInfo> void FillStreamTimes(AVStream* st, TInfo& info) {
    if (st->time_base.den == 0) st->time_base.den = st->time_base.num != 0 ? st->time_base.num : 1;
    info.Language = metadata_value(st->metadata, "language", "");
    info.CodecName = StreamCodecName(st);
    info.StartTime = st->start_time;
    info.StartTimeUS = st->start_time == AV_NOPTS_VALUE
                           ? -1
                           : ff::av_rescale_q(st->start_time, st->time_base, MicrosecondBase);
    info.Duration = st->duration;
    info.DurationUS = st->duration == AV_NOPTS_VALUE
                          ? -1
                          : ff::av_rescale_q(st->duration, st->time_base, MicrosecondBase);
    info.BitRate = ClampToInt(st->codecpar->bit_rate);
}

}  // namespace

TCustomDecoder::TCustomDecoder(TObject* AOwner)
    : TFFBaseComponent(AOwner), ScalerFlags(SWS_BICUBIC) {}

TCustomDecoder::~TCustomDecoder() {
    // With the libraries gone nothing can be freed any more; the handles are abandoned.
    if (ff::avformat_close_input) TCustomDecoder::CloseFile();
    if (ff::av_dict_free && ff::sws_freeContext) FreeOptionSets();
}

void TCustomDecoder::CheckLibraries() const {
    FFLoader().CheckLoaded(DecoderLibraries);
}

void TCustomDecoder::ReportError(const std::string& msg) {
    FLastErrorMessage = msg;
    FFLogger().Log(this, llError, msg);
}

void TCustomDecoder::ReportWarning(const std::string& msg) {
    FLastErrorMessage = msg;
    FFLogger().Log(this, llWarning, msg);
}

void TCustomDecoder::FreeOptionSets() {
    if (FScalerOpts) ff::sws_freeContext(FScalerOpts);
    FScalerOpts = nullptr;
    ff::av_dict_free(&FFormatOpts);
    ff::av_dict_free(&FCodecOpts);
}

void TCustomDecoder::RecreateOptionSets() {
    FreeOptionSets();
    make_scaler_options(FScalerOpts, ScalerFlags);
}

int TCustomDecoder::InterruptCallback(void* opaque) {
    return static_cast<TCustomDecoder*>(opaque)->CheckInterrupt();
}

int TCustomDecoder::CheckInterrupt() {
    const int64_t start = IoStartTime.load();
    if (start == IoIdle || ReadTimeout <= 0) return 0;
    if (ff::av_gettime() - start <= int64_t(ReadTimeout) * 1000) return 0;
    FFLogger().Log(this, llInfo,
                   start == 0 ? "connecting/reading canceled" : "connecting/reading timeout");
    return 1;
}

bool TCustomDecoder::LoadFile(const std::string& FileName, const std::string& FormatName) {
    CheckLibraries();
    CloseFile();
    if (!FScalerOpts) make_scaler_options(FScalerOpts, ScalerFlags);

    const AVInputFormat* format = nullptr;
    if (!FormatName.empty()) {
        format = ff::av_find_input_format(FormatName.c_str());
        if (!format) {
            ReportError(Format("Unknown input format: %s", FormatName));
            RecreateOptionSets();
            CloseFile();
            return false;
        }
    }

    FFormatContext = ff::avformat_alloc_context();
    if (!FFormatContext) {
        FLastErrorMessage = error_text(FileName, AVERROR(ENOMEM));
        RecreateOptionSets();
        return false;
    }
    FFormatContext->interrupt_callback.callback = &TCustomDecoder::InterruptCallback;
    FFormatContext->interrupt_callback.opaque = this;
    FOpenedHere = true;

    // File names are UTF-8 already. On failure the library frees the context and clears it.
    IoStartTime = ff::av_gettime();
    int ret = ff::avformat_open_input(&FFormatContext, FileName.c_str(), format, &FFormatOpts);
    IoStartTime = IoIdle;
    if (ret < 0) {
        FLastErrorMessage = error_text(FileName, ret);
        RecreateOptionSets();
        CloseFile();
        return false;
    }

    const AVDictionaryEntry* e = nullptr;
    while ((e = ff::av_dict_get(FFormatOpts, "", e, AV_DICT_IGNORE_SUFFIX)))
        FFLogger().Log(this, llError, "Option %s not found, ignored.", e->key);

    FFormatContext->flags |= AVFMT_FLAG_NONBLOCK;

    if (OnBeforeFindStreamInfo) {
        if (TriggerEventInMainThread && !IsMainThread())
            Synchronize([this] { OnBeforeFindStreamInfo(this, FFormatContext); });
        else
            OnBeforeFindStreamInfo(this, FFormatContext);
    }

    // One option set per stream, each a copy of the codec options.
    const unsigned stream_count = FFormatContext->nb_streams;
    std::vector<AVDictionary*> stream_opts(stream_count, nullptr);
    for (unsigned i = 0; i < stream_count; ++i)
        ff::av_dict_copy(&stream_opts[i], FCodecOpts, 0);
    IoStartTime = ff::av_gettime();
    ret =
        ff::avformat_find_stream_info(FFormatContext, stream_count ? stream_opts.data() : nullptr);
    IoStartTime = IoIdle;
    for (AVDictionary*& d : stream_opts)
        ff::av_dict_free(&d);
    if (ret < 0) {
        FLastErrorMessage = Format("%s: could not find codec parameters", FileName);
        RecreateOptionSets();
        CloseFile();
        return false;
    }
    if (FFormatContext->pb) {
        FFormatContext->pb->eof_reached = 0;
        FFormatContext->pb->error = 0;
    }

    RefreshStreamInfo();
    AfterProbe();
    RecreateOptionSets();
    FFormatName = FormatName;
    return true;
}

void TCustomDecoder::CloseFile() {
    FFormatName.clear();
    if (FFormatContext) {
        if (FOpenedHere) ff::avformat_close_input(&FFormatContext);
        FFormatContext = nullptr;
    }
    FOpenedHere = false;
    RefreshStreamInfo();
}

void TCustomDecoder::AttachFormatContext(AVFormatContext* context) {
    if (context == FFormatContext) return;
    CheckLibraries();
    CloseFile();
    FOpenedHere = false;
    FFormatContext = context;
    RefreshStreamInfo();
}

void TCustomDecoder::RefreshStreamInfo() {
    FFileSize = -1;
    FStreamCount = FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
    FFirstAudioStreamIndex = FFirstVideoStreamIndex = FFirstSubtitleStreamIndex = -1;
    if (!FFormatContext) return;

    // A negative size is an error code of the I/O layer, not a size.
    int64_t container_size = FFormatContext->pb ? ff::avio_size(FFormatContext->pb) : -1;
    if (container_size < 0) container_size = -1;
    if (container_size > 0) {
        FFileSize = container_size;
    } else if (FFormatContext->url && FFormatContext->url[0]) {
        struct stat sb {};
        if (::stat(FFormatContext->url, &sb) == 0 && !S_ISDIR(sb.st_mode))
            FFileSize = S_ISREG(sb.st_mode) ? int64_t(sb.st_size) : container_size;
        else
            FFileSize = container_size;
    } else {
        FFileSize = container_size;
    }

    FStreamCount = int(FFormatContext->nb_streams);
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
    for (int i = 0; i < FStreamCount; ++i) {
        switch (FFormatContext->streams[i]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            ++FVideoStreamCount;
            if (FFirstVideoStreamIndex == -1) FFirstVideoStreamIndex = i;
            break;
        case AVMEDIA_TYPE_AUDIO:
            ++FAudioStreamCount;
            if (FFirstAudioStreamIndex == -1) FFirstAudioStreamIndex = i;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            ++FSubtitleStreamCount;
            if (FFirstSubtitleStreamIndex == -1) FFirstSubtitleStreamIndex = i;
            break;
        default:
            break;
        }
    }
}

void TCustomDecoder::GetFileStreamInfo(TFileStreamInfo& info) {
    info = TFileStreamInfo{};
    if (!FFormatContext) {
        ReportWarning("file not loaded.");
        return;
    }
    const AVFormatContext* fc = FFormatContext;
    const AVDictionary* md = fc->metadata;
    info.StartTime = fc->start_time;
    info.Duration = fc->duration == AV_NOPTS_VALUE ? -1 : fc->duration;
    info.BitRate = ClampToInt(fc->bit_rate);
    // The container's timestamp field is gone; its creation time in microseconds replaces it.
    info.Timestamp = 0;
    const std::string created = metadata_value(md, "creation_time", "");
    int64_t created_us = 0;
    if (!created.empty() && ff::av_parse_time(&created_us, created.c_str(), 0) == 0)
        info.Timestamp = created_us;
    info.Year = MetadataNumber(metadata_value(md, "year", ""));
    info.Track = MetadataNumber(metadata_value(md, "track", ""));
    info.Title = metadata_value(md, "title", "");
    info.Author = metadata_value(md, "author", "");
    info.Copyright = metadata_value(md, "copyright", "");
    info.Comment = metadata_value(md, "comment", "");
    info.Album = metadata_value(md, "album", "");
    info.Genre = metadata_value(md, "genre", "");
}

// The stream asked for (the first of its kind for a negative index), or none after reporting why.
AVStream* TCustomDecoder::StreamForInfo(int StreamIndex, int first_index, int media_type,
                                        const char* kind) {
    if (!FFormatContext) {
        ReportWarning("file not loaded.");
        return nullptr;
    }
    if (StreamIndex < 0) {
        StreamIndex = first_index;
        if (StreamIndex == -1) {
            ReportError(Format("no %s stream.", kind));
            return nullptr;
        }
    } else if (StreamIndex >= int(FFormatContext->nb_streams)) {
        ReportError(Format("stream index #%d is invalid.", StreamIndex));
        return nullptr;
    }
    AVStream* st = FFormatContext->streams[StreamIndex];
    if (st->codecpar->codec_type != media_type) {
        ReportError(Format("stream #%d is not %s stream.", StreamIndex, kind));
        return nullptr;
    }
    return st;
}

void TCustomDecoder::GetAudioStreamInfo(int StreamIndex, TAudioStreamInfo& info) {
    info = TAudioStreamInfo{};
    AVStream* st = StreamForInfo(StreamIndex, FFirstAudioStreamIndex, AVMEDIA_TYPE_AUDIO, "audio");
    if (!st) return;
    const AVCodecParameters* par = st->codecpar;
    FillStreamTimes(st, info);
    info.Channels = par->ch_layout.nb_channels;
    info.SampleRate = par->sample_rate;
    info.SampleFormat = par->format;
}

void TCustomDecoder::GetVideoStreamInfo(int StreamIndex, TVideoStreamInfo& info) {
    info = TVideoStreamInfo{};
    AVStream* st = StreamForInfo(StreamIndex, FFirstVideoStreamIndex, AVMEDIA_TYPE_VIDEO, "video");
    if (!st) return;
    const AVCodecParameters* par = st->codecpar;
    FillStreamTimes(st, info);
    info.Height = par->height;
    info.Width = par->width;
    // Undefined for a zero height or a zero aspect denominator: 0 then.
    const AVRational sar = par->sample_aspect_ratio;
    info.DisplayAspect = par->height != 0 && sar.den != 0
                             ? float(double(sar.num) / sar.den * par->width / par->height)
                             : 0.0f;
    info.PixelFormat = par->format;
    const AVRational rate = st->avg_frame_rate.num != 0 && st->avg_frame_rate.den != 0
                                ? st->avg_frame_rate
                                : st->r_frame_rate;
    info.FrameRateNum = rate.num;
    info.FrameRateDen = rate.den;
}

TFFDecoder::TFFDecoder(TObject* AOwner) : TCustomDecoder(AOwner) {}

TFFDecoder::~TFFDecoder() {
    if (ff::avcodec_free_context && ff::swr_free && ff::av_frame_free) ResetDecoding();
}

void TFFDecoder::RefreshStreamInfo() {
    TCustomDecoder::RefreshStreamInfo();
}

void TFFDecoder::ResetDecoding() {
    if (FVideoDecoder) ff::avcodec_free_context(&FVideoDecoder);
    if (FAudioDecoder) ff::avcodec_free_context(&FAudioDecoder);
    if (FResampler) ff::swr_free(&FResampler);
    if (FFrame) ff::av_frame_free(&FFrame);
    FVideoStreamIndex = -1;
    FAudioStreamIndex = -1;
}

void TFFDecoder::CloseFile() {
    ResetDecoding();
    TCustomDecoder::CloseFile();
}

void TFFDecoder::AfterProbe() {
    int64_t flags = -1;
    if (ScalerOptions() && ff::av_opt_get_int(ScalerOptions(), "sws_flags", 0, &flags) >= 0 &&
        flags >= 0)
        FFormatConverter.ScaleFlags = int(flags);
}
