#include "src/FFLoad.h"

#include "src/FFLog.h"
#include "src/FFUtils.h"
#include "src/FilterRegistry.h"

#include <algorithm>
#include <cerrno>
#include <dlfcn.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// dlsym into a typed table slot.
template <class T>
void ResolveInto(const std::string& file_name, void* handle, const char* name, T& dest) {
    void* p = nullptr;
    ResolveFunction(file_name, handle, name, false, &p);
    dest = reinterpret_cast<T>(p);
}

template <class T>
void ResolveDataInto(const std::string& file_name, void* handle, const char* name, T& dest) {
    void* p = nullptr;
    ResolveVariable(file_name, handle, name, false, &p);
    dest = static_cast<T>(p);
}

#define VELLORAN_RESOLVE(name) ResolveInto(file_name, handle, #name, ff::name);
#define VELLORAN_RESOLVE_TYPED(name, type) ResolveInto(file_name, handle, #name, ff::name);
#define VELLORAN_RESOLVE_DATA(name) ResolveDataInto(file_name, handle, #name, ff::name);
#define VELLORAN_CLEAR(name) ff::name = nullptr;
#define VELLORAN_CLEAR_TYPED(name, type) ff::name = nullptr;

// Entry procedures: resolve every entry, then the one-time initialisation of the library.
void ResolveAVCodec(const std::string& file_name, void* handle) {
    VELLORAN_AVCODEC_ENTRIES(VELLORAN_RESOLVE)
    VELLORAN_AVCODEC_VARIABLES(VELLORAN_RESOLVE_DATA)
}
void ClearAVCodec() {
    VELLORAN_AVCODEC_ENTRIES(VELLORAN_CLEAR)
    VELLORAN_AVCODEC_VARIABLES(VELLORAN_CLEAR)
}

void ResolveAVDevice(const std::string& file_name, void* handle) {
    VELLORAN_AVDEVICE_ENTRIES(VELLORAN_RESOLVE)
    VELLORAN_AVDEVICE_VARIABLES(VELLORAN_RESOLVE_DATA)
    ff::avdevice_register_all();
}
void ClearAVDevice() {
    VELLORAN_AVDEVICE_ENTRIES(VELLORAN_CLEAR)
    VELLORAN_AVDEVICE_VARIABLES(VELLORAN_CLEAR)
}

void ResolveAVFilter(const std::string& file_name, void* handle) {
    VELLORAN_AVFILTER_ENTRIES(VELLORAN_RESOLVE)
    VELLORAN_AVFILTER_VARIABLES(VELLORAN_RESOLVE_DATA)
}
void ClearAVFilter() {
    VELLORAN_AVFILTER_ENTRIES(VELLORAN_CLEAR)
    VELLORAN_AVFILTER_VARIABLES(VELLORAN_CLEAR)
}

void ResolveAVFormat(const std::string& file_name, void* handle) {
    VELLORAN_AVFORMAT_ENTRIES(VELLORAN_RESOLVE)
    VELLORAN_AVFORMAT_VARIABLES(VELLORAN_RESOLVE_DATA)
    ff::avformat_network_init();
}
void ClearAVFormat() {
    VELLORAN_AVFORMAT_ENTRIES(VELLORAN_CLEAR)
    VELLORAN_AVFORMAT_VARIABLES(VELLORAN_CLEAR)
}

void ResolveAVUtil(const std::string& file_name, void* handle) {
    VELLORAN_AVUTIL_ENTRIES(VELLORAN_RESOLVE)
    VELLORAN_AVUTIL_VARIABLES(VELLORAN_RESOLVE_DATA)
}
void ClearAVUtil() {
    VELLORAN_AVUTIL_ENTRIES(VELLORAN_CLEAR)
    VELLORAN_AVUTIL_VARIABLES(VELLORAN_CLEAR)
}

void ResolveSwResample(const std::string& file_name, void* handle) {
    VELLORAN_SWRESAMPLE_ENTRIES(VELLORAN_RESOLVE)
    VELLORAN_SWRESAMPLE_VARIABLES(VELLORAN_RESOLVE_DATA)
}
void ClearSwResample() {
    VELLORAN_SWRESAMPLE_ENTRIES(VELLORAN_CLEAR)
    VELLORAN_SWRESAMPLE_VARIABLES(VELLORAN_CLEAR)
}

void ResolveSwScale(const std::string& file_name, void* handle) {
    VELLORAN_SWSCALE_ENTRIES(VELLORAN_RESOLVE)
    VELLORAN_SWSCALE_VARIABLES(VELLORAN_RESOLVE_DATA)
}
void ClearSwScale() {
    VELLORAN_SWSCALE_ENTRIES(VELLORAN_CLEAR)
    VELLORAN_SWSCALE_VARIABLES(VELLORAN_CLEAR)
}

void ResolveLibC(const std::string& file_name, void* handle) {
    VELLORAN_LIBC_ENTRIES(VELLORAN_RESOLVE_TYPED)
}
void ClearLibC() {
    VELLORAN_LIBC_ENTRIES(VELLORAN_CLEAR_TYPED)
}

// File names follow the major versions of the headers we compile against, so a table can
// only ever be filled from the generation it was typed for.
#define VELLORAN_STR2(x) #x
#define VELLORAN_STR(x) VELLORAN_STR2(x)

struct TLibraryItem {
    int index;
    const char* name;
    bool system_library; // loaded by name through the system search, never from the folder
    int version;         // major version; -1 none
    const char* file_name;
    void (*resolve)(const std::string& file_name, void* handle);
    void (*clear)();
};

const TLibraryItem LibraryTable[LibraryCount] = {
    {liAVCodec, "avcodec", false, LIBAVCODEC_VERSION_MAJOR,
     "libavcodec.so." VELLORAN_STR(LIBAVCODEC_VERSION_MAJOR), ResolveAVCodec, ClearAVCodec},
    {liAVDevice, "avdevice", false, LIBAVDEVICE_VERSION_MAJOR,
     "libavdevice.so." VELLORAN_STR(LIBAVDEVICE_VERSION_MAJOR), ResolveAVDevice, ClearAVDevice},
    {liAVFilter, "avfilter", false, LIBAVFILTER_VERSION_MAJOR,
     "libavfilter.so." VELLORAN_STR(LIBAVFILTER_VERSION_MAJOR), ResolveAVFilter, ClearAVFilter},
    {liAVFormat, "avformat", false, LIBAVFORMAT_VERSION_MAJOR,
     "libavformat.so." VELLORAN_STR(LIBAVFORMAT_VERSION_MAJOR), ResolveAVFormat, ClearAVFormat},
    {liAVUtil, "avutil", false, LIBAVUTIL_VERSION_MAJOR,
     "libavutil.so." VELLORAN_STR(LIBAVUTIL_VERSION_MAJOR), ResolveAVUtil, ClearAVUtil},
    {liSwResample, "swresample", false, LIBSWRESAMPLE_VERSION_MAJOR,
     "libswresample.so." VELLORAN_STR(LIBSWRESAMPLE_VERSION_MAJOR), ResolveSwResample,
     ClearSwResample},
    {liSwScale, "swscale", false, LIBSWSCALE_VERSION_MAJOR,
     "libswscale.so." VELLORAN_STR(LIBSWSCALE_VERSION_MAJOR), ResolveSwScale, ClearSwScale},
    {liLibC, "libc", true, -1, "libc.so.6", ResolveLibC, ClearLibC},
};

std::string WithTrailingSlash(const std::string& folder) {
    if (folder.empty() || folder.back() == '/') return folder;
    return folder + "/";
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ExecutableFolder() {
    std::vector<char> buf(4096);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return {};
    std::string path(buf.data(), size_t(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string LastDlError() {
    const char* e = dlerror();
    return e ? e : "unknown error";
}

void Resolve(const char* kind, const std::string& file_name, void* handle, const char* name,
             bool optional, void** dest) {
    dlerror(); // clear a stale error so a missing name is told apart from a null value
    void* p = handle ? dlsym(handle, name) : nullptr;
    const char* err = handle ? dlerror() : "no module";
    *dest = err ? nullptr : p;
    if (err && !optional) throw Exception(Format(kind, name, file_name, std::string(err)));
}

} // namespace

void* LoadFromFolder(const std::string& folder, const std::string& file_name, std::string& error,
                     std::string* path_used) {
    // The dynamic loader ignores PATH; the library's own dependencies are matched by soname
    // against the libraries already loaded, or found by the system search (or the library's
    // own run path).
    std::string path = file_name;
    if (!folder.empty()) {
        std::string full = WithTrailingSlash(folder) + file_name;
        if (IsRegularFile(full)) path = full;
    }
    if (path_used) *path_used = path;
    // RTLD_NODELETE: dlclose drops our reference but the code stays mapped. The media libraries
    // and their dependencies keep process-wide state (network and TLS set-up, hardware and codec
    // registries, thread-local data) that is not made to be unmapped and mapped again while the
    // process runs; unmapping it would strand that state and anything still pointing into it.
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) error = LastDlError();
    return handle;
}

void ResolveFunction(const std::string& file_name, void* handle, const char* name, bool optional,
                     void** dest) {
    Resolve("Load function %s@%s error: %s", file_name, handle, name, optional, dest);
}

void ResolveVariable(const std::string& file_name, void* handle, const char* name, bool optional,
                     void** dest) {
    Resolve("Load variable %s@%s error: %s", file_name, handle, name, optional, dest);
}

// ---- TFFLoader ----

TFFLoader::TFFLoader() {
    std::string exe = ExecutableFolder();
    if (!exe.empty()) base_folder_ = exe + "/LibAV";
}

TFFLoader::~TFFLoader() {
    Unload(LibSetAll);
}

void TFFLoader::SetBaseFolder(const std::string& folder) {
    std::lock_guard guard(lock_);
    base_folder_ = folder;
}

std::string TFFLoader::BaseFolder() const {
    std::lock_guard guard(lock_);
    return base_folder_;
}

std::string TFFLoader::LastErrorMessage() const {
    std::lock_guard guard(lock_);
    return last_error_;
}

std::string TFFLoader::LibraryName(int index) {
    if (index < 0 || index >= LibraryCount) return {};
    return LibraryTable[index].name;
}

std::string TFFLoader::LibraryFileName(int index) const {
    if (index < 0 || index >= LibraryCount) return {};
    return LibraryTable[index].file_name;
}

bool TFFLoader::LoadLibrary(int index) {
    if (index < 0 || index >= LibraryCount) return false;
    std::lock_guard guard(lock_);
    return LoadLibrary_locked(index);
}

bool TFFLoader::LoadLibrary_locked(int index) {
    const TLibraryItem& row = LibraryTable[index];
    TLibraryStatus& st = status_[index];
    const std::string file = LibraryFileName(index);

    if (!st.handle) {
        std::string folder, name = file;
        if (auto slash = file.rfind('/'); slash != std::string::npos) {
            folder = file.substr(0, slash + 1);
            name = file.substr(slash + 1);
        }
        if (folder.empty() && !base_folder_.empty() && !row.system_library)
            folder = WithTrailingSlash(base_folder_);
        std::string error;
        st.handle = LoadFromFolder(folder, name, error);
        if (!st.handle) {
            last_error_ = Format("Load library %s error: %s", folder + name, error);
            return false;
        }
    }

    if (!st.entries_loaded) {
        try {
            row.resolve(file, st.handle);
            st.entries_loaded = true;
        } catch (const std::exception& e) {
            last_error_ = e.what();
        }
    }

    if (!st.entries_loaded) {
        // Some entries may be filled already: none may point into a module being closed.
        row.clear();
        dlclose(st.handle);
        st.handle = nullptr;
        return false;
    }

    AfterLoad_locked(index);
    return true;
}

void TFFLoader::AfterLoad_locked(int index) {
    switch (index) {
    case liAVFilter:
        register_filter_once(RotateFilterDef());
        break;
    case liAVUtil:
        if (InstallLogCallback) {
            InstallLibraryLog(ff::av_log_set_callback, ff::av_log_set_level);
            log_installed_ = true;
        }
        break;
    default:
        break;
    }
}

bool TFFLoader::Load(TLibrarySet set) {
    std::lock_guard guard(lock_);
    for (int i = 0; i < LibraryCount; ++i) {
        if (!set.Contains(i)) continue;
        if (!LoadLibrary_locked(i)) {
            for (int j = 0; j < LibraryCount; ++j)
                if (set.Contains(j)) UnloadLibrary_locked(j);
            return false;
        }
    }
    return true;
}

bool TFFLoader::IsLoaded(int index) const {
    if (index < 0 || index >= LibraryCount) return false;
    std::lock_guard guard(lock_);
    return status_[index].handle != nullptr && status_[index].entries_loaded;
}

bool TFFLoader::Loaded(TLibrarySet set) const {
    for (int i = 0; i < LibraryCount; ++i)
        if (set.Contains(i) && !IsLoaded(i)) return false;
    return true;
}

void TFFLoader::CheckLoaded(TLibrarySet set) const {
    for (int i = 0; i < LibraryCount; ++i)
        if (set.Contains(i) && !IsLoaded(i))
            throw Exception(Format("Library %s not loaded.", LibraryName(i)));
}

void TFFLoader::UnloadLibrary(int index) {
    if (index < 0 || index >= LibraryCount) return;
    std::lock_guard guard(lock_);
    UnloadLibrary_locked(index);
}

void TFFLoader::UnloadLibrary_locked(int index) {
    TLibraryStatus& st = status_[index];
    if (st.entries_loaded) {
        if (index == liAVFormat) ff::avformat_network_deinit(); // balances the init on load
        if (index == liAVUtil && log_installed_) {
            // The library must not call back into the logger once its entries are gone.
            ff::av_log_set_callback(ff::av_log_default_callback);
            UninstallLibraryLog();
            log_installed_ = false;
        }
        LibraryTable[index].clear();
        st.entries_loaded = false;
    }
    if (st.handle) {
        dlclose(st.handle);
        st.handle = nullptr;
    }
}

void TFFLoader::Unload(TLibrarySet set) {
    std::lock_guard guard(lock_);
    for (int i = 0; i < LibraryCount; ++i)
        if (set.Contains(i)) UnloadLibrary_locked(i);
}

TFFLoader& FFLoader() {
    static TFFLoader loader;
    return loader;
}

// ---- TSDLLoader ----

namespace {

// Full paths held by the SDL loaders; guarded by SDLCriticalSection(). Never destroyed, so a
// loader destroyed late at process end still finds it.
std::vector<std::string>& SDLPaths() {
    static auto* paths = new std::vector<std::string>;
    return *paths;
}

#define VELLORAN_SDL_RESOLVE(name) ResolveInto(file_name, handle, #name, entries.name);

void ResolveSDL(const std::string& file_name, void* handle, TSDLEntries& entries) {
    VELLORAN_SDL_ENTRIES(VELLORAN_SDL_RESOLVE)
}

} // namespace

TCriticalSection& SDLCriticalSection() {
    static auto* cs = new TCriticalSection;
    return *cs;
}

TSDLLoader::~TSDLLoader() {
    Unload();
}

bool TSDLLoader::Load(const std::string& folder, const std::string& file_name) {
    const std::string full = WithTrailingSlash(folder) + file_name;
    if (Loaded() && loaded_path_ == full) return true;

    std::lock_guard guard(SDLCriticalSection());
    auto& paths = SDLPaths();
    if (std::find(paths.begin(), paths.end(), full) != paths.end()) {
        last_error_ = Format("%s alreay loaded in another instance.", full);
        return false;
    }
    Unload_locked();

    std::string error;
    void* handle = LoadFromFolder(folder, file_name, error);
    if (!handle) {
        last_error_ = Format("Load library %s error: %s", full, error);
        return false;
    }
    TSDLEntries entries;
    try {
        ResolveSDL(file_name, handle, entries);
    } catch (const std::exception& e) {
        last_error_ = e.what();
        dlclose(handle);
        return false;
    }
    entries_ = entries;
    handle_ = handle;
    loaded_ = true;
    loaded_path_ = full;
    paths.push_back(full);
    return true;
}

void TSDLLoader::Unload() {
    std::lock_guard guard(SDLCriticalSection());
    Unload_locked();
}

void TSDLLoader::Unload_locked() {
    entries_ = TSDLEntries{};
    loaded_ = false;
    if (handle_) {
        dlclose(handle_);
        handle_ = nullptr;
    }
    auto& paths = SDLPaths();
    if (!loaded_path_.empty()) {
        auto it = std::find(paths.begin(), paths.end(), loaded_path_);
        if (it != paths.end()) paths.erase(it);
        loaded_path_.clear();
    }
}

// ---- TMutex ----

TWaitResult TMutex::WaitFor(uint32_t timeout_ms) {
    TWaitResult r = m_.WaitFor(timeout_ms);
    // The platform mutex reports no code of its own for a failed wait.
    if (r == wrError) last_error_ = EINVAL;
    return r;
}

void TMutex::Acquire() {
    if (WaitFor(INFINITE) == wrError) throw EOSError(SysErrorMessage(last_error_), last_error_);
}

void TMutex::Release() {
    if (!m_.Release()) {
        last_error_ = EPERM;
        throw EOSError(SysErrorMessage(EPERM), EPERM);
    }
}
