// The conversion engine: one engine object is one conversion task.
//
// `TCustomFFmpeg` gathers what a command-line transcoder keeps in globals (option settings, the
// per-file option context, the input and output files and streams) into one object, plus the
// control state that runs the task on a worker thread (`TConvertThread`), pauses and stops it,
// bounds blocking I/O with two watchdogs and reports the end of the task once.
//
// The class is split over several files by concern:
//   FFmpegEngine.cpp   object, lifecycle, threads, watchdogs, registries, clean-up
//   FFmpegOptions.cpp  option table, option-string splitting, parsing, handlers, presets
// and the files of the input, output and pipeline work, which add their operations here.
//
// Threads: options are parsed and files opened on the thread that sets the task up (the
// encoder component's caller) before a worker exists. `run` executes on the worker (or on the
// caller for an unthreaded start). Other threads touch only `StopRequested` (stop), the
// preview flags (under the process-wide preview lock), the open-codec registries (under the
// codec-registry lock) and suspend/resume of the worker.
#pragma once

#include "platform/Bitmap.h"
#include "platform/SyncObjs.h"
#include "platform/SysUtils.h"
#include "platform/Thread.h"
#include "src/FFLog.h"
#include "src/FormatConverter.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

struct SwsContext;
class TCustomFFmpeg;
class TConvertThread;

// Every error the engine raises itself (through `raise_error`).
class FFmpegException : public Exception {
public:
    using Exception::Exception;
};

// ---------------------------------------------------------------------------------------------
// Owners of library handles. Their deleters call the loader's tables, so they may only hold a
// handle while the libraries are loaded (which is always the case once a handle exists).

// Name/value dictionary (AVDictionary), freed with av_dict_free.
class TDictionary {
public:
    TDictionary() = default;
    ~TDictionary() { reset(); }
    TDictionary(TDictionary&& o) noexcept : d_(std::exchange(o.d_, nullptr)) {}
    TDictionary& operator=(TDictionary&& o) noexcept {
        if (this != &o) {
            reset();
            d_ = std::exchange(o.d_, nullptr);
        }
        return *this;
    }
    TDictionary(const TDictionary&) = delete;
    TDictionary& operator=(const TDictionary&) = delete;

    AVDictionary* get() const { return d_; }
    AVDictionary** ptr() { return &d_; }  // for the library's av_dict_* out parameters
    void reset();
    // The value of `key` (exact match), or null.
    const char* value(const char* key) const;
    int count() const;

private:
    AVDictionary* d_ = nullptr;
};

struct TInputContextDeleter {
    void operator()(AVFormatContext* c) const;  // avformat_close_input
};
struct TOutputContextDeleter {
    void operator()(AVFormatContext* c) const;  // avformat_free_context (I/O closed before)
};
struct TSwsContextDeleter {
    void operator()(SwsContext* c) const;  // sws_freeContext
};
using TInputFormatContext = std::unique_ptr<AVFormatContext, TInputContextDeleter>;
using TOutputFormatContext = std::unique_ptr<AVFormatContext, TOutputContextDeleter>;
using TSwsContextPtr = std::unique_ptr<SwsContext, TSwsContextDeleter>;

// --- input set-up / output set-up: owners -------------------------------------------------
#include <optional>

struct AVBSFContext;
struct TCodecContextDeleter {
    void operator()(AVCodecContext* c) const;  // avcodec_free_context
};
struct TBSFContextDeleter {
    void operator()(AVBSFContext* c) const;  // av_bsf_free
};
// A codec context of our own: a decoder context made from a stream's parameters, or an
// encoder context that transcoding set-up opens and then copies to the stream's parameters.
using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextDeleter>;
using TBSFContextPtr = std::unique_ptr<AVBSFContext, TBSFContextDeleter>;
// --- end of input set-up / output set-up: owners ------------------------------------------

// --- transcoding set-up: owners ---
struct AVFilterGraph;
struct AVFilterContext;
struct AVAudioFifo;
struct SwrContext;
struct TFrameDeleter {
    void operator()(AVFrame* f) const;  // av_frame_free
};
struct TFilterGraphDeleter {
    void operator()(AVFilterGraph* g) const;  // avfilter_graph_free
};
struct TAudioFifoDeleter {
    void operator()(AVAudioFifo* f) const;  // av_audio_fifo_free
};
struct TSwrContextDeleter {
    void operator()(SwrContext* c) const;  // swr_free
};
struct TStdFileDeleter {
    void operator()(FILE* f) const;  // fclose
};
struct TAVMemoryDeleter {
    void operator()(uint8_t* p) const;  // av_free
};
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;
using TFilterGraphPtr = std::unique_ptr<AVFilterGraph, TFilterGraphDeleter>;
using TAudioFifoPtr = std::unique_ptr<AVAudioFifo, TAudioFifoDeleter>;
using TSwrContextPtr = std::unique_ptr<SwrContext, TSwrContextDeleter>;
using TStdFilePtr = std::unique_ptr<FILE, TStdFileDeleter>;
using TAVMemoryPtr = std::unique_ptr<uint8_t, TAVMemoryDeleter>;
// --- end of transcoding set-up: owners ---

// ---------------------------------------------------------------------------------------------
// Pipeline records. Input and output set-up create them; the pipeline adds its own state.

struct TInputFile {
    TInputFormatContext Context;  // the opened demuxer context
    bool EOFReached = false;
    int FirstStreamIndex = 0;  // index of the file's first TInputStream
    int64_t TSOffset = 0;      // microseconds added to every packet time stamp
    int StreamCount = 0;       // streams of the file when it was opened
    bool RateEmulation = false;
};

struct TInputStream {
    int FileIndex = -1;
    AVStream* Stream = nullptr;  // owned by the file's context
    bool Discard = true;
    // input set-up
    const AVCodec* Decoder = nullptr;  // chosen decoder; none when the library has none
    TCodecContextPtr CodecContext;     // decoder context made from the stream's parameters
    double TSScale = 1.0;              // "itsscale"
    TDictionary Options;               // decoder options (codec options filtered for it)
    // end of input set-up
    // transcoding set-up
    bool DecodingNeeded = false;        // an output stream encodes from this stream
    TFramePtr DecodedFrame;             // created on first use
    TFramePtr FilteredFrame;            // created on first use
    int64_t StartTime = 0;              // wall clock at the start of reading (microseconds)
    int64_t NextPTS = AV_NOPTS_VALUE;   // microseconds
    int64_t PTS = 0;                    // microseconds
    bool IsStart = true;                // until audio sync made its first correction
    bool ShowedMultiPacketWarning = false;
    bool DirectRendering = false;       // the decoder decodes into pool buffers
    int FrameCount = 0;                 // video frames decoded so far
    // end of transcoding set-up
    // video path
    TFilterGraphPtr DeinterlaceGraph;       // "deinterlace": made on first use
    AVFilterContext* DeinterlaceIn = nullptr;
    AVFilterContext* DeinterlaceOut = nullptr;
    bool ShowedDeinterlaceWarning = false;
    // end of video path
};

struct TOutputFile {
    TOutputFormatContext Context;  // the muxer context
    TDictionary Options;           // muxer options handed to the header writer
    int FirstStreamIndex = 0;
    int64_t RecordingTime = INT64_MAX;  // microseconds; INT64_MAX: no limit
    int64_t StartTime = 0;
    uint64_t FileSizeLimit = UINT64_MAX;
};

struct TOutputStream {
    int FileIndex = -1;
    int Index = -1;
    int SourceIndex = -1;
    AVStream* Stream = nullptr;  // owned by the file's context
    // output set-up
    TInputStream* SyncInput = nullptr;  // drives the stream's timing (usually the source)
    const AVCodec* Encoder = nullptr;   // none for stream copy or without an encoder
    TCodecContextPtr CodecContext;      // encoder context, opened by transcoding set-up
    bool StreamCopy = false;            // codec "copy"; attachments taken from an input
    // Allocated in order from "bsf"; initialised once the stream's parameters are settled.
    std::vector<TBSFContextPtr> BitstreamFilters;
    int64_t MaxFrames = INT64_MAX;           // "frames"; INT64_MAX: no limit
    AVRational FrameRate{0, 0};              // "r"; 0/0 until settled
    float FrameAspectRatio = 0;              // "aspect"; 0: none
    bool ForceFPS = false;                   // "force_fps"
    int TopFieldFirst = -1;                  // "top": -1 auto, 0 bottom, 1 top first
    std::vector<int64_t> ForcedKeyFramePTS;  // "force_key_frames", microseconds
    std::optional<std::string> FilterChain;  // "filter"/"vf"; absent when not given
    float RematrixVolume = 1.0f;             // "rmvol"
    int AudioChannelMap[16] = {};            // "map_channel": source channel, -1 silent
    int AudioChannelsMapped = 0;             // entries used in AudioChannelMap
    bool CopyInitialNonKeyFrames = false;    // "copyinkf" (stream copy of video)
    TDictionary Options;                     // encoder options (codec options filtered)
    int64_t ScaleFlags = 4;                  // "sws_flags" of the scaler options (bicubic)
    std::string AttachmentFileName;          // attached files; such streams have no source
    int64_t LastDTS = AV_NOPTS_VALUE;        // stream copy: last decoding time stamp
    // end of output set-up
    // transcoding set-up
    bool EncodingNeeded = false;  // encoded, not copied
    int FrameNumber = 0;          // frames (audio: packets) written
    int64_t SyncOutPTS = 0;       // encoder time-base units
    TFramePtr OutputFrame;        // handed to the audio encoder
    bool VideoResample = false;   // size or pixel format differs from the source
    int ResampleHeight = 0;
    int ResampleWidth = 0;
    int ResamplePixFmt = -1;
    int ForcedKeyFrameCount = 0;  // entries of ForcedKeyFramePTS, now in time-base units
    int ForcedKeyFrameIndex = 0;
    bool AudioResample = false;
    int ResampleSampleFmt = -1;
    int ResampleChannels = 0;
    int ResampleSampleRate = 0;
    TAudioFifoPtr Fifo;                        // samples waiting for a full encoder frame
    TStdFilePtr LogFile;                       // pass-1 statistics
    TSwrContextPtr Resampler;                  // made by the audio path
    AVFilterContext* OutputVideoFilter = nullptr;  // the graph's sink (owned by FilterGraph)
    AVFilterContext* InputVideoFilter = nullptr;   // the graph's source
    TFramePtr FilteredPicture;                 // the picture taken from the sink
    TFilterGraphPtr FilterGraph;
    bool PastRecordingTime = false;
    // end of transcoding set-up
    // main loop
    // End of the last packet handed to the muxer (pts + duration), stream time base: the
    // stream's output position for the input choice and the progress report.
    int64_t CurrentPTS = 0;
    // The last packet the encoder produced: its quality (lambda) from the packet's quality
    // side data, picture type and per-plane squared errors. CodedQuality -1: nothing coded.
    int CodedQuality = -1;
    int CodedPictType = 0;  // AVPictureType
    uint64_t CodedError[4] = {};
    int64_t LastFramePTS = AV_NOPTS_VALUE;  // pts of the last picture sent to the encoder
    // end of main loop
};

// ---------------------------------------------------------------------------------------------
// Options.

// Flags of an option definition (the bit values are part of the table's definition).
enum TOptionFlag : uint32_t {
    ofHasArg = 0x1,      // consumes the next argument
    ofBool = 0x2,        // Boolean; the name preceded by "no" sets False
    ofExpert = 0x4,      // classification only
    ofString = 0x8,      // text
    ofVideo = 0x10,      // classification only
    ofAudio = 0x20,      // classification only
    ofGrab = 0x40,       // classification only
    ofInt = 0x80,        // 32-bit integer
    ofFloat = 0x100,     // 32-bit float
    ofSubtitle = 0x200,  // classification only
    ofInt64 = 0x400,     // 64-bit integer
    ofExit = 0x800,      // informational entries and placeholders; classification only
    ofData = 0x1000,     // classification only
    ofFunc2 = 0x2000,    // the handler also receives the per-file context
    ofOffset = 0x4000,   // the value is a member of the per-file context
    ofSpec = 0x8000,     // the value goes to a per-stream specifier list (implies ofOffset)
    ofTime = 0x10000,    // duration, stored as 64-bit microseconds
    ofDouble = 0x20000,  // 64-bit float
};
constexpr uint32_t ofValueKinds = ofString | ofBool | ofInt | ofInt64 | ofTime | ofFloat | ofDouble;

// One occurrence of a per-stream option: the text after the first ":" of the option name
// ("" when there is none) and the value.
template <class T> struct TSpecifierOpt {
    std::string Specifier;
    T Value{};
};
template <class T> using TSpecifierList = std::vector<TSpecifierOpt<T>>;

struct TStreamMap {
    bool Disabled = false;
    int FileIndex = 0;
    int StreamIndex = 0;
    int SyncFileIndex = 0;
    int SyncStreamIndex = 0;
};

struct TAudioChannelMap {
    int FileIndex = -1;  // -1 with StreamIndex -1: a muted channel
    int StreamIndex = -1;
    int ChannelIndex = -1;
    int OFileIndex = -1;  // -1: any output file
    int OStreamIndex = -1;
};

// The options given for one file; reset after each input or output has been opened.
struct TOptionsContext {
    int64_t StartTime = 0;  // "ss", microseconds
    std::string Format;     // "f"

    TSpecifierList<std::string> CodecNames;         // "c", "codec"
    TSpecifierList<int> AudioChannels;              // "ac"
    TSpecifierList<int> AudioSampleRate;            // "ar"
    TSpecifierList<float> RematrixVolume;           // "rmvol"
    TSpecifierList<std::string> FrameRates;         // "r"
    TSpecifierList<std::string> FrameSizes;         // "s"
    TSpecifierList<std::string> FramePixFmts;       // "pix_fmt"
    TSpecifierList<double> TSScale;                 // "itsscale"
    TSpecifierList<std::string> DumpAttachment;     // "dump_attachment"
    TSpecifierList<std::string> Metadata;           // "metadata"
    TSpecifierList<int64_t> MaxFrames;              // "frames"
    TSpecifierList<std::string> BitstreamFilters;   // "bsf"
    TSpecifierList<std::string> CodecTags;          // "tag"
    TSpecifierList<std::string> SampleFmts;         // "sample_fmt"
    TSpecifierList<double> QScale;                  // "q"
    TSpecifierList<std::string> ForcedKeyFrames;    // "force_key_frames"
    TSpecifierList<bool> ForceFPS;                  // "force_fps"
    TSpecifierList<std::string> FrameAspectRatios;  // "aspect"
    TSpecifierList<std::string> RCOverrides;        // "rc_override"
    TSpecifierList<std::string> IntraMatrices;      // "intra_matrix"
    TSpecifierList<std::string> InterMatrices;      // "inter_matrix"
    TSpecifierList<int> TopFieldFirst;              // "top"
    TSpecifierList<std::string> MetadataMap;        // "map_metadata"
    TSpecifierList<bool> CopyInitialNonKeyFrames;   // "copyinkf"
    TSpecifierList<std::string> Filters;            // "filter"

    int64_t InputTSOffset = 0;  // "itsoffset", microseconds
    bool RateEmu = false;       // "re"

    std::vector<TStreamMap> StreamMaps;              // "map"
    std::vector<TAudioChannelMap> AudioChannelMaps;  // "map_channel"
    // Set by the metadata maps of the output set-up.
    bool MetadataGlobalManual = false;
    bool MetadataStreamsManual = false;
    bool MetadataChaptersManual = false;

    std::vector<std::string> Attachments;  // "attach"
    int ChaptersInputFile = INT_MAX;       // "map_chapters"; INT_MAX: automatic

    int64_t RecordingTime = INT64_MAX;  // "t", microseconds; INT64_MAX: unlimited
    int64_t LimitFileSize = INT64_MAX;  // "fs", bytes
    float MuxPreload = 0;               // "muxpreload", seconds
    float MuxMaxDelay = 0.7f;           // "muxdelay", seconds

    bool VideoDisable = false;     // "vn"
    bool AudioDisable = false;     // "an"
    bool SubtitleDisable = false;  // "sn"
    bool DataDisable = false;      // "dn"

    std::vector<int> StreamIdMap;  // "streamid": output stream index -> id
};

// Settings that keep their value for the engine object's life (defaults as after reset).
struct TGlobalOptions {
    int BitsPerRawSample = 0;          // "bits_per_raw_sample"
    int VideoDiscard = 0;              // "vdt"
    bool SameQuant = false;            // "sameq", "same_quant"
    bool DoDeinterlace = false;        // "deinterlace"
    int IntraDCPrecision = 8;          // "dc"
    bool LoopInput = false;            // "loop_input"
    int LoopOutput = -1;               // "loop_output"
    bool QPHist = false;               // "qphist"
    bool IntraOnly = false;            // "intra"
    std::string VideoCodecName;        // "vcodec": forced video decoder
    std::string AudioCodecName;        // "acodec"
    std::string SubtitleCodecName;     // "scodec"
    bool FileOverwrite = false;        // "y"
    bool NoFileOverwrite = false;      // "n"
    bool DoHexDump = false;            // "hex"
    bool DoPktDump = false;            // "dump"
    bool DoPSNR = false;               // "psnr"
    int DoPass = 0;                    // "pass"
    std::string PassLogFileName;       // "passlogfile"
    int VideoSyncMethod = -1;          // "vsync": -1 auto, 0 passthrough, 1 cfr, 2 vfr
    int AudioSyncMethod = 0;           // "async"
    float AudioDriftThreshold = 0.1f;  // "adrift_threshold"
    bool CopyTS = false;               // "copyts"
    int CopyTB = -1;                   // "copytb"
    bool OptShortest = false;          // "shortest"
    std::string VStatsFileName;        // "vstats", "vstats_file"
    FILE* VStatsFile = nullptr;        // opened by the pipeline, closed by clean-up
    int AudioVolume = 256;             // "vol"
    bool ExitOnError = false;          // "xerror"
    bool InputSync = false;            // "isync"
    float DTSDeltaThreshold = 10.0f;   // "dts_delta_threshold"
    bool PrintStats = true;            // "stats"
    int QPHistogram[52] = {};
    bool FrameHookPresent = false;  // a "vhook" module was added
};

// Where a value option stores its value: a member of the per-file context, a new pair of a
// specifier list, or a global setting.
using TOptionSlot = std::variant<std::string*, bool*, int*, int64_t*, float*, double*>;

// Handlers return a negative error code on failure, else 0.
using TOptionHandler = int (TCustomFFmpeg::*)(TOptionsContext& o, const std::string& opt,
                                              const std::string& arg);

struct TOptionDef {
    const char* Name;
    uint32_t Flags;
    // Value options: the destination for one occurrence; `spec` is the text after the first
    // ":" of the given name. For ofSpec options each call appends a pair.
    TOptionSlot (*Slot)(TCustomFFmpeg& self, TOptionsContext& o, const std::string& spec);
    TOptionHandler Handler;  // handler options (no value kind)
    const char* Help;
    const char* ArgName;
};

// Frame-hook modules named by "vhook" (loading and calling them is the frame-hook unit's work;
// it installs its implementation in `TCustomFFmpeg::FrameHooks`).
class TFrameHookModules {
public:
    virtual ~TFrameHookModules() = default;
    // args[0] is the library file name, the rest its arguments. 0, or a negative code.
    virtual int Add(const std::vector<std::string>& args) = 0;
    // Calls every module's Release and empties the list.
    virtual void Release() = 0;
    virtual bool Empty() const = 0;
    // Runs every module on the picture, in order.
    virtual void Run(AVFrame* picture, int pix_fmt, int width, int height, int64_t pts) = 0;
};

// ---------------------------------------------------------------------------------------------
// Callbacks to the owner (the encoder component connects them). Called on the worker, except
// the stream probe (the thread that opens the input) and the end of task (see `notify_end`).
using TAudioHookCallback =
    std::function<void(TCustomFFmpeg* Sender, void* ASample, int64_t APTS, int ASize,
                       int ASampleRate, int AChannels, int ASampleFormat)>;
using TStreamProbeCallback =
    std::function<void(TCustomFFmpeg* Sender, AVFormatContext* AFormatContext)>;
using TVideoHookCallback =
    std::function<void(TCustomFFmpeg* Sender, TBitmap* ABitmap, int AFrameNumber, int64_t APTS,
                       bool& AUpdate, bool& AStopHook)>;
using TFrameHookCallback =
    std::function<void(TCustomFFmpeg* Sender, AVFrame* APicture, int APixFmt, int AFrameNumber,
                       int AWidth, int AHeight, int64_t APTS)>;
using TPreviewBitmapCallback =
    std::function<void(TCustomFFmpeg* Sender, TBitmap* ABitmap, int AFrameNumber, int64_t APTS)>;
using TProgressCallback = std::function<void(
    TCustomFFmpeg* Sender, int AFileIndex, int AFrameNumber, int AFPS, float AQuality,
    float ABitRate, int64_t ACurrentSize, int64_t ACurrentDuration, int64_t ATotalDuration)>;
using TTerminateCallback = std::function<void(TCustomFFmpeg* Sender)>;

// Records the encoder component hands in for an input (AddTask) and an output (SetOutput).
struct TInputOptions {
    std::string FileName;  // UTF-8
    std::string Options;   // option string applied before the input is opened
    std::string Presets;   // name=value lines applied after Options
};

struct TOutputOptions {
    std::string FileName;
    std::string Options;
    std::string Presets;
    bool AudioHook = false;
    bool VideoInputHook = false;
    bool VideoOutputHook = false;
    int VideoHookBitsPixel = 24;
    bool FrameInputHook = false;
    bool FrameOutputHook = false;
    bool Join = false;
};

// Process-wide locks of the engine unit.
// Preview lock: serialises changes of the preview flags with the pipeline's preview step in
// every engine object (guards each object's preview flags, flags-changed mark and previewer).
TCriticalSection& PreviewLock();
// Codec-registry lock: guards the open-codec registries of every engine object.
TCriticalSection& CodecRegistryLock();

// ---------------------------------------------------------------------------------------------
class TCustomFFmpeg : public TObject {
public:
    // Needs every media library loaded (else raises EAssertionFailed with the loader's text).
    TCustomFFmpeg();
    // Stops the task and waits for the worker (and for a pending end notification), then
    // cleans up. The owner clears the callbacks first when it wants no events from teardown.
    ~TCustomFFmpeg() override;
    TCustomFFmpeg(const TCustomFFmpeg&) = delete;
    TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

    // --- lifecycle (set-up thread unless noted) ---

    // The state of a new object: option defaults, no files, flags clear.
    void reset();
    // No thread when already running or terminated, or when the task has no output or input
    // (it then ends at once with ExceptionRaised and the message). Unthreaded: runs the task
    // on the calling thread. Threaded: returns the worker, suspended, with `priority`; the
    // caller resumes it and must not touch it afterwards (it frees itself when done).
    TThread* start(bool threaded, TThreadPriority priority = tpNormal);
    // The task's body: transcode, close what an error left open, clean up, end notification.
    // Errors of each step are recorded (ExceptionRaised, ExceptionMsg), never passed on.
    void run();
    // End of task: Running false, Terminated true, worker none, then OnTerminate(this).
    void notify_end();
    // Any thread. Asks a running task to end; a suspended worker is resumed so it can end.
    // With wait, returns when the worker's run has ended (on the main thread the wait keeps
    // servicing the main-thread queue every 20 ms).
    void stop(bool wait);
    // Running: stop(wait). Terminated: nothing. Never started: the end notification on a
    // notification thread (exactly once); with wait, returns after it was delivered.
    void stop_or_end(bool wait);
    // Suspend or resume the worker, when there is one and it is not in that state already.
    void suspend();
    void resume();
    bool worker_suspended() const;
    // Worker only: the pause gate. Blocks while the task is paused; a stop releases it.
    void wait_if_paused();
    // Any thread, under the preview lock. Clearing bit 0 frees the preview window.
    void set_preview_flags(uint8_t flags);
    uint8_t preview_flags() const;
    // Both picture converters use this bit depth (8, 15, 16, 24, 32; else raises).
    void set_hook_bits_per_pixel(int bpp);
    // Closes and frees every file and stream, the option sets and the frame-hook modules.
    void clean_up();

    // Sets LastError, logs the text at llFatal and raises FFmpegException.
    [[noreturn]] void raise_error(const std::string& msg);
    template <class... A>
    [[noreturn]] void raise_error_fmt(std::string_view fmt, const A&... args) {
        raise_error(Format(fmt, args...));
    }

    // --- options (set-up thread) ---

    // Applies an option string; raises FFmpegException with the parser's message on the first
    // failure (options applied before it keep their effect).
    void ParseOptions(const std::string& text);
    // Applies name=value lines ("<CRLF>" also separates lines; "#" starts a comment line).
    void ParsePresets(const std::string& text);
    // Splits an option string into arguments by the old C-runtime command-line rules.
    static std::vector<std::string> SplitOptionString(const std::string& text);
    // One option: the number of arguments consumed (0 or 1) or a negative error code.
    int parse_option(TOptionsContext& o, const std::string& opt, const std::string* arg);
    // The catch-all: codec, format and scaler options of the media libraries.
    int opt_default(const std::string& opt, const std::string& arg);
    // Clears the per-file context (the recording time survives an input), frees the option
    // sets and, with `recreate_sws`, makes a new scaler option context.
    void reset_options(bool is_input, bool recreate_sws = true);
    // 1 match, 0 no match, negative for an invalid specifier (logged).
    int check_stream_specifier(AVFormatContext* s, AVStream* st, const std::string& spec);
    // The value of the last pair of `list` whose specifier matches the stream; false (and
    // `value` unchanged) when none does. An invalid specifier raises "check_stream_specifier".
    template <class T>
    bool match_per_stream_opt(const TSpecifierList<T>& list, AVFormatContext* s, AVStream* st,
                              T& value) {
        bool found = false;
        for (const auto& p : list) {
            const int r = check_stream_specifier(s, st, p.Specifier);
            if (r > 0) {
                value = p.Value;
                found = true;
            } else if (r < 0) {
                raise_stream_specifier_error(r);
            }
        }
        return found;
    }
    // The table entry for `name` (compared up to its first ":"), or null.
    const TOptionDef* find_option(std::string_view name) const;
    const std::vector<TOptionDef>& option_table() const { return FOptionTable; }

    // --- watchdogs ---

    // Interrupt callbacks for the media library (opaque: the engine object).
    static int input_interrupt(void* opaque);
    static int output_interrupt(void* opaque);
    // Microseconds of the clock the stamps are taken with.
    static int64_t watchdog_now_us();
    // Set just before a blocking input or output operation.
    void arm_input_stamp() { FInputStamp.store(watchdog_now_us(), std::memory_order_relaxed); }
    void arm_output_stamp() { FOutputStamp.store(watchdog_now_us(), std::memory_order_relaxed); }
    void set_input_stamp(int64_t t_us) { FInputStamp.store(t_us, std::memory_order_relaxed); }
    void set_output_stamp(int64_t t_us) { FOutputStamp.store(t_us, std::memory_order_relaxed); }
    static constexpr int64_t StampUnarmed = INT64_MAX;
    AVIOInterruptCB InputInterrupt{&TCustomFFmpeg::input_interrupt, this};
    AVIOInterruptCB OutputInterrupt{&TCustomFFmpeg::output_interrupt, this};
    int ReadTimeout = 30000;   // milliseconds; 0 or less: no time-out
    int WriteTimeout = 30000;  // milliseconds

    // --- input set-up (set-up thread) ---
    // Opens `filename` (UTF-8) with the options collected in `o` and appends the input file
    // and its streams. Result: the input's index, or a negative error code with LastError set
    // and nothing left open. Raises FFmpegException for unknown or wrong-type decoder names,
    // demuxer options nobody took (strict options), a stream of an impossible type and an
    // attachment dump without a file name; streams appended for the file are taken out again.
    // Resets `o` as after an input on success.
    int open_input_file(TOptionsContext& o, const std::string& filename);
    // The decoder for `st`: the per-stream "codec" name (which also sets the stream's codec
    // id), else the library's decoder for its codec id (or none).
    const AVCodec* choose_decoder(TOptionsContext& o, AVFormatContext* s, AVStream* st);
    // The encoder or decoder named `name` of media type `type`; raises "Unknown %s '%s'" or
    // "Invalid %s type '%s'".
    const AVCodec* find_codec_or_die(const std::string& name, AVMediaType type, bool encoder);
    // A "tag" value: a decimal, "0x" hexadecimal or leading-0 octal number; any other text
    // gives its first four bytes, the first byte lowest.
    static uint32_t parse_codec_tag(const std::string& text);
    // Longest file name (bytes of UTF-8) handed to the media library.
    static constexpr size_t MaxFileNameBytes = 2047;

    // --- output set-up (set-up thread) ---
    // Creates the output for `filename` (UTF-8) with the options collected in `o`: container,
    // streams (automatic selection or maps), attachments, the opened file, metadata and
    // chapters. Result: the output's index within the task, or -1 with LastError set. Errors
    // raised while creating streams propagate (FFmpegException). A failure once the container
    // exists leaves nothing behind (no entry, no streams, no empty file) and resets `o` as
    // after an output. `join` has no effect (a task has exactly one input).
    int open_output_file(TOptionsContext& o, const std::string& filename, bool join);
    // The entries of `opts` that apply to `st` and `codec` (encoding options when `s` is an
    // output, decoding options otherwise): a "name:spec" entry applies when the specifier
    // matches; a name with the stream type's prefix letter ("v", "a", "s") loses it when
    // the rest is a codec option.
    TDictionary filter_codec_opts(const TDictionary& opts, const AVCodec* codec, AVFormatContext* s,
                                  AVStream* st);
    // --- end of input set-up / output set-up ---

    // --- transcoding set-up (worker) ---
    // Settles every output stream (copy or encode), opens encoders and decoders, writes the
    // headers and logs the stream mapping. 0, or a negative code (LastError holds the text of
    // failures before the codecs are opened; later ones are only logged). Raises for
    // experimental codecs and, with StrictOptions, for options no codec took.
    int transcode_init();
    // Opens the decoder of input stream `index` when it is needed. 0, or -22 with `error` set.
    int open_input_decoder(int index, std::string& error);
    // The stream's filter graph from the decoder's pictures to the encoder's format.
    int build_video_filter_graph(TInputStream& ist, TOutputStream& ost);
    void pick_sample_format(TOutputStream& ost, const AVCodec* codec);
    void pick_sample_rate(TOutputStream& ost, const AVCodec* codec);
    void pick_pixel_format(TOutputStream& ost, const AVCodec* codec);
    void reject_experimental_codec(AVCodecContext* c, bool encoder);
    void reject_leftover_options(const TDictionary& opts);
    void log_stream_mapping();
    void log_sdp();
    // Working state of the pipeline.
    TAVMemoryPtr VideoOutputBuffer;        // shared by every video encoder
    int VideoOutputBufferSize = 262144;    // bytes
    int64_t VideoSize = 0;                 // encoded or copied video payload, bytes
    int64_t AudioSize = 0;                 // encoded or copied audio payload, bytes
    int64_t ExtraSize = 0;                 // encoder headers (extradata), bytes
    int DupFrames = 0;
    int DropFrames = 0;
    bool DupDropFlag = false;
    // --- end of transcoding set-up ---

    // --- main loop (worker) ---
    // The task's body: set-up, reading, decoding or copying, draining, trailers, the final
    // report, closing. Raises FFmpegException on failure (after transcode_cleanup).
    void transcode_run();
    // Decodes `pkt` (null: drains the decoder) and copies it to the stream-copy outputs.
    // 0, or the decoder's negative code.
    int decode_packet(TInputStream& ist, const AVPacket* pkt);
    bool stream_in_range(TInputStream& ist, TOutputStream& ost);
    void copy_packet(TInputStream& ist, TOutputStream& ost, const AVPacket* pkt);
    // Hands `pkt` (stream index set, stream time base) through the stream's bitstream filters
    // to the muxer; takes the packet's data. Fatal when the muxer fails.
    void write_packet(AVFormatContext* s, AVPacket* pkt, TOutputStream& ost);
    // Sends `frame` (null: flush) to the encoder and writes every packet it returns. The
    // number of packets written; fatal ("Video encoding failed", "Audio encoding failed").
    int encode_frame(AVFormatContext* s, TOutputStream& ost, const AVFrame* frame);
    void flush_all_encoders();
    void pace_input(TInputStream& ist);
    int decode_subtitle_packet(TInputStream& ist, const AVPacket* pkt, bool& got_output);
    void encode_subtitle(AVFormatContext* s, TOutputStream& ost, TInputStream& ist,
                         const AVSubtitle* sub, int64_t pts);
    void transcode_cleanup();
    // The input file the next packet is read from (the one feeding the output stream that is
    // furthest behind), or -1.
    int choose_input_file();
    // Input offset, scale and the discontinuity correction of a packet just read.
    void correct_timestamps(TInputFile& ifile, TInputStream& ist, AVPacket* pkt);
    // Video path.
    int decode_video_packet(TInputStream& ist, AVPacket* pkt, bool& got_picture,
                            int64_t& pkt_pts, int64_t& pkt_dts);
    // The picture the rest of the path works on: `picture` itself, or the working copy the
    // input hooks drew on.
    AVFrame* pre_process_video_frame(TInputStream& ist, AVFrame* picture);
    // Length of one picture of the stream's decoder in microseconds (0: unknown), with
    // `repeat_pict` extra ticks.
    static int64_t decoder_frame_duration(const TInputStream& ist, int repeat_pict);
    // One decoded picture: stream clock, input hooks, into the filter graphs and on.
    void process_video_frame(TInputStream& ist, AVFrame* frame);
    // The deinterlaced picture (in InputHookFrame), or null when deinterlacing failed.
    AVFrame* deinterlace_picture(TInputStream& ist, AVFrame* picture);
    // Runs a bitmap hook on `picture`; `converted` tells whether the converter's bitmap now
    // mirrors the picture. Clears `slot` when the hook asks to stop or conversion fails.
    void run_video_hook(TVideoHookCallback& slot, TFormatConverter& converter, bool& converted,
                        int64_t pts, int frame_number, int pix_fmt, int width, int height,
                        AVFrame* picture);
    // The picture handed to the encoder: a copy the output hooks drew on.
    AVFrame* run_output_hooks(AVFrame* picture, AVCodecContext* enc, int frame_number,
                              int64_t pts, bool& converted);
    void encode_video_frame(AVFormatContext* s, TOutputStream& ost, TInputStream& ist,
                            AVFrame* picture, int& frame_size, float quality);
    // Takes every picture the stream's filter graph has ready and encodes it.
    void poll_video_filters(TInputStream& ist, TOutputStream& ost, float quality);
    // End of input for the stream's filter graph: encodes the pictures it still holds.
    void flush_video_filters(TOutputStream& ost);
    // The preview call point of an outgoing picture (frame number, pts in microseconds).
    void preview_picture(AVFrame* picture, AVCodecContext* enc, int frame_number, int64_t pts,
                         bool converted);
    TFramePtr InputHookFrame;   // working copy for the input hooks, reused
    TFramePtr OutputHookFrame;  // working copy for the output hooks, reused
    int64_t HookCopies = 0;     // full-picture copies made for hooks (a hook-less run: none)
    int64_t ProcessedFrames = 0;  // pictures decoded and pushed into filter graphs
    // Audio path.
    int decode_audio_packet(TInputStream& ist, const AVPacket* pkt, bool& got_output);
    void do_audio_out(AVFormatContext* s, TOutputStream& ost, TInputStream& ist,
                      AVFrame* decoded);
    // End of input: encodes the samples left in the stream's FIFO (the last frame padded with
    // silence unless the encoder takes a short one). The caller then drains the encoder.
    void flush_audio_fifo(AVFormatContext* s, TOutputStream& ost);
    // Progress report: `now` and `start` are wall-clock microseconds (av_gettime); the final
    // report has file index -1.
    void report_progress(int64_t now, int64_t start, bool is_last_report, int file_index);
    // One line of the video statistics file for an encoded frame of `frame_size` bytes.
    void write_video_stats(TOutputStream& ost, int frame_size);
    static double psnr(double d);
    std::unique_ptr<uint8_t[]> NoPacketFlags;  // one per input file
    TAVMemoryPtr SubtitleBuffer;               // 1 MiB, made on first use
    int64_t LoopStartTime = 0;                 // wall clock when reading began (microseconds)
    // Set once reading has ended: the files are being finished (drain, trailers), and a stop
    // request no longer breaks their writes (any thread reads it).
    std::atomic<bool> Finishing{false};
    // --- end of main loop ---

    // --- audio path (worker) ---
    // One decoded audio frame (from decode_audio_packet): checks it, advances the stream's
    // clock, runs the audio hook and the volume, then do_audio_out for every output in range.
    void audio_frame_decoded(TInputStream& ist, AVFrame* frame);
    // Stamps `frame` with SyncOutPTS (encoder time base), advances SyncOutPTS by its samples
    // and hands it to encode_frame. The number of packets written.
    int encode_audio_frame(AVFormatContext* s, TOutputStream& ost, AVFrame* frame);
    // Fills `bytes` bytes with silence of `fmt` (128 for unsigned 8-bit, else 0).
    static void make_silence(uint8_t* buf, int fmt, int bytes);
    TAVMemoryPtr AudioBuf;                     // resampler output, grown on demand and kept
    unsigned int AllocatedAudioBufSize = 0;    // bytes of AudioBuf
    TAVMemoryPtr AudioSilenceBuf;              // silence followed by the input, on demand
    unsigned int AllocatedAudioSilenceSize = 0;
    std::vector<uint8_t> AudioHookBuf;         // interleaved copy of planar samples for the hook
    // --- end of audio path ---

    // --- open-codec registries (any thread; under the codec-registry lock) ---
    void register_encoder(AVCodecContext* c);
    void unregister_encoder(AVCodecContext* c);
    void register_decoder(AVCodecContext* c);
    void unregister_decoder(AVCodecContext* c);
    size_t registered_codecs() const;
    // Closes every codec still registered (encoders lose their two-pass statistics text).
    void close_registered_codecs();

    // --- control state ---
    std::atomic<bool> Running{false};
    std::atomic<bool> StopRequested{false};
    std::atomic<bool> Finished{false};
    std::atomic<bool> Terminated{false};
    std::atomic<bool> ExceptionRaised{false};
    std::string ExceptionMsg;  // the last error of a run (written by the run's thread)
    std::string LastError;     // the last error of an operation

    // --- callbacks to the owner ---
    TAudioHookCallback OnAudioHook;
    TStreamProbeCallback OnStreamProbe;
    TVideoHookCallback OnVideoInputHook;
    TVideoHookCallback OnVideoOutputHook;
    TFrameHookCallback OnFrameInputHook;
    TFrameHookCallback OnFrameOutputHook;
    TPreviewBitmapCallback OnPreviewBitmap;
    TProgressCallback OnProgress;
    TTerminateCallback OnTerminate;

    // --- settings from the owner ---
    bool StrictOptions = true;
    int64_t ReportInterval = 500000;   // microseconds
    int64_t PreviewInterval = 100000;  // microseconds
    int HookBitsPixel = 24;

    // --- durations (microseconds, -1 unknown) ---
    int64_t TotalDuration = -1;
    int64_t LongestInputDuration = -1;

    // --- option state ---
    TGlobalOptions GlobalOptions;
    TOptionsContext OptionsContext;
    TDictionary CodecOpts;   // codec options (catch-all), filtered per stream later
    TDictionary FormatOpts;  // format options
    TSwsContextPtr SwsOpts;  // scaler option context (16x16, bicubic)
    // Text of the last parse or handler error; further lines are appended after CR LF.
    std::string ErrorMessage;

    // --- files and streams ---
    std::vector<std::unique_ptr<TInputFile>> InputFiles;
    std::vector<std::unique_ptr<TInputStream>> InputStreams;
    std::vector<std::unique_ptr<TOutputFile>> OutputFiles;
    std::vector<std::unique_ptr<TOutputStream>> OutputStreams;

    // --- owned objects ---
    TFormatConverter InputConverter;                // the video input hook
    TFormatConverter OutputConverter;               // the video output hook and the preview
    std::unique_ptr<TObject> Previewer;             // the preview window, created on demand
    int64_t LastPreviewTime = 0;                    // the preview clock, microseconds
    std::unique_ptr<TFrameHookModules> FrameHooks;  // null: no module can be added

protected:
    // The transcoding pipeline: transcode_run. 0; failures raise.
    int transcode();

private:
    friend class TConvertThread;
    friend class TDoTerminateThread;

    [[noreturn]] void raise_stream_specifier_error(int code);
    void build_option_table();
    void reset_global_options();
    void close_output_file(TOutputFile& f);
    // Runs `step`, recording an error it raises.
    template <class F> void guarded(F&& step);
    void record_exception(const std::string& msg);
    // Waits for `event`; on the main thread keeps servicing the main-thread queue.
    static void wait_servicing(TEvent& event);
    int handler_error(TLogLevel level, const std::string& msg, int code = -22);
    // A preset line: acodec, vcodec, scodec, dcodec (any case) to their handlers, any other
    // name to the catch-all.
    int apply_preset_line(TOptionsContext& o, const std::string& name, const std::string& value);
    void set_library_log_level(int level);

    // Handlers of the option table.
    int opt_ignore(TOptionsContext&, const std::string& opt, const std::string&);
    int opt_placeholder(TOptionsContext&, const std::string&, const std::string&);
    int opt_refused(TOptionsContext&, const std::string& opt, const std::string&);
    int opt_loglevel(TOptionsContext&, const std::string& opt, const std::string& arg);
    int opt_debug(TOptionsContext&, const std::string& opt, const std::string& arg);
    int opt_max_alloc(TOptionsContext&, const std::string& opt, const std::string& arg);
    int opt_map(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_map_channel(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_recording_timestamp(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_data_frames(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_video_frames(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_audio_frames(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_target(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_vsync(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_qscale(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_audio_qscale(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_attach(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_crop(TOptionsContext&, const std::string& opt, const std::string&);
    int opt_pad(TOptionsContext&, const std::string& opt, const std::string&);
    int opt_video_codec(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_audio_codec(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_subtitle_codec(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_data_codec(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_pass(TOptionsContext&, const std::string& opt, const std::string& arg);
    int opt_passlogfile(TOptionsContext&, const std::string& opt, const std::string& arg);
    int opt_vstats(TOptionsContext&, const std::string& opt, const std::string& arg);
    int opt_vstats_file(TOptionsContext&, const std::string& opt, const std::string& arg);
    int opt_video_filters(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_video_tag(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_audio_tag(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_subtitle_tag(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_streamid(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_bitrate(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_video_channel(TOptionsContext&, const std::string& opt, const std::string& arg);
    int opt_video_standard(TOptionsContext&, const std::string& opt, const std::string& arg);
    int opt_audio_bsf(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_video_bsf(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_preset(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_vhook(TOptionsContext&, const std::string& opt, const std::string& arg);
    int opt_hook_bits_pixel(TOptionsContext&, const std::string& opt, const std::string& arg);
    int opt_time_start(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_time_length(TOptionsContext& o, const std::string& opt, const std::string& arg);
    int opt_default_handler(TOptionsContext&, const std::string& opt, const std::string& arg);

    std::vector<TOptionDef> FOptionTable;

    // The worker while it exists. Guards FWorker; the worker clears it (end notification)
    // before it frees itself, so a pointer read under the lock is alive.
    mutable std::mutex FWorkerLock;
    TConvertThread* FWorker = nullptr;
    // Shared with the threads that signal them: a waiter may free this object as soon as the
    // event is set, while the signalling thread is still inside SetEvent.
    std::shared_ptr<TEvent> FRunDone;        // cleared when a worker is made, set when its run ends
    std::shared_ptr<TEvent> FTerminateDone;  // cleared for a notification thread, set after it
    std::atomic<bool> FEndPending{false};    // a notification thread was started

    std::atomic<int64_t> FInputStamp{StampUnarmed};
    std::atomic<int64_t> FOutputStamp{StampUnarmed};

    // Guarded by CodecRegistryLock().
    std::vector<AVCodecContext*> FEncoderRegistry;
    std::vector<AVCodecContext*> FDecoderRegistry;

    // Guarded by PreviewLock().
    uint8_t FPreviewFlags = 0;
    bool FPreviewFlagsChanged = false;
};

// The engine class the encoder component creates. Keeps a copy of each options record passed
// for its input and outputs, by index, until it is freed.
class TFFmpeg : public TCustomFFmpeg {
public:
    explicit TFFmpeg(TObject* AOwner = nullptr) : Owner(AOwner) {}

    TObject* Owner;  // the encoder component

    void SetInputOptions(int index, const TInputOptions& options) {
        FInputOptions[index] = options;
    }
    void SetOutputOptions(int index, const TOutputOptions& options) {
        FOutputOptions[index] = options;
    }
    void ClearOutputOptions(int index) { FOutputOptions.erase(index); }
    const TInputOptions* InputOptions(int index) const {
        auto it = FInputOptions.find(index);
        return it == FInputOptions.end() ? nullptr : &it->second;
    }
    const TOutputOptions* OutputOptions(int index) const {
        auto it = FOutputOptions.find(index);
        return it == FOutputOptions.end() ? nullptr : &it->second;
    }

private:
    std::map<int, TInputOptions> FInputOptions;
    std::map<int, TOutputOptions> FOutputOptions;
};

// The task's worker: runs the engine object's task and, whatever happens, signals its
// run-done event at the end. Created suspended; frees itself when done.
class TConvertThread : public TThread {
public:
    TConvertThread(TCustomFFmpeg* AFFmpeg, std::shared_ptr<TEvent> ARunDone);
    // The convert thread running on the calling thread, or null.
    static TConvertThread* Current();
    // The pause gate (worker only).
    void PassGate() { WaitIfSuspended(); }

protected:
    void Execute() override;

private:
    friend class TCustomFFmpeg;
    TCustomFFmpeg* FFFmpeg;
    std::shared_ptr<TEvent> FRunDone;
};

// Delivers the end notification of a task that never ran, then signals terminate-done.
class TDoTerminateThread : public TThread {
public:
    TDoTerminateThread(TCustomFFmpeg* AFFmpeg, std::shared_ptr<TEvent> ADone);

protected:
    void Execute() override;

private:
    TCustomFFmpeg* FFFmpeg;
    std::shared_ptr<TEvent> FDone;
};
