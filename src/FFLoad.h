// Run-time binding of the media libraries (FFmpeg 5.1) and SDL 2.
//
// Nothing links these libraries: `TFFLoader` dlopens them and resolves every entry point of
// src/FFEntries.h by name into the `ff::` tables below, typed after the real declarations, so
// `ff::avcodec_open2(ctx, codec, &opts)` is checked by the compiler like a direct call. A
// direct call (`avcodec_open2(...)`) fails to link on purpose.
//
// Threads: loading and unloading run on the main thread and must not overlap with media work;
// the tables are written only then. Queries (IsLoaded, Loaded, CheckLoaded, LastErrorMessage)
// may be made from any thread.
#pragma once

#include "platform/SyncObjs.h"
#include "platform/SysUtils.h"
#include "src/FFEntries.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <type_traits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/avfft.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/fifo.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <SDL.h>

// The entry tables. Each is null until its library is loaded and again after it is unloaded.
namespace ff {
#define VELLORAN_FF_DECLARE(name) inline decltype(&::name) name = nullptr;
#define VELLORAN_FF_DECLARE_TYPED(name, type) inline std::type_identity_t<type> name = nullptr;
VELLORAN_AVCODEC_ENTRIES(VELLORAN_FF_DECLARE)
VELLORAN_AVDEVICE_ENTRIES(VELLORAN_FF_DECLARE)
VELLORAN_AVFILTER_ENTRIES(VELLORAN_FF_DECLARE)
VELLORAN_AVFORMAT_ENTRIES(VELLORAN_FF_DECLARE)
VELLORAN_AVUTIL_ENTRIES(VELLORAN_FF_DECLARE)
VELLORAN_SWRESAMPLE_ENTRIES(VELLORAN_FF_DECLARE)
VELLORAN_SWSCALE_ENTRIES(VELLORAN_FF_DECLARE)
// Data items: a pointer to the library's object.
#define VELLORAN_FF_DECLARE_VARIABLE(name) inline decltype(&::name) name = nullptr;
VELLORAN_AVCODEC_VARIABLES(VELLORAN_FF_DECLARE_VARIABLE)
VELLORAN_AVDEVICE_VARIABLES(VELLORAN_FF_DECLARE_VARIABLE)
VELLORAN_AVFILTER_VARIABLES(VELLORAN_FF_DECLARE_VARIABLE)
VELLORAN_AVFORMAT_VARIABLES(VELLORAN_FF_DECLARE_VARIABLE)
VELLORAN_AVUTIL_VARIABLES(VELLORAN_FF_DECLARE_VARIABLE)
VELLORAN_SWRESAMPLE_VARIABLES(VELLORAN_FF_DECLARE_VARIABLE)
VELLORAN_SWSCALE_VARIABLES(VELLORAN_FF_DECLARE_VARIABLE)
// The C library row (report lines, two-pass and statistics files).
VELLORAN_LIBC_ENTRIES(VELLORAN_FF_DECLARE_TYPED)
#undef VELLORAN_FF_DECLARE
#undef VELLORAN_FF_DECLARE_TYPED
#undef VELLORAN_FF_DECLARE_VARIABLE
} // namespace ff

// Library numbers; the index is the bit in a TLibrarySet.
enum TLibraryIndex : int {
    liAVCodec = 0,
    liAVDevice = 1,
    liAVFilter = 2,
    liAVFormat = 3,
    liAVUtil = 4,
    liSwResample = 5,
    liSwScale = 6,
    liLibC = 7,
};
constexpr int LibraryCount = 8;

// Eight-bit set of library indexes.
class TLibrarySet {
  public:
    constexpr TLibrarySet() = default;
    constexpr explicit TLibrarySet(uint8_t bits) : bits_(bits) {}
    constexpr TLibrarySet(std::initializer_list<TLibraryIndex> members) {
        for (TLibraryIndex i : members)
            bits_ |= uint8_t(1u << i);
    }
    constexpr bool Contains(int index) const {
        return index >= 0 && index < LibraryCount && (bits_ >> index) & 1u;
    }
    constexpr uint8_t Bits() const { return bits_; }
    constexpr TLibrarySet operator|(TLibrarySet o) const { return TLibrarySet(bits_ | o.bits_); }
    constexpr bool operator==(const TLibrarySet&) const = default;

  private:
    uint8_t bits_ = 0;
};

// Every library: the player, the engine and shut-down.
constexpr TLibrarySet LibSetAll{0xFF};
// All but avdevice and avfilter: the probing component.
constexpr TLibrarySet LibSetNoDeviceFilter{
    uint8_t(0xFF & ~((1u << liAVDevice) | (1u << liAVFilter)))};

// The process-wide media library loader (see `FFLoader()`).
class TFFLoader {
  public:
    // Base folder: "LibAV" beside the executable.
    TFFLoader();
    // Unloads every library.
    ~TFFLoader();
    TFFLoader(const TFFLoader&) = delete;
    TFFLoader& operator=(const TFFLoader&) = delete;

    // Folder searched first for the media libraries (never for the C library); empty: the
    // system search only.
    void SetBaseFolder(const std::string& folder);
    std::string BaseFolder() const;

    // Text of the last failure ("Load library %s error: %s", "Load function %s@%s error: %s",
    // "Load variable %s@%s error: %s").
    std::string LastErrorMessage() const;

    // Short name ("avcodec", ..., "libc") and file name ("libavcodec.so.59", ..., "libc.so.6").
    static std::string LibraryName(int index);
    std::string LibraryFileName(int index) const;

    // Loads one library and resolves its entries; true when usable. An already loaded library
    // is not loaded again; its post-load actions run again (log callback, filter registration).
    bool LoadLibrary(int index);
    // Loads the members in index order; on the first failure unloads every member of the set.
    bool Load(TLibrarySet set);
    bool IsLoaded(int index) const;
    bool Loaded(TLibrarySet set) const;
    // Raises Exception("Library %s not loaded.") for the first member not loaded.
    void CheckLoaded(TLibrarySet set) const;
    void UnloadLibrary(int index);
    void Unload(TLibrarySet set);

    // After avutil loads, the logger installs its callback and level (default true).
    bool InstallLogCallback = true;

  private:
    bool LoadLibrary_locked(int index);
    void UnloadLibrary_locked(int index);
    void AfterLoad_locked(int index);

    struct TLibraryStatus {
        void* handle = nullptr;
        bool entries_loaded = false;
    };

    mutable TCriticalSection lock_; // guards base_folder_, last_error_, status_, log_installed_
    std::string base_folder_;
    std::string last_error_;
    TLibraryStatus status_[LibraryCount];
    bool log_installed_ = false; // this loader installed the library log callback
};

// The single loader, created on first use and destroyed at process end.
TFFLoader& FFLoader();

// Opens `file_name`: by the full path folder + "/" + file_name when that names an existing
// regular file, else by the name alone through the system search. On failure returns null
// and sets `error` to the system's (dlerror) text. `path_used` receives what was opened.
void* LoadFromFolder(const std::string& folder, const std::string& file_name, std::string& error,
                     std::string* path_used = nullptr);

// Resolve one entry by name into `*dest`. When missing and not optional, raises Exception
// "Load function %s@%s error: %s" / "Load variable %s@%s error: %s" (name, file name of the
// library, system text).
void ResolveFunction(const std::string& file_name, void* handle, const char* name, bool optional,
                     void** dest);
void ResolveVariable(const std::string& file_name, void* handle, const char* name, bool optional,
                     void** dest);

// SDL 2 entries of one TSDLLoader.
struct TSDLEntries {
#define VELLORAN_SDL_DECLARE(name) decltype(&::name) name = nullptr;
    VELLORAN_SDL_ENTRIES(VELLORAN_SDL_DECLARE)
#undef VELLORAN_SDL_DECLARE
};

constexpr const char* SDLLibraryFileName = "libSDL2-2.0.so.0";

// SDL loader, one per player. Two loaders never hold the same path at the same time.
// Main thread only.
class TSDLLoader {
  public:
    TSDLLoader() = default;
    ~TSDLLoader(); // unloads
    TSDLLoader(const TSDLLoader&) = delete;
    TSDLLoader& operator=(const TSDLLoader&) = delete;

    // Full path = folder + "/" + file_name (file_name alone when folder is empty). True at
    // once when this loader holds that path; false with "%s alreay loaded in another
    // instance." when another loader holds it; otherwise loads and resolves every entry.
    bool Load(const std::string& folder, const std::string& file_name = SDLLibraryFileName);
    bool Loaded() const { return handle_ != nullptr && loaded_; }
    void Unload();
    std::string LastErrorMessage() const { return last_error_; }
    std::string LoadedPath() const { return loaded_path_; }

    // The entries; all null while not loaded.
    const TSDLEntries& sdl() const { return entries_; }

  private:
    void Unload_locked();

    std::string loaded_path_;
    void* handle_ = nullptr;
    bool loaded_ = false;
    std::string last_error_;
    TSDLEntries entries_;
};

// Guards the process-wide list of loaded SDL paths; the player also holds it while SDL starts.
TCriticalSection& SDLCriticalSection();

// Mutex with the wait results of a system mutex, for the player. Re-entrant for its owner.
class TMutex {
  public:
    TMutex() = default;
    // wrSignaled (acquired), wrTimeout, or wrError with LastError set.
    TWaitResult WaitFor(uint32_t timeout_ms = INFINITE);
    // Waits without limit; raises EOSError on error.
    void Acquire();
    // Raises EOSError (EPERM) when the calling thread does not hold the mutex.
    void Release();
    int LastError() const { return last_error_; }

  private:
    TTimedMutex m_;
    int last_error_ = 0; // written by the thread that got the failure
};
