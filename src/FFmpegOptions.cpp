// Engine options: the option table, the splitting of option strings, parsing, the handlers
// with their own syntax, presets, stream specifiers and the reset of the option context.
#include "src/FFmpeg.h"

#include "src/FFLoad.h"
#include "src/FFUtils.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <type_traits>

namespace {

// Numbers as the option parser reads them: the whole text must convert. Floating-point
// conversions follow the C library's current locale (the user's decimal separator once the
// program has set it).
bool ParseInt64(const std::string& s, int64_t& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || end == s.c_str() || *end != '\0') return false;
    out = v;
    return true;
}

bool ParseInt(const std::string& s, int& out) {
    int64_t v = 0;
    if (!ParseInt64(s, v) || v < INT_MIN || v > INT_MAX) return false;
    out = int(v);
    return true;
}

bool ParseDouble(const std::string& s, double& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (errno == ERANGE || end == s.c_str() || *end != '\0') return false;
    out = v;
    return true;
}

bool ParseFloat(const std::string& s, float& out) {
    double v = 0;
    if (!ParseDouble(s, v) || (std::isfinite(v) && std::fabs(v) > 3.4028234663852886e38))
        return false;
    out = float(v);
    return true;
}

std::string IntegerError(const std::string& s) {
    return Format("'%s' is not a valid integer value", s);
}

std::string FloatError(const std::string& s) {
    return Format("'%s' is not a valid floating point value", s);
}

std::string RangeError(const std::string& opt, const std::string& value, int64_t lo, int64_t hi) {
    return Format("The value for \"%s\" was \"%s\" which is not within %d - %d", opt, value, lo,
                  hi);
}

std::string AppendLine(const std::string& buffer, const std::string& line) {
    return buffer.empty() ? line : buffer + "\r\n" + line;
}

std::string LocalTimeText(time_t t, const char* fmt) {
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, fmt, &tm);
    return buf;
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Digits only (a stream index, a program id, an n-th stream).
bool ParseIndex(std::string_view s, long& out) {
    if (s.empty() || s.size() > 9) return false;
    long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

using TOptionValue = std::variant<std::string, bool, int, int64_t, float, double>;

}  // namespace

// --- the table ---------------------------------------------------------------------------

void TCustomFFmpeg::build_option_table() {
#define CTX(field)                                                                                 \
    [](TCustomFFmpeg&, TOptionsContext& o, const std::string&) -> TOptionSlot { return &o.field; }
#define SPEC(field)                                                                                \
    [](TCustomFFmpeg&, TOptionsContext& o, const std::string& spec) -> TOptionSlot {               \
        o.field.push_back({spec, {}});                                                             \
        return &o.field.back().Value;                                                              \
    }
#define GLOBAL(field)                                                                              \
    [](TCustomFFmpeg& self, TOptionsContext&, const std::string&) -> TOptionSlot {                 \
        return &self.GlobalOptions.field;                                                          \
    }
#define VALUE(name, flags, slot, help, argname)                                                    \
    { name, flags, slot, nullptr, help, argname }
#define HANDLER(name, flags, func, help, argname)                                                  \
    { name, flags, nullptr, &TCustomFFmpeg::func, help, argname }

    const auto ignored = [](const char* name) -> TOptionDef {
        return HANDLER(name, 0x800, opt_ignore, "informational option (ignored)", nullptr);
    };
    const auto placeholder = [](const char* name) -> TOptionDef {
        return HANDLER(name, 0x800, opt_placeholder, name, nullptr);
    };

    FOptionTable = {
        ignored("L"),
        ignored("h"),
        ignored("?"),
        ignored("help"),
        ignored("-help"),
        ignored("version"),
        ignored("formats"),
        ignored("codecs"),
        ignored("bsfs"),
        ignored("protocols"),
        ignored("filters"),
        ignored("pix_fmts"),
        ignored("sample_fmts"),
        HANDLER("loglevel", 0x1, opt_loglevel, "set libav* logging level", "loglevel"),
        HANDLER("v", 0x1, opt_loglevel, "set libav* logging level", "loglevel"),
        HANDLER("debug", 0x1, opt_debug, "set debug flags", "flags"),
        HANDLER("report", 0x0, opt_refused, "generate a report", nullptr),
        HANDLER("max_alloc", 0x1, opt_max_alloc, "set maximum size of a single allocated block",
                "bytes"),
        VALUE("f", 0x4009, CTX(Format), "force format", "fmt"),
        HANDLER("i", 0x801, opt_refused, "input file name", "filename"),
        VALUE("y", 0x2, GLOBAL(FileOverwrite), "overwrite output files", nullptr),
        VALUE("n", 0x2, GLOBAL(NoFileOverwrite), "do not overwrite output files", nullptr),
        VALUE("c", 0x8009, SPEC(CodecNames), "codec name", "codec"),
        VALUE("codec", 0x8009, SPEC(CodecNames), "codec name", "codec"),
        HANDLER("pre", 0x809, opt_refused, "preset name", "preset"),
        HANDLER("map", 0x2005, opt_map, "set input stream mapping",
                "[-]input_file_id[:stream_specifier][,sync_file_id[:stream_specifier]]"),
        HANDLER("map_channel", 0x2005, opt_map_channel,
                "map an audio channel from one stream to another",
                "file.stream.channel[:syncfile.syncstream]"),
        VALUE("map_metadata", 0x8009, SPEC(MetadataMap),
              "set metadata information of outfile from infile",
              "outfile[,metadata]:infile[,metadata]"),
        VALUE("map_chapters", 0x4085, CTX(ChaptersInputFile), "set chapters mapping",
              "input_file_index"),
        VALUE("t", 0x14001, CTX(RecordingTime),
              "record or transcode \"duration\" seconds of audio/video", "duration"),
        VALUE("t_microsecond", 0x4401, CTX(RecordingTime), "t_microsecond", "microseconds"),
        VALUE("fs", 0x4401, CTX(LimitFileSize), "set the limit file size in bytes", "limit_size"),
        VALUE("ss", 0x14001, CTX(StartTime), "set the start time offset", "time_off"),
        VALUE("ss_microsecond", 0x4401, CTX(StartTime), "ss_microsecond", "microseconds"),
        VALUE("itsoffset", 0x14001, CTX(InputTSOffset), "set the input ts offset", "time_off"),
        VALUE("itsoffset_microsecond", 0x4401, CTX(InputTSOffset), "itsoffset_microsecond",
              "microseconds"),
        VALUE("itsscale", 0x28001, SPEC(TSScale), "set the input ts scale", "scale"),
        HANDLER("timestamp", 0x2001, opt_recording_timestamp,
                "set the recording timestamp ('now' to set the current time)", "time"),
        VALUE("metadata", 0x8009, SPEC(Metadata), "add metadata", "string=string"),
        HANDLER("dframes", 0x2001, opt_data_frames, "set the number of data frames to record",
                "number"),
        HANDLER("benchmark", 0x800, opt_refused, "add timings for benchmarking", nullptr),
        HANDLER("timelimit", 0x1, opt_refused, "set max runtime in seconds", "limit"),
        VALUE("dump", 0x6, GLOBAL(DoPktDump), "dump each input packet", nullptr),
        VALUE("hex", 0x6, GLOBAL(DoHexDump), "when dumping packets, also dump the payload",
              nullptr),
        VALUE("re", 0x4006, CTX(RateEmu), "read input at native frame rate", nullptr),
        VALUE("loop_input", 0x6, GLOBAL(LoopInput), "deprecated, use -loop", nullptr),
        VALUE("loop_output", 0x85, GLOBAL(LoopOutput), "deprecated, use -loop", nullptr),
        HANDLER("target", 0x2001, opt_target, "specify target file type", "type"),
        HANDLER("vsync", 0x5, opt_vsync, "video sync method", nullptr),
        VALUE("async", 0x85, GLOBAL(AudioSyncMethod), "audio sync method", nullptr),
        VALUE("adrift_threshold", 0x105, GLOBAL(AudioDriftThreshold), "audio drift threshold",
              "threshold"),
        VALUE("copyts", 0x6, GLOBAL(CopyTS), "copy timestamps", nullptr),
        VALUE("copytb", 0x85, GLOBAL(CopyTB), "copy input stream time base when stream copying",
              "mode"),
        VALUE("shortest", 0x6, GLOBAL(OptShortest), "finish encoding within shortest input",
              nullptr),
        VALUE("dts_delta_threshold", 0x105, GLOBAL(DTSDeltaThreshold),
              "timestamp discontinuity delta threshold", "threshold"),
        VALUE("xerror", 0x2, GLOBAL(ExitOnError), "exit on error", "error"),
        VALUE("copyinkf", 0x8006, SPEC(CopyInitialNonKeyFrames), "copy initial non-keyframes",
              nullptr),
        VALUE("frames", 0x8401, SPEC(MaxFrames), "set the number of frames to record", "number"),
        VALUE("tag", 0x8009, SPEC(CodecTags), "force codec tag/fourcc", "fourcc/tag"),
        VALUE("q", 0x28005, SPEC(QScale), "use fixed quality scale (VBR)", "q"),
        HANDLER("qscale", 0x2005, opt_qscale, "use fixed quality scale (VBR)", "q"),
        VALUE("filter", 0x8009, SPEC(Filters), "set stream filterchain", "filter_list"),
        VALUE("stats", 0x2, GLOBAL(PrintStats), "print progress report during encoding", nullptr),
        HANDLER("attach", 0x2001, opt_attach, "add an attachment to the output file", "filename"),
        VALUE("dump_attachment", 0x8009, SPEC(DumpAttachment), "extract an attachment into a file",
              "filename"),
        HANDLER("vframes", 0x2011, opt_video_frames, "set the number of video frames to record",
                "number"),
        VALUE("r", 0x8019, SPEC(FrameRates), "set frame rate (Hz value, fraction or abbreviation)",
              "rate"),
        VALUE("s", 0x8019, SPEC(FrameSizes), "set frame size (WxH or abbreviation)", "size"),
        VALUE("aspect", 0x8019, SPEC(FrameAspectRatios),
              "set aspect ratio (4:3, 16:9 or 1.3333, 1.7777)", "aspect"),
        VALUE("pix_fmt", 0x801d, SPEC(FramePixFmts), "set pixel format", "format"),
        VALUE("bits_per_raw_sample", 0x91, GLOBAL(BitsPerRawSample),
              "set the number of bits per raw sample", "number"),
        HANDLER("croptop", 0x11, opt_crop, "Removed, use the crop filter instead", "size"),
        HANDLER("cropbottom", 0x11, opt_crop, "Removed, use the crop filter instead", "size"),
        HANDLER("cropleft", 0x11, opt_crop, "Removed, use the crop filter instead", "size"),
        HANDLER("cropright", 0x11, opt_crop, "Removed, use the crop filter instead", "size"),
        HANDLER("padtop", 0x11, opt_pad, "Removed, use the pad filter instead", "size"),
        HANDLER("padbottom", 0x11, opt_pad, "Removed, use the pad filter instead", "size"),
        HANDLER("padleft", 0x11, opt_pad, "Removed, use the pad filter instead", "size"),
        HANDLER("padright", 0x11, opt_pad, "Removed, use the pad filter instead", "size"),
        HANDLER("padcolor", 0x11, opt_pad, "Removed, use the pad filter instead", "color"),
        VALUE("intra", 0x16, GLOBAL(IntraOnly), "deprecated use -g 1", nullptr),
        VALUE("vn", 0x4012, CTX(VideoDisable), "disable video", nullptr),
        VALUE("vdt", 0x95, GLOBAL(VideoDiscard), "discard threshold", "n"),
        VALUE("rc_override", 0x801d, SPEC(RCOverrides),
              "rate control override for specific intervals", "override"),
        HANDLER("vcodec", 0x2011, opt_video_codec, "force video codec ('copy' to copy stream)",
                "codec"),
        VALUE("sameq", 0x12, GLOBAL(SameQuant), "use same quantizer as source (implies VBR)",
              nullptr),
        VALUE("same_quant", 0x12, GLOBAL(SameQuant), "use same quantizer as source (implies VBR)",
              nullptr),
        HANDLER("pass", 0x11, opt_pass, "select the pass number (1 or 2)", "n"),
        HANDLER("passlogfile", 0x11, opt_passlogfile, "select two pass log file name prefix",
                "prefix"),
        VALUE("deinterlace", 0x16, GLOBAL(DoDeinterlace), "deinterlace pictures", nullptr),
        VALUE("psnr", 0x16, GLOBAL(DoPSNR), "calculate PSNR of compressed frames", nullptr),
        HANDLER("vstats", 0x14, opt_vstats, "dump video coding statistics to file", nullptr),
        HANDLER("vstats_file", 0x15, opt_vstats_file, "dump video coding statistics to file",
                "file"),
        HANDLER("vf", 0x2011, opt_video_filters, "video filters", "filter list"),
        VALUE("intra_matrix", 0x801d, SPEC(IntraMatrices), "specify intra matrix coeffs", "matrix"),
        VALUE("inter_matrix", 0x801d, SPEC(InterMatrices), "specify inter matrix coeffs", "matrix"),
        VALUE("top", 0x8095, SPEC(TopFieldFirst), "top=1/bottom=0/auto=-1 field first", ""),
        VALUE("dc", 0x95, GLOBAL(IntraDCPrecision), "intra_dc_precision", "precision"),
        HANDLER("vtag", 0x2015, opt_video_tag, "force video tag/fourcc", "fourcc/tag"),
        VALUE("qphist", 0x16, GLOBAL(QPHist), "show QP histogram", nullptr),
        VALUE("force_fps", 0x8016, SPEC(ForceFPS),
              "force the selected framerate, disable the best supported framerate selection",
              nullptr),
        HANDLER("streamid", 0x2005, opt_streamid, "set the value of an outfile streamid",
                "streamIndex:value"),
        VALUE("force_key_frames", 0x801d, SPEC(ForcedKeyFrames),
              "force key frames at specified timestamps", "timestamps"),
        HANDLER("b", 0x2011, opt_bitrate, "video bitrate (please use -b:v)", "bitrate"),
        HANDLER("aframes", 0x2021, opt_audio_frames, "set the number of audio frames to record",
                "number"),
        HANDLER("aq", 0x2021, opt_audio_qscale, "set audio quality (codec-specific)", "quality"),
        VALUE("ar", 0x80a1, SPEC(AudioSampleRate), "set audio sampling rate (in Hz)", "rate"),
        VALUE("ac", 0x80a1, SPEC(AudioChannels), "set number of audio channels", "channels"),
        VALUE("an", 0x4022, CTX(AudioDisable), "disable audio", nullptr),
        HANDLER("acodec", 0x2021, opt_audio_codec, "force audio codec ('copy' to copy stream)",
                "codec"),
        HANDLER("atag", 0x2025, opt_audio_tag, "force audio tag/fourcc", "fourcc/tag"),
        VALUE("vol", 0xa1, GLOBAL(AudioVolume), "change audio volume (256=normal)", "volume"),
        VALUE("sample_fmt", 0x802d, SPEC(SampleFmts), "set sample format", "format"),
        VALUE("rmvol", 0x8121, SPEC(RematrixVolume), "rematrix volume (as factor)", "volume"),
        VALUE("sn", 0x4202, CTX(SubtitleDisable), "disable subtitle", nullptr),
        HANDLER("scodec", 0x2201, opt_subtitle_codec,
                "force subtitle codec ('copy' to copy stream)", "codec"),
        HANDLER("stag", 0x2205, opt_subtitle_tag, "force subtitle tag/fourcc", "fourcc/tag"),
        HANDLER("vc", 0x55, opt_video_channel, "deprecated, use -channel", "channel"),
        HANDLER("tvstd", 0x55, opt_video_standard, "deprecated, use -standard", "standard"),
        VALUE("isync", 0x46, GLOBAL(InputSync), "this option is deprecated and does nothing", ""),
        VALUE("muxdelay", 0x4105, CTX(MuxMaxDelay), "set the maximum demux-decode delay",
              "seconds"),
        VALUE("muxpreload", 0x4105, CTX(MuxPreload), "set the initial demux-decode delay",
              "seconds"),
        VALUE("bsf", 0x8009, SPEC(BitstreamFilters), "A comma-separated list of bitstream filters",
              "bitstream_filters"),
        HANDLER("absf", 0x2025, opt_audio_bsf, "deprecated", "audio bitstream_filters"),
        HANDLER("vbsf", 0x2015, opt_video_bsf, "deprecated", "video bitstream_filters"),
        HANDLER("apre", 0x2025, opt_preset, "set the audio options to the indicated preset",
                "preset"),
        HANDLER("vpre", 0x2015, opt_preset, "set the video options to the indicated preset",
                "preset"),
        HANDLER("spre", 0x2205, opt_preset, "set the subtitle options to the indicated preset",
                "preset"),
        HANDLER("fpre", 0x2005, opt_preset, "set options from indicated preset file", "filename"),
        HANDLER("dcodec", 0x3001, opt_data_codec, "force data codec ('copy' to copy stream)",
                "codec"),
        VALUE("dn", 0x4012, CTX(DataDisable), "disable data", nullptr),
        HANDLER("vhook", 0x15, opt_vhook, "insert video processing module", "module"),
        HANDLER("VideoHookBitsPixel", 0x15, opt_hook_bits_pixel, "VideoHookBitsPixel", "bpp"),
        HANDLER("TimeStart", 0x2005, opt_time_start, "TimeStart", nullptr),
        HANDLER("timestart", 0x2005, opt_time_start, "timestart", nullptr),
        HANDLER("TimeLength", 0x2005, opt_time_length, "TimeLength", nullptr),
        HANDLER("timelength", 0x2005, opt_time_length, "timelength", nullptr),
        placeholder("AudioHook"),
        placeholder("VideoInputHook"),
        placeholder("VideoOutputHook"),
        placeholder("FrameInputHook"),
        placeholder("FrameOutputHook"),
        placeholder("Join"),
        HANDLER("default", 0x35, opt_default_handler, "generic catch all option", ""),
    };
#undef CTX
#undef SPEC
#undef GLOBAL
#undef VALUE
#undef HANDLER
}

const TOptionDef* TCustomFFmpeg::find_option(std::string_view name) const {
    name = name.substr(0, name.find(':'));
    for (const TOptionDef& d : FOptionTable)
        if (name == d.Name) return &d;
    return nullptr;
}

// --- the option context ------------------------------------------------------------------

void TCustomFFmpeg::reset_options(bool is_input, bool recreate_sws) {
    if (FOptionTable.empty()) build_option_table();
    const int64_t recording_time = OptionsContext.RecordingTime;
    OptionsContext = TOptionsContext{};
    if (is_input) OptionsContext.RecordingTime = recording_time;
    CodecOpts.reset();
    FormatOpts.reset();
    SwsOpts.reset();
    if (recreate_sws)
        SwsOpts.reset(ff::sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                                         SWS_BICUBIC, nullptr, nullptr, nullptr));
}

// --- splitting ---------------------------------------------------------------------------

// The older C-runtime rules: 2n backslashes before a quote give n and a quote character,
// 2n+1 give n and a literal quote; inside a quoted part "" gives a literal quote and ends the
// part. UTF-8 bytes of multi-byte characters are all 0x80 or above, so they never pass for a
// quote, backslash or blank and need no special treatment.
std::vector<std::string> TCustomFFmpeg::SplitOptionString(const std::string& text) {
    std::vector<std::string> args;
    const char* p = text.c_str();
    bool inquote = false;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0') break;
        std::string arg;
        for (;;) {
            bool copychar = true;
            size_t numslash = 0;
            while (*p == '\\') {
                ++p;
                ++numslash;
            }
            if (*p == '"') {
                if (numslash % 2 == 0) {
                    if (inquote && p[1] == '"')
                        ++p;  // a pair inside a quoted part: one literal quote
                    else
                        copychar = false;
                    inquote = !inquote;
                }
                numslash /= 2;
            }
            arg.append(numslash, '\\');
            if (*p == '\0' || (!inquote && (*p == ' ' || *p == '\t'))) break;
            if (copychar) arg += *p;
            ++p;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

// --- parsing -----------------------------------------------------------------------------

void TCustomFFmpeg::set_library_log_level(int level) {
    // The logger filters library lines by its own copy of the level: set both.
    FFLogger().SetLogLevel(LibraryToLogLevel(level));
    ff::av_log_set_level(level);
}

int TCustomFFmpeg::handler_error(TLogLevel level, const std::string& msg, int code) {
    FFLogger().Log(this, level, msg);
    ErrorMessage = msg;
    return code;
}

int TCustomFFmpeg::parse_option(TOptionsContext& o, const std::string& opt,
                                const std::string* arg) {
    const TOptionDef* po = find_option(opt);
    bool bool_value = true;
    if (!po && StartsWith(opt, "no")) {
        if (const TOptionDef* rest = find_option(std::string_view(opt).substr(2))) {
            if (!(rest->Flags & ofBool)) {
                return handler_error(llError, Format("Unrecognized option \"%s\"", opt),
                                     AVERROR(EINVAL));
            }
            po = rest;
            bool_value = false;
        }
    }
    if (!po) po = find_option("default");
    if ((po->Flags & ofHasArg) && !arg)
        return handler_error(llError, Format("Missing argument for option \"%s\"", opt),
                             AVERROR(EINVAL));
    static const std::string none;
    const std::string& a = arg ? *arg : none;

    // A handler decides over the value flags: "pre" carries the String bit but is refused.
    if (!po->Handler) {
        TOptionValue value;
        const uint32_t f = po->Flags;
        if (f & ofString) {
            value = a;
        } else if (f & ofBool) {
            value = bool_value;
        } else if (f & ofInt) {
            int v = 0;
            if (!ParseInt(a, v)) raise_error_fmt("Expected integer for %s but found %s", opt, a);
            value = v;
        } else if (f & ofInt64) {
            int64_t v = 0;
            if (!ParseInt64(a, v)) raise_error_fmt("Expected int64 for %s but found %s", opt, a);
            value = v;
        } else if (f & ofTime) {
            int64_t us = 0;
            if (ff::av_parse_time(&us, a.c_str(), 1) < 0)
                raise_error_fmt("Invalid %s specification for %s: %s", "duration", opt, a);
            value = us;
        } else if (f & ofFloat) {
            float v = 0;
            if (!ParseFloat(a, v)) raise_error_fmt("Expected float for %s but found %s", opt, a);
            value = v;
        } else {
            double v = 0;
            if (!ParseDouble(a, v)) raise_error_fmt("Expected double for %s but found %s", opt, a);
            value = v;
        }
        // The value is converted before the slot exists, so a failure leaves no empty pair.
        const size_t colon = opt.find(':');
        const std::string spec = colon == std::string::npos ? std::string() : opt.substr(colon + 1);
        const TOptionSlot slot = po->Slot(*this, o, spec);
        std::visit(
            [&](auto* dest) {
                using T = std::remove_pointer_t<decltype(dest)>;
                if (const T* v = std::get_if<T>(&value))
                    *dest = *v;
                else
                    throw EAssertionFailed(Format("Option table entry \"%s\" stores another kind",
                                                  std::string(po->Name)));
            },
            slot);
    } else {
        ErrorMessage.clear();
        const int ret = (this->*po->Handler)(o, opt, a);
        if (ret < 0) {
            const std::string line = Format("Failed to set value \"%s\" for option \"%s\"", a, opt);
            ErrorMessage = AppendLine(ErrorMessage, line);
            ff::av_log(nullptr, AV_LOG_ERROR, "%s\n", line.c_str());
            return ret;
        }
    }
    return (po->Flags & ofHasArg) ? 1 : 0;
}

void TCustomFFmpeg::ParseOptions(const std::string& text) {
    if (text.empty()) return;
    FFLogger().Log(this, llInfo, "ParseOptions: " + text);
    const std::vector<std::string> args = SplitOptionString(text);

    // The log level holds while the rest is parsed, so it is applied first.
    const auto locate = [&](const char* name) -> int {
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a.size() < 2 || a[0] != '-') continue;
            const std::string cur = a.substr(1);
            const TOptionDef* po = find_option(cur);
            if (!po && StartsWith(cur, "no")) po = find_option(std::string_view(cur).substr(2));
            if (po && std::strcmp(po->Name, name) == 0) return int(i);
            // Unknown names go to the catch-all, which takes an argument.
            if (!po || (po->Flags & ofHasArg)) ++i;
        }
        return -1;
    };
    int idx = locate("loglevel");
    if (idx < 0) idx = locate("v");
    if (idx >= 0 && size_t(idx) + 1 < args.size()) {
        ErrorMessage.clear();
        opt_loglevel(OptionsContext, "loglevel", args[idx + 1]);
    }

    ErrorMessage.clear();
    int ret = 0;
    for (size_t i = 0; i < args.size();) {
        const std::string& a = args[i];
        if (a.size() > 1 && a[0] == '-') {
            const std::string* next = i + 1 < args.size() ? &args[i + 1] : nullptr;
            ret = parse_option(OptionsContext, a.substr(1), next);
            if (ret < 0) break;
            i += 1 + size_t(ret);
        } else {
            ErrorMessage =
                a.empty() ? "Failed to parse options" : "Failed to parse options on " + a;
            ret = -1;
            break;
        }
    }
    if (ret < 0)
        raise_error(ErrorMessage.empty() ? error_text("Failed to parse options", ret)
                                         : ErrorMessage);
}

int TCustomFFmpeg::apply_preset_line(TOptionsContext& o, const std::string& name,
                                     const std::string& value) {
    const std::string key = LowerCase(name);
    if (key == "acodec") return opt_audio_codec(o, name, value);
    if (key == "vcodec") return opt_video_codec(o, name, value);
    if (key == "scodec") return opt_subtitle_codec(o, name, value);
    if (key == "dcodec") return opt_data_codec(o, name, value);
    return opt_default(name, value);
}

void TCustomFFmpeg::ParsePresets(const std::string& text) {
    if (text.empty()) return;
    FFLogger().Log(this, llInfo, "ParsePresets: " + text);
    std::string t = Trim(text);
    std::string lf;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '\r') {
            lf += '\n';
            if (i + 1 < t.size() && t[i + 1] == '\n') ++i;
        } else {
            lf += t[i];
        }
    }
    for (size_t pos; (pos = lf.find("<CRLF>")) != std::string::npos;)
        lf.replace(pos, 6, "\n");

    size_t start = 0;
    while (start <= lf.size()) {
        size_t end = lf.find('\n', start);
        if (end == std::string::npos) end = lf.size();
        const std::string line = Trim(std::string_view(lf).substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        const std::string name = eq == std::string::npos ? line : line.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        if (name.empty() || value.empty()) raise_error_fmt("Invalid syntax: \"%s\"", line);
        ErrorMessage.clear();
        if (apply_preset_line(OptionsContext, name, value) < 0) {
            const std::string msg = Format(
                "Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"", line, name, value);
            FFLogger().Log(this, llError, msg);
            ErrorMessage = AppendLine(ErrorMessage, msg);
            raise_error(ErrorMessage);
        }
    }
}

// --- the catch-all -----------------------------------------------------------------------

int TCustomFFmpeg::opt_default(const std::string& opt, const std::string& arg) {
    std::string stripped = opt.substr(0, opt.find(':'));
    if (stripped.size() > 127) stripped.resize(127);
    const AVClass* cc = ff::avcodec_get_class();
    const AVClass* fc = ff::avformat_get_class();
    const AVClass* sc = ff::sws_get_class();
    const int search = AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ;
    const auto dict_flags = [](const AVOption* o) {
        return o->type == AV_OPT_TYPE_FLAGS ? AV_DICT_APPEND : 0;
    };

    const AVOption* oc = ff::av_opt_find(&cc, stripped.c_str(), nullptr, 0, search);
    if (!oc && stripped.size() > 1 && std::strchr("asv", stripped[0]))
        oc = ff::av_opt_find(&cc, stripped.c_str() + 1, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
    if (oc) {
        if (const int r =
                ff::av_dict_set(CodecOpts.ptr(), opt.c_str(), arg.c_str(), dict_flags(oc));
            r < 0)
            return r;
    }
    const AVOption* of = ff::av_opt_find(&fc, opt.c_str(), nullptr, 0, search);
    if (of) {
        if (const int r =
                ff::av_dict_set(FormatOpts.ptr(), opt.c_str(), arg.c_str(), dict_flags(of));
            r < 0)
            return r;
    }
    const AVOption* os = ff::av_opt_find(&sc, opt.c_str(), nullptr, 0, search);
    if (os) {
        const int r =
            SwsOpts ? ff::av_opt_set(SwsOpts.get(), opt.c_str(), arg.c_str(), 0) : AVERROR(ENOMEM);
        if (r < 0) return handler_error(llError, Format("Error setting option \"%s\"", opt), r);
    }
    if (oc || of || os) return 0;
    return handler_error(llError, Format("Unrecognized option \"%s\"", opt),
                         AVERROR_OPTION_NOT_FOUND);
}

int TCustomFFmpeg::opt_default_handler(TOptionsContext&, const std::string& opt,
                                       const std::string& arg) {
    return opt_default(opt, arg);
}

// --- stream specifiers -------------------------------------------------------------------

int TCustomFFmpeg::check_stream_specifier(AVFormatContext* s, AVStream* st,
                                          const std::string& spec) {
    const auto invalid = [&] {
        FFLogger().Log(this, llError, Format("Invalid stream specifier: \"%s\"", spec));
        return AVERROR(EINVAL);
    };
    if (spec.empty()) return 1;
    const char c = spec[0];
    long n = 0;
    if (c >= '0' && c <= '9') {
        if (!ParseIndex(spec, n)) return invalid();
        return st->index == n ? 1 : 0;
    }
    if (std::strchr("vasdt", c)) {
        const AVMediaType type = c == 'v'   ? AVMEDIA_TYPE_VIDEO
                                 : c == 'a' ? AVMEDIA_TYPE_AUDIO
                                 : c == 's' ? AVMEDIA_TYPE_SUBTITLE
                                 : c == 'd' ? AVMEDIA_TYPE_DATA
                                            : AVMEDIA_TYPE_ATTACHMENT;
        const bool nth = spec.size() > 1;
        if (nth && (spec[1] != ':' || !ParseIndex(std::string_view(spec).substr(2), n)))
            return invalid();
        if (st->codecpar->codec_type != type) return 0;
        if (!nth) return 1;
        long k = 0;
        for (unsigned i = 0; i < s->nb_streams; ++i) {
            if (s->streams[i]->codecpar->codec_type != type) continue;
            if (k++ == n) return s->streams[i] == st ? 1 : 0;
        }
        return 0;
    }
    if (c == 'p' && spec.size() > 2 && spec[1] == ':') {
        const std::string_view rest = std::string_view(spec).substr(2);
        const size_t colon = rest.find(':');
        long id = 0;
        long index = -1;
        if (!ParseIndex(rest.substr(0, colon), id)) return invalid();
        if (colon != std::string_view::npos && !ParseIndex(rest.substr(colon + 1), index))
            return invalid();
        for (unsigned i = 0; i < s->nb_programs; ++i) {
            const AVProgram* p = s->programs[i];
            if (p->id != id) continue;
            if (index >= 0) {
                if (unsigned(index) >= p->nb_stream_indexes) return 0;
                return p->stream_index[index] == unsigned(st->index) ? 1 : 0;
            }
            for (unsigned j = 0; j < p->nb_stream_indexes; ++j)
                if (p->stream_index[j] == unsigned(st->index)) return 1;
        }
        return 0;
    }
    return invalid();
}

void TCustomFFmpeg::raise_stream_specifier_error(int code) {
    raise_error(error_text("check_stream_specifier", code));
}

// --- handlers ----------------------------------------------------------------------------

int TCustomFFmpeg::opt_ignore(TOptionsContext&, const std::string& opt, const std::string&) {
    FFLogger().Log(this, llWarning, Format("options \"%s\" not supported, ignore", opt));
    return 0;
}

int TCustomFFmpeg::opt_placeholder(TOptionsContext&, const std::string&, const std::string&) {
    return 0;
}

int TCustomFFmpeg::opt_refused(TOptionsContext&, const std::string& opt, const std::string&) {
    return handler_error(llError, Format("options \"%s\" not supported", opt));
}

int TCustomFFmpeg::opt_loglevel(TOptionsContext&, const std::string&, const std::string& arg) {
    static const struct {
        const char* name;
        int level;
    } levels[] = {{"quiet", AV_LOG_QUIET},     {"panic", AV_LOG_PANIC},     {"fatal", AV_LOG_FATAL},
                  {"error", AV_LOG_ERROR},     {"warning", AV_LOG_WARNING}, {"info", AV_LOG_INFO},
                  {"verbose", AV_LOG_VERBOSE}, {"debug", AV_LOG_DEBUG}};
    for (const auto& l : levels) {
        if (arg == l.name) {
            set_library_log_level(l.level);
            return 0;
        }
    }
    int level = 0;
    if (ParseInt(arg, level)) {
        set_library_log_level(level);
        return 0;
    }
    std::string msg =
        Format("Invalid loglevel \"%s\". Possible levels are numbers or:", arg) + "\r\n";
    for (const auto& l : levels)
        msg += Format("\"%s\"", l.name) + "\r\n";
    return handler_error(llError, msg);
}

int TCustomFFmpeg::opt_debug(TOptionsContext&, const std::string&, const std::string& arg) {
    set_library_log_level(AV_LOG_DEBUG);
    return opt_default("debug", arg);
}

int TCustomFFmpeg::opt_max_alloc(TOptionsContext&, const std::string&, const std::string& arg) {
    int64_t v = 0;
    if (!ParseInt64(arg, v) || v < 0)
        return handler_error(llFatal, Format("Invalid max_alloc \"%s\".", arg));
    ff::av_max_alloc(size_t(v));
    return 0;
}

int TCustomFFmpeg::opt_map(TOptionsContext& o, const std::string&, const std::string& arg) {
    std::string map = arg;
    const bool negative = !map.empty() && map[0] == '-';
    if (negative) map.erase(0, 1);
    const auto streams_of = [&](int file) {
        const TInputFile& f = *InputFiles[size_t(file)];
        return std::min<int>(f.StreamCount, int(f.Context->nb_streams));
    };

    int sync_file = -1, sync_stream = -1;
    if (const size_t comma = map.find(','); comma != std::string::npos) {
        const std::string sync = map.substr(comma + 1);
        map.erase(comma);
        char* end = nullptr;
        sync_file = int(std::strtol(sync.c_str(), &end, 0));
        if (sync_file < 0 || sync_file >= int(InputFiles.size()))
            raise_error_fmt("Invalid sync file index: %d.", sync_file);
        std::string spec = end;
        if (!spec.empty()) spec.erase(0, 1);  // the ":" before the specifier
        AVFormatContext* ctx = InputFiles[size_t(sync_file)]->Context.get();
        for (int i = 0; i < streams_of(sync_file); ++i) {
            if (check_stream_specifier(ctx, ctx->streams[i], spec) == 1) {
                sync_stream = i;
                break;
            }
        }
        if (sync_stream < 0)
            raise_error_fmt("Sync stream specification in map %s does not match any streams.", arg);
    }

    char* end = nullptr;
    const int file = int(std::strtol(map.c_str(), &end, 0));
    if (file < 0 || file >= int(InputFiles.size()))
        raise_error_fmt("Invalid input file index: %d.", file);
    const std::string spec = *end == ':' ? std::string(end + 1) : std::string(end);
    AVFormatContext* ctx = InputFiles[size_t(file)]->Context.get();

    if (negative) {
        for (TStreamMap& m : o.StreamMaps) {
            if (m.FileIndex == file &&
                check_stream_specifier(ctx, ctx->streams[m.StreamIndex], spec) > 0)
                m.Disabled = true;
        }
    } else {
        for (int i = 0; i < streams_of(file); ++i) {
            if (check_stream_specifier(ctx, ctx->streams[i], spec) <= 0) continue;
            TStreamMap m;
            m.FileIndex = file;
            m.StreamIndex = i;
            m.SyncFileIndex = sync_file >= 0 ? sync_file : file;
            m.SyncStreamIndex = sync_file >= 0 ? sync_stream : i;
            o.StreamMaps.push_back(m);
        }
    }
    if (o.StreamMaps.empty()) raise_error_fmt("Stream map \"%s\" matches no streams.", arg);
    return 0;
}

int TCustomFFmpeg::opt_map_channel(TOptionsContext& o, const std::string&, const std::string& arg) {
    TAudioChannelMap m;
    int n = std::sscanf(arg.c_str(), "%d:%d.%d", &m.ChannelIndex, &m.OFileIndex, &m.OStreamIndex);
    if ((n == 1 || n == 3) && m.ChannelIndex == -1) {
        m.FileIndex = m.StreamIndex = -1;
        if (n == 1) m.OFileIndex = m.OStreamIndex = -1;
        o.AudioChannelMaps.push_back(m);
        return 0;
    }
    m = TAudioChannelMap{};
    n = std::sscanf(arg.c_str(), "%d.%d.%d:%d.%d", &m.FileIndex, &m.StreamIndex, &m.ChannelIndex,
                    &m.OFileIndex, &m.OStreamIndex);
    if (n != 3 && n != 5)
        raise_error("Syntax error, mapchan usage: [file.stream.channel|-1][:syncfile:syncstream]");
    if (n != 5) m.OFileIndex = m.OStreamIndex = -1;

    if (m.FileIndex < 0 || m.FileIndex >= int(InputFiles.size()))
        raise_error_fmt("mapchan: invalid input file index: %d", m.FileIndex);
    const TInputFile& f = *InputFiles[size_t(m.FileIndex)];
    if (m.StreamIndex < 0 ||
        m.StreamIndex >= std::min<int>(f.StreamCount, int(f.Context->nb_streams)))
        raise_error_fmt("mapchan: invalid input file stream index #%d.%d", m.FileIndex,
                        m.StreamIndex);
    const AVStream* st = f.Context->streams[m.StreamIndex];
    if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
        raise_error_fmt("mapchan: stream #%d.%d is not an audio stream.", m.FileIndex,
                        m.StreamIndex);
    if (m.ChannelIndex < 0 || m.ChannelIndex >= st->codecpar->ch_layout.nb_channels)
        raise_error_fmt("mapchan: invalid audio channel #%d.%d.%d", m.FileIndex, m.StreamIndex,
                        m.ChannelIndex);
    o.AudioChannelMaps.push_back(m);
    return 0;
}

int TCustomFFmpeg::opt_recording_timestamp(TOptionsContext& o, const std::string& opt,
                                           const std::string& arg) {
    int64_t t = 0;
    if (ff::av_parse_time(&t, arg.c_str(), 0) < 0)
        raise_error_fmt("Invalid %s specification for %s: %s", "date", opt, arg);
    const std::string value =
        "creation_time=" + LocalTimeText(time_t(t / 1000000), "%Y-%m-%d %H:%M:%S") + " " +
        time_zone_text();
    const int r = parse_option(o, "metadata", &value);
    FFLogger().Log(
        this, llWarning,
        Format("%s is deprecated, set the \"creation_time\" metadata tag instead.", opt));
    return r < 0 ? r : 0;
}

namespace {
// "frames:v" and the like: the same option under another name.
int AsOption(TCustomFFmpeg& self, TOptionsContext& o, const char* name, const std::string& arg) {
    const int r = self.parse_option(o, name, &arg);
    return r < 0 ? r : 0;
}
}  // namespace

int TCustomFFmpeg::opt_data_frames(TOptionsContext& o, const std::string&, const std::string& arg) {
    return AsOption(*this, o, "frames:d", arg);
}

int TCustomFFmpeg::opt_video_frames(TOptionsContext& o, const std::string&,
                                    const std::string& arg) {
    return AsOption(*this, o, "frames:v", arg);
}

int TCustomFFmpeg::opt_audio_frames(TOptionsContext& o, const std::string&,
                                    const std::string& arg) {
    return AsOption(*this, o, "frames:a", arg);
}

int TCustomFFmpeg::opt_audio_qscale(TOptionsContext& o, const std::string&,
                                    const std::string& arg) {
    return AsOption(*this, o, "q:a", arg);
}

int TCustomFFmpeg::opt_video_filters(TOptionsContext& o, const std::string&,
                                     const std::string& arg) {
    return AsOption(*this, o, "filter:v", arg);
}

int TCustomFFmpeg::opt_video_tag(TOptionsContext& o, const std::string&, const std::string& arg) {
    return AsOption(*this, o, "tag:v", arg);
}

int TCustomFFmpeg::opt_audio_tag(TOptionsContext& o, const std::string&, const std::string& arg) {
    return AsOption(*this, o, "tag:a", arg);
}

int TCustomFFmpeg::opt_subtitle_tag(TOptionsContext& o, const std::string&,
                                    const std::string& arg) {
    return AsOption(*this, o, "tag:s", arg);
}

int TCustomFFmpeg::opt_audio_bsf(TOptionsContext& o, const std::string&, const std::string& arg) {
    return AsOption(*this, o, "bsf:a", arg);
}

int TCustomFFmpeg::opt_video_bsf(TOptionsContext& o, const std::string&, const std::string& arg) {
    return AsOption(*this, o, "bsf:v", arg);
}

int TCustomFFmpeg::opt_data_codec(TOptionsContext& o, const std::string&, const std::string& arg) {
    return AsOption(*this, o, "codec:d", arg);
}

int TCustomFFmpeg::opt_video_codec(TOptionsContext& o, const std::string&, const std::string& arg) {
    GlobalOptions.VideoCodecName = arg;
    return AsOption(*this, o, "codec:v", arg);
}

int TCustomFFmpeg::opt_audio_codec(TOptionsContext& o, const std::string&, const std::string& arg) {
    GlobalOptions.AudioCodecName = arg;
    return AsOption(*this, o, "codec:a", arg);
}

int TCustomFFmpeg::opt_subtitle_codec(TOptionsContext& o, const std::string&,
                                      const std::string& arg) {
    GlobalOptions.SubtitleCodecName = arg;
    return AsOption(*this, o, "codec:s", arg);
}

int TCustomFFmpeg::opt_qscale(TOptionsContext& o, const std::string& opt, const std::string& arg) {
    if (opt == "qscale") {
        FFLogger().Log(this, llWarning, "Please use -q:a or -q:v, -qscale is ambiguous");
        return AsOption(*this, o, "q:v", arg);
    }
    return AsOption(*this, o, ("q" + opt.substr(6)).c_str(), arg);
}

int TCustomFFmpeg::opt_bitrate(TOptionsContext&, const std::string& opt, const std::string& arg) {
    if (opt == "b") {
        FFLogger().Log(this, llWarning, "Please use -b:a or -b:v, -b is ambiguous");
        return opt_default("b:v", arg);
    }
    return opt_default(opt, arg);
}

int TCustomFFmpeg::opt_attach(TOptionsContext& o, const std::string&, const std::string& arg) {
    o.Attachments.push_back(arg);
    return 0;
}

int TCustomFFmpeg::opt_crop(TOptionsContext&, const std::string& opt, const std::string&) {
    return handler_error(
        llError, Format("Option \"%s\" has been removed, use the crop filter instead", opt));
}

int TCustomFFmpeg::opt_pad(TOptionsContext&, const std::string& opt, const std::string&) {
    return handler_error(llError,
                         Format("Option \"%s\" has been removed, use the pad filter instead", opt));
}

int TCustomFFmpeg::opt_vsync(TOptionsContext&, const std::string&, const std::string& arg) {
    if (SameText(arg, "cfr")) {
        GlobalOptions.VideoSyncMethod = 1;
    } else if (SameText(arg, "vfr")) {
        GlobalOptions.VideoSyncMethod = 2;
    } else if (SameText(arg, "passthrough")) {
        GlobalOptions.VideoSyncMethod = 0;
    } else {
        // Checked whatever an earlier vsync set, so a bad value never passes silently.
        int v = 0;
        if (!ParseInt(arg, v) || v < -1 || v > 2)
            return handler_error(llError, RangeError("vsync", arg, -1, 2));
        GlobalOptions.VideoSyncMethod = v;
    }
    return 0;
}

int TCustomFFmpeg::opt_pass(TOptionsContext&, const std::string& opt, const std::string& arg) {
    int v = 0;
    if (!ParseInt(arg, v)) return handler_error(llError, IntegerError(arg));
    if (v < 1 || v > 3) return handler_error(llError, RangeError(opt, arg, 1, 3));
    GlobalOptions.DoPass = v;
    return 0;
}

int TCustomFFmpeg::opt_passlogfile(TOptionsContext&, const std::string&, const std::string& arg) {
    GlobalOptions.PassLogFileName = arg;
    opt_default("passlogfile", arg);  // an encoder may know it too; nothing depends on that
    ErrorMessage.clear();
    return 0;
}

int TCustomFFmpeg::opt_vstats(TOptionsContext&, const std::string&, const std::string&) {
    GlobalOptions.VStatsFileName =
        Format("vstats_%s.log", LocalTimeText(std::time(nullptr), "%H%M%S"));
    return 0;
}

int TCustomFFmpeg::opt_vstats_file(TOptionsContext&, const std::string&, const std::string& arg) {
    GlobalOptions.VStatsFileName = arg;
    return 0;
}

int TCustomFFmpeg::opt_streamid(TOptionsContext& o, const std::string& opt,
                                const std::string& arg) {
    const size_t colon = arg.find(':');
    int64_t index = 0, value = 0;
    if (colon == std::string::npos || !ParseInt64(arg.substr(0, colon), index) ||
        !ParseInt64(arg.substr(colon + 1), value))
        return handler_error(llError,
                             Format("Invalid value \"%s\" for option \"%s\", required syntax is "
                                    "\"index:value\"",
                                    arg, opt));
    if (index < 0 || index > 1023)
        return handler_error(llError, RangeError("streamid", arg.substr(0, colon), 0, 1023));
    if (value < 0 || value > INT_MAX)
        return handler_error(llError, RangeError("streamid", arg.substr(colon + 1), 0, INT_MAX));
    if (o.StreamIdMap.size() < size_t(index) + 1) o.StreamIdMap.resize(size_t(index) + 1, 0);
    o.StreamIdMap[size_t(index)] = int(value);
    return 0;
}

int TCustomFFmpeg::opt_video_channel(TOptionsContext&, const std::string&, const std::string& arg) {
    FFLogger().Log(this, llWarning, "This option is deprecated, use -channel.");
    return opt_default("channel", arg);
}

int TCustomFFmpeg::opt_video_standard(TOptionsContext&, const std::string&,
                                      const std::string& arg) {
    FFLogger().Log(this, llWarning, "This option is deprecated, use -standard.");
    return opt_default("standard", arg);
}

int TCustomFFmpeg::opt_preset(TOptionsContext& o, const std::string&, const std::string& arg) {
    struct stat st {};
    std::ifstream file;
    if (::stat(arg.c_str(), &st) == 0 && S_ISREG(st.st_mode)) file.open(arg);
    if (!file.is_open()) return handler_error(llError, Format("Preset file \"%s\" not found", arg));
    std::string raw;
    while (std::getline(file, raw)) {
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == line.size())
            return handler_error(llError, Format("%s: Invalid syntax: \"%s\"", arg, line));
        const std::string name = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        ErrorMessage.clear();
        if (const int r = apply_preset_line(o, name, value); r < 0) {
            const std::string msg =
                Format("%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"", arg,
                       line, name, value);
            FFLogger().Log(this, llError, msg);
            ErrorMessage = AppendLine(ErrorMessage, msg);
            return r;
        }
    }
    return 0;
}

int TCustomFFmpeg::opt_vhook(TOptionsContext&, const std::string&, const std::string& arg) {
    const char* separators = arg.find('|') != std::string::npos ? "|" : " ";
    std::vector<std::string> args;
    size_t pos = 0;
    while (pos < arg.size() && args.size() < 254) {
        const size_t b = arg.find_first_not_of(separators, pos);
        if (b == std::string::npos) break;
        const size_t e = arg.find_first_of(separators, b);
        args.push_back(arg.substr(b, e == std::string::npos ? std::string::npos : e - b));
        pos = e == std::string::npos ? arg.size() : e;
    }
    const int r = FrameHooks ? FrameHooks->Add(args) : -1;
    if (r != 0) raise_error("Failed to add video hook function: " + arg);
    GlobalOptions.FrameHookPresent = true;
    return 0;
}

int TCustomFFmpeg::opt_hook_bits_pixel(TOptionsContext&, const std::string&,
                                       const std::string& arg) {
    int bpp = 0;
    if (!ParseInt(arg, bpp)) return handler_error(llError, IntegerError(arg));
    try {
        set_hook_bits_per_pixel(bpp);
    } catch (const Exception& e) {
        return handler_error(llError, e.Message());
    }
    return 0;
}

namespace {
// Seconds in the user's notation -> whole microseconds in decimal, halves to even.
bool SecondsToMicroseconds(const std::string& arg, std::string& out) {
    double seconds = 0;
    if (!ParseDouble(arg, seconds) || !std::isfinite(seconds)) return false;
    const double us = std::nearbyint(seconds * 1000000.0);
    if (std::fabs(us) >= 9.2e18) return false;
    out = std::to_string(int64_t(us));
    return true;
}
}  // namespace

int TCustomFFmpeg::opt_time_start(TOptionsContext& o, const std::string&, const std::string& arg) {
    std::string us;
    if (!SecondsToMicroseconds(arg, us)) return handler_error(llError, FloatError(arg));
    return AsOption(*this, o, "ss_microsecond", us);
}

int TCustomFFmpeg::opt_time_length(TOptionsContext& o, const std::string&, const std::string& arg) {
    std::string us;
    if (!SecondsToMicroseconds(arg, us)) return handler_error(llError, FloatError(arg));
    return AsOption(*this, o, "t_microsecond", us);
}

int TCustomFFmpeg::opt_target(TOptionsContext& o, const std::string&, const std::string& arg) {
    enum { PAL, NTSC, FILM, UNKNOWN } norm = UNKNOWN;
    static const char* const frame_rates[] = {"25", "30000/1001", "24000/1001"};
    std::string target = arg;
    if (StartsWith(target, "pal-")) {
        norm = PAL;
        target.erase(0, 4);
    } else if (StartsWith(target, "ntsc-")) {
        norm = NTSC;
        target.erase(0, 5);
    } else if (StartsWith(target, "film-")) {
        norm = FILM;
        target.erase(0, 5);
    }

    if (norm == UNKNOWN) {
        for (const auto& f : InputFiles) {
            const int n = std::min<int>(f->StreamCount, int(f->Context->nb_streams));
            for (int i = 0; i < n && norm == UNKNOWN; ++i) {
                const AVStream* st = f->Context->streams[i];
                if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
                AVRational r = st->avg_frame_rate;
                if (r.num <= 0 || r.den <= 0) r = st->r_frame_rate;
                if (r.num <= 0 || r.den <= 0) continue;
                const long long fr = std::llround(r.num * 1000.0 / r.den);
                if (fr == 25000)
                    norm = PAL;
                else if (fr == 29970 || fr == 23976)
                    norm = NTSC;
            }
            if (norm != UNKNOWN) break;
        }
        if (norm == UNKNOWN)
            raise_error("Could not determine norm (PAL/NTSC/NTSC-Film) for target.\r\n"
                        "Please prefix target with \"pal-\", \"ntsc-\" or \"film-\",\r\n"
                        "or set a framerate with \"-r xxx\".");
        FFLogger().Log(this, llInfo,
                       Format("Assuming %s for target.", norm == PAL ? "PAL" : "NTSC"));
    }

    const bool pal = norm == PAL;
    // Table options as if given; their results matter only for conversion errors, which raise.
    const auto set = [&](const char* name, const std::string& value) {
        parse_option(o, name, &value);
    };
    const std::string rate = frame_rates[norm];
    const std::string gop = pal ? "15" : "18";

    if (target == "vcd") {
        opt_video_codec(o, "codec:v", "mpeg1video");
        opt_audio_codec(o, "codec:a", "mp2");
        set("f", "vcd");
        set("s", pal ? "352x288" : "352x240");
        set("r", rate);
        opt_default("g", gop);
        opt_default("b:v", "1150000");
        opt_default("maxrate", "1150000");
        opt_default("minrate", "1150000");
        opt_default("bufsize", "327680");
        opt_default("b:a", "224000");
        set("ar", "44100");
        set("ac", "2");
        opt_default("packetsize", "2324");
        opt_default("muxrate", "1411200");
        // The first packs hold only padding: the data starts at SCR 36000 + 3 * 1200.
        o.MuxPreload = float((36000 + 3 * 1200) / 90000.0);
    } else if (target == "svcd") {
        opt_video_codec(o, "codec:v", "mpeg2video");
        opt_audio_codec(o, "codec:a", "mp2");
        set("f", "svcd");
        set("s", pal ? "480x576" : "480x480");
        set("r", rate);
        set("pix_fmt", "yuv420p");
        opt_default("g", gop);
        opt_default("b:v", "2040000");
        opt_default("maxrate", "2516000");
        opt_default("minrate", "0");
        opt_default("bufsize", "1835008");
        // The codec flag of older libraries is the MPEG-2 encoder's own option in 5.1.
        opt_default("scan_offset", "1");
        opt_default("b:a", "224000");
        set("ar", "44100");
        opt_default("packetsize", "2324");
    } else if (target == "dvd") {
        opt_video_codec(o, "codec:v", "mpeg2video");
        opt_audio_codec(o, "codec:a", "ac3");
        set("f", "dvd");
        set("s", pal ? "720x576" : "720x480");
        set("r", rate);
        set("pix_fmt", "yuv420p");
        opt_default("g", gop);
        opt_default("b:v", "6000000");
        opt_default("maxrate", "9000000");
        opt_default("minrate", "0");
        opt_default("bufsize", "1835008");
        opt_default("packetsize", "2048");
        opt_default("muxrate", "10080000");
        opt_default("b:a", "448000");
        set("ar", "48000");
    } else if (StartsWith(target, "dv")) {
        set("f", "dv");
        set("s", pal ? "720x576" : "720x480");
        set("pix_fmt", StartsWith(target, "dv50") ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
        set("r", rate);
        set("ar", "48000");
        set("ac", "2");
    } else {
        return handler_error(llError, Format("Unknown target: %s", target));
    }
    // The library options above report unknown names into the buffer; none of them fails
    // the target.
    ErrorMessage.clear();
    return 0;
}
