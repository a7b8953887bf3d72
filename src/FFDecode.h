// The probing component: opens a media file (or attaches to a format context opened elsewhere)
// and reports file, video-stream and audio-stream information in plain records.
//
// Threads: the component has no thread of its own. Call it from one thread at a time (the
// main thread in the program). `OnBeforeFindStreamInfo` runs on the main thread when
// `TriggerEventInMainThread` is set, else on the caller's thread. `IoStartTime` may be set
// from another thread (0 cancels a blocking open or probe).
//
// Ownership: a file opened by LoadFile is closed by the component; an attached context stays
// the attacher's and is never closed here. Records are filled by value.
#pragma once

#include "src/FFBaseComponent.h"
#include "src/FormatConverter.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct AVStream;
struct AVFrame;
struct SwrContext;
struct SwsContext;

// A time without value (the media libraries' mark).
constexpr int64_t NoTimeValue = std::numeric_limits<int64_t>::min();

struct TFileStreamInfo {
    int64_t StartTime = NoTimeValue;  // µs; no value when unknown
    int64_t Duration = -1;            // µs; -1 when the container reports none
    int BitRate = -1;                 // bits/s
    int64_t Timestamp = -1;           // µs since 1970 (the container's creation time), 0 if none
    int Year = -1;                    // metadata "year" as a number, 0 when absent or not one
    int Track = -1;                   // metadata "track", the same way
    std::string Title, Author, Copyright, Comment, Album, Genre;
};

struct TAudioStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StartTime = -1;    // stream time base
    int64_t StartTimeUS = -1;  // µs; -1 when StartTime has no value
    int64_t Duration = -1;     // stream time base
    int64_t DurationUS = -1;   // µs; -1 when Duration has no value
    int BitRate = -1;
    int Channels = -1;
    int SampleRate = -1;
    int SampleFormat = -1;  // AVSampleFormat
};

struct TVideoStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StartTime = -1;
    int64_t StartTimeUS = -1;
    int64_t Duration = -1;
    int64_t DurationUS = -1;
    int BitRate = -1;
    int Height = -1;
    int Width = -1;
    float DisplayAspect = -1.0f;  // sample aspect ratio x width / height; 0 when undefined
    int PixelFormat = -1;         // AVPixelFormat
    int FrameRateNum = -1;
    int FrameRateDen = -1;
};

// Raised after the file is opened and before its streams are probed; the handler may change
// the format context's settings. The context is valid only during the call.
using TBeforeFindStreamInfoEvent =
    std::function<void(TObject* Sender, AVFormatContext* AFormatContext)>;

class TCustomDecoder : public TFFBaseComponent {
public:
    // The idle value of IoStartTime: no blocking call in progress.
    static constexpr int64_t IoIdle = std::numeric_limits<int64_t>::max();

    explicit TCustomDecoder(TObject* AOwner = nullptr);
    // Closes the file; frees the option sets when the libraries are still loaded.
    ~TCustomDecoder() override;
    TCustomDecoder(const TCustomDecoder&) = delete;
    TCustomDecoder& operator=(const TCustomDecoder&) = delete;

    // Opens and probes `FileName` (UTF-8); `FormatName` forces the input format (empty:
    // detect). False with LastErrorMessage on failure. Raises Exception("Library %s not
    // loaded.") when a library of the probing set is missing.
    bool LoadFile(const std::string& FileName, const std::string& FormatName = "");
    virtual void RefreshStreamInfo();
    // Uses `context` (opened by the caller, who keeps owning it); null detaches.
    virtual void AttachFormatContext(AVFormatContext* context);
    virtual void CloseFile();

    // Without a file: the empty record and the warning "file not loaded.".
    void GetFileStreamInfo(TFileStreamInfo& info);
    // A negative StreamIndex (or none) means the first stream of the kind.
    void GetAudioStreamInfo(int StreamIndex, TAudioStreamInfo& info);
    void GetAudioStreamInfo(TAudioStreamInfo& info) { GetAudioStreamInfo(-1, info); }
    void GetVideoStreamInfo(int StreamIndex, TVideoStreamInfo& info);
    void GetVideoStreamInfo(TVideoStreamInfo& info) { GetVideoStreamInfo(-1, info); }

    // The interruption check the media library calls during blocking calls: 1 aborts.
    int CheckInterrupt();

    // Published.
    bool TriggerEventInMainThread = true;
    TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;

    // Flags for the scaler options object (SWS_BICUBIC).
    int ScalerFlags;
    // Clock (av_gettime) recorded just before a blocking call; IoIdle otherwise.
    std::atomic<int64_t> IoStartTime{IoIdle};

    // Option sets handed to the library by the next LoadFile (empty after each LoadFile).
    AVDictionary*& FormatOptions() { return FFormatOpts; }
    AVDictionary*& CodecOptions() { return FCodecOpts; }
    SwsContext* ScalerOptions() const { return FScalerOpts; }

    // Read-only state.
    AVFormatContext* FormatContext() const { return FFormatContext; }
    const std::string& LastErrorMessage() const { return FLastErrorMessage; }
    const std::string& FormatName() const { return FFormatName; }
    int64_t FileSize() const { return FFileSize; }
    int StreamCount() const { return FStreamCount; }
    int AudioStreamCount() const { return FAudioStreamCount; }
    int VideoStreamCount() const { return FVideoStreamCount; }
    int SubtitleStreamCount() const { return FSubtitleStreamCount; }
    int FirstAudioStreamIndex() const { return FFirstAudioStreamIndex; }
    int FirstVideoStreamIndex() const { return FFirstVideoStreamIndex; }
    int FirstSubtitleStreamIndex() const { return FFirstSubtitleStreamIndex; }

protected:
    // Called by LoadFile once the streams are known, before the option sets are recreated.
    virtual void AfterProbe() {}
    void ReportError(const std::string& msg);
    void ReportWarning(const std::string& msg);
    AVStream* StreamForInfo(int StreamIndex, int first_index, int media_type, const char* kind);

private:
    void CheckLibraries() const;
    void FreeOptionSets();
    void RecreateOptionSets();
    static int InterruptCallback(void* opaque);

    AVFormatContext* FFormatContext = nullptr;
    SwsContext* FScalerOpts = nullptr;
    AVDictionary* FFormatOpts = nullptr;
    AVDictionary* FCodecOpts = nullptr;
    bool FOpenedHere = false;
    std::string FLastErrorMessage;
    std::string FFormatName;
    int64_t FFileSize = -1;
    int FStreamCount = -1;
    int FAudioStreamCount = -1;
    int FVideoStreamCount = -1;
    int FSubtitleStreamCount = -1;
    int FFirstAudioStreamIndex = -1;
    int FFirstVideoStreamIndex = -1;
    int FFirstSubtitleStreamIndex = -1;
};

class TFFDecoder : public TCustomDecoder {
public:
    explicit TFFDecoder(TObject* AOwner = nullptr);
    ~TFFDecoder() override;

    void RefreshStreamInfo() override;
    void CloseFile() override;

    // Gets the scaler options' "sws_flags" after each LoadFile.
    TFormatConverter& FormatConverter() { return FFormatConverter; }

    // Output defaults of audio decoding: stereo, 44100 Hz, signed 16-bit.
    int AudioChannels = 2;
    int AudioSampleRate = 44100;
    int AudioSampleFormat = 1;  // AV_SAMPLE_FMT_S16

protected:
    void AfterProbe() override;

private:
    // Frees the decoders, the resampler and the frame buffer and clears the decoding state.
    void ResetDecoding();

    TFormatConverter FFormatConverter;
    // Frame-decoding state; this program only resets it.
    AVCodecContext* FVideoDecoder = nullptr;
    AVCodecContext* FAudioDecoder = nullptr;
    SwrContext* FResampler = nullptr;
    AVFrame* FFrame = nullptr;
    int FVideoStreamIndex = -1;
    int FAudioStreamIndex = -1;
};
