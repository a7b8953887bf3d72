#include "src/FFLoad.h"
#include "src/FFLog.h"
#include "src/FilterRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A fresh temporary folder, removed at the end of the test.
class TTempFolder {
  public:
    TTempFolder() {
        std::string tmpl = (fs::temp_directory_path() / "velloran-loader-XXXXXX").string();
        path_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
    }
    ~TTempFolder() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// Every test starts and ends with nothing loaded and the system search only.
class LoaderTest : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        FFLoader().Unload(LibSetAll);
        FFLoader().SetBaseFolder("");
    }
    static void ExpectNothingLoaded() {
        for (int i = 0; i < LibraryCount; ++i)
            EXPECT_FALSE(FFLoader().IsLoaded(i)) << TFFLoader::LibraryName(i);
        EXPECT_EQ(ff::avcodec_open2, nullptr);
        EXPECT_EQ(ff::av_log, nullptr);
        EXPECT_EQ(ff::sws_getContext, nullptr);
        EXPECT_EQ(ff::fopen, nullptr);
    }
};

TEST_F(LoaderTest, FileNamesFollowTheHeaderMajorVersions) {
    const char* expected[LibraryCount] = {
        "libavcodec.so.59", "libavdevice.so.59",  "libavfilter.so.8", "libavformat.so.59",
        "libavutil.so.57",  "libswresample.so.4", "libswscale.so.6",  "libc.so.6"};
    for (int i = 0; i < LibraryCount; ++i)
        EXPECT_EQ(FFLoader().LibraryFileName(i), expected[i]) << "row " << i;
}

TEST_F(LoaderTest, LoadsAllFromTheSystemWhenTheFolderLacksThem) {
    FFLoader().SetBaseFolder("/nonexistent/velloran/LibAV");
    ASSERT_TRUE(FFLoader().Load(LibSetAll)) << FFLoader().LastErrorMessage();
    EXPECT_TRUE(FFLoader().Loaded(LibSetAll));
    // Real calls through the tables.
    EXPECT_EQ(int(ff::avutil_version() >> 16), LIBAVUTIL_VERSION_MAJOR);
    EXPECT_EQ(int(ff::avcodec_version() >> 16), LIBAVCODEC_VERSION_MAJOR);
    EXPECT_STREQ(ff::av_get_pix_fmt_name(AV_PIX_FMT_BGR24), "bgr24");
    EXPECT_NE(ff::avcodec_find_decoder(AV_CODEC_ID_MPEG4), nullptr);
    EXPECT_EQ(ff::strtol("42", nullptr, 10), 42);
    // After avfilter: the program's "rotate" definition, registered once.
    auto names = ProgramFilterNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "rotate"), 1);

    FFLoader().Unload(LibSetAll);
    ExpectNothingLoaded();
}

TEST_F(LoaderTest, LibraryLackingAFunctionFailsAndLeavesNothingLoaded) {
    FFLoader().SetBaseFolder(VELLORAN_FAKE_LIBAV_DIR);
    EXPECT_FALSE(FFLoader().Load(LibSetAll));
    const std::string msg = FFLoader().LastErrorMessage();
    EXPECT_EQ(msg.rfind("Load function sws_scale@libswscale.so.6 error: ", 0), 0u) << msg;
    // The system text names the stand-in that was opened from the folder.
    EXPECT_NE(msg.find(std::string(VELLORAN_FAKE_LIBAV_DIR) + "/libswscale.so.6"),
              std::string::npos)
        << msg;
    ExpectNothingLoaded();
    EXPECT_EQ(ff::sws_freeContext, nullptr); // filled before the missing one, cleared again

    // A later load with a corrected folder starts clean.
    FFLoader().SetBaseFolder("");
    EXPECT_TRUE(FFLoader().Load(LibSetAll)) << FFLoader().LastErrorMessage();
}

TEST_F(LoaderTest, FileThatIsNotALibraryFailsWithItsFullPath) {
    TTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::string bogus = folder.Path() + "/libswresample.so.4";
    std::ofstream(bogus) << "not a shared object\n";

    FFLoader().SetBaseFolder(folder.Path());
    EXPECT_FALSE(FFLoader().Load(LibSetAll));
    const std::string msg = FFLoader().LastErrorMessage();
    EXPECT_EQ(msg.rfind("Load library " + bogus + " error: ", 0), 0u) << msg;
    EXPECT_GT(msg.size(), ("Load library " + bogus + " error: ").size()) << "no system text";
    ExpectNothingLoaded();
}

TEST_F(LoaderTest, SecondLoadOpensNothingAndRepeatsThePostLoadActions) {
    TFFLogger logger;
    logger.TriggerEventInMainThread = false;
    std::vector<std::string> lines;
    logger.OnLog = [&](TObject*, uint32_t, TLogLevel, const std::string& msg) {
        lines.push_back(msg);
    };
    ASSERT_TRUE(FFLoader().Load(LibSetAll)) << FFLoader().LastErrorMessage();
    auto* const av_log_before = ff::av_log;

    // Take the callback away, and point the folder at a broken library: a second load that
    // opened anything would fail on it.
    ff::av_log_set_callback(ff::av_log_default_callback);
    TTempFolder folder;
    std::ofstream(folder.Path() + "/libavutil.so.57") << "broken\n";
    FFLoader().SetBaseFolder(folder.Path());

    ASSERT_TRUE(FFLoader().Load(LibSetAll)) << FFLoader().LastErrorMessage();
    EXPECT_EQ(ff::av_log, av_log_before);
    ff::av_log(nullptr, AV_LOG_ERROR, "after reload\n");
    EXPECT_EQ(lines, std::vector<std::string>{"after reload"}); // callback installed again
    auto names = ProgramFilterNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "rotate"), 1);
}

TEST_F(LoaderTest, LibraryMessagesReachTheLoggerWithPrefixAndLevel) {
    TFFLogger logger;
    logger.TriggerEventInMainThread = false;
    logger.SetLogLevel(llDebug);
    struct TLine {
        TLogLevel level;
        std::string msg;
    };
    std::vector<TLine> lines;
    logger.OnLog = [&](TObject* Sender, uint32_t, TLogLevel level, const std::string& msg) {
        EXPECT_EQ(Sender, &logger);
        lines.push_back({level, msg});
    };
    ASSERT_TRUE(FFLoader().Load({liAVUtil, liAVCodec})) << FFLoader().LastErrorMessage();
    AVCodecContext* ctx = ff::avcodec_alloc_context3(ff::avcodec_find_decoder(AV_CODEC_ID_MPEG4));
    ASSERT_NE(ctx, nullptr);
    ff::av_log(ctx, AV_LOG_WARNING, "warned %d\n", 7);
    ff::av_log(ctx, 20, "error level %s\n", "twenty");
    ff::av_log(ctx, 56, "very verbose\n"); // above the library level set from llDebug
    const std::string prefix = Format("[mpeg4 @ %p]", static_cast<const void*>(ctx));
    ff::avcodec_free_context(&ctx);

    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, llWarning);
    EXPECT_EQ(lines[0].msg, prefix + "warned 7");
    EXPECT_EQ(lines[1].level, llError);
    EXPECT_EQ(lines[1].msg, prefix + "error level twenty");
}

TEST_F(LoaderTest, CheckLoadedNamesTheFirstMissingLibrary) {
    try {
        FFLoader().CheckLoaded(LibSetAll);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Library avcodec not loaded.");
    }
    ASSERT_TRUE(FFLoader().Load(LibSetNoDeviceFilter)) << FFLoader().LastErrorMessage();
    EXPECT_NO_THROW(FFLoader().CheckLoaded(LibSetNoDeviceFilter));
    EXPECT_FALSE(FFLoader().Loaded(LibSetAll));
    try {
        FFLoader().CheckLoaded(LibSetAll);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Library avdevice not loaded.");
    }
}

TEST(Resolve, MissingNamesRaiseTheFunctionOrVariableText) {
    void* libc = dlopen("libc.so.6", RTLD_NOW);
    ASSERT_NE(libc, nullptr);
    struct TRow {
        bool variable;
        const char* name;
        const char* expected_prefix; // null: resolves
    } rows[] = {
        {false, "strlen", nullptr},
        {true, "environ", nullptr},
        {false, "velloran_no_such_function",
         "Load function velloran_no_such_function@libc.so.6 error: "},
        {true, "velloran_no_such_data", "Load variable velloran_no_such_data@libc.so.6 error: "},
    };
    for (const TRow& r : rows) {
        void* dest = reinterpret_cast<void*>(1);
        try {
            if (r.variable)
                ResolveVariable("libc.so.6", libc, r.name, false, &dest);
            else
                ResolveFunction("libc.so.6", libc, r.name, false, &dest);
            EXPECT_EQ(r.expected_prefix, nullptr) << r.name << ": resolved";
            EXPECT_NE(dest, nullptr) << r.name;
        } catch (const Exception& e) {
            ASSERT_NE(r.expected_prefix, nullptr) << r.name << ": " << e.Message();
            EXPECT_EQ(e.Message().rfind(r.expected_prefix, 0), 0u) << e.Message();
            EXPECT_NE(e.Message().find(r.name, strlen(r.expected_prefix)), std::string::npos)
                << "system text: " << e.Message();
            EXPECT_EQ(dest, nullptr) << r.name;
        }
    }
    // Optional: no exception, the destination is cleared.
    void* dest = reinterpret_cast<void*>(1);
    EXPECT_NO_THROW(ResolveFunction("libc.so.6", libc, "velloran_no_such_function", true, &dest));
    EXPECT_EQ(dest, nullptr);
    dlclose(libc);
}

TEST(SDLLoader, OnePathPerLoaderAtATime) {
    const std::string folder = "/nonexistent/velloran/LibAV"; // falls back to the system
    const std::string full = folder + "/" + SDLLibraryFileName;
    TSDLLoader first, second;
    ASSERT_TRUE(first.Load(folder)) << first.LastErrorMessage();
    EXPECT_TRUE(first.Loaded());
    EXPECT_EQ(first.LoadedPath(), full);
    // A real call through this loader's entries.
    ASSERT_NE(first.sdl().SDL_setenv, nullptr);
    first.sdl().SDL_setenv("VELLORAN_SDL_PROBE", "set by SDL", 1);
    EXPECT_STREQ(std::getenv("VELLORAN_SDL_PROBE"), "set by SDL");

    EXPECT_FALSE(second.Load(folder));
    EXPECT_EQ(second.LastErrorMessage(), full + " alreay loaded in another instance.");
    EXPECT_FALSE(second.Loaded());
    EXPECT_EQ(second.sdl().SDL_Init, nullptr);

    EXPECT_TRUE(first.Load(folder)); // the same loader again: at once
    EXPECT_TRUE(first.Loaded());

    first.Unload();
    EXPECT_FALSE(first.Loaded());
    EXPECT_EQ(first.sdl().SDL_setenv, nullptr);
    EXPECT_TRUE(second.Load(folder)) << second.LastErrorMessage();
}

TEST(SDLLoader, MissingLibraryFailsWithTheFullPath) {
    TSDLLoader loader;
    EXPECT_FALSE(loader.Load("/nonexistent/velloran", "libvelloran-no-such-sdl.so.0"));
    const std::string msg = loader.LastErrorMessage();
    EXPECT_EQ(
        msg.rfind("Load library /nonexistent/velloran/libvelloran-no-such-sdl.so.0 error: ", 0), 0u)
        << msg;
    EXPECT_FALSE(loader.Loaded());
}

TEST(Mutex, WaitResultsAndReleaseRules) {
    TMutex m;
    EXPECT_EQ(m.WaitFor(0), wrSignaled);
    m.Acquire(); // re-entrant for its owner
    TWaitResult other = wrSignaled;
    bool other_release_raised = false;
    std::thread t([&] {
        other = m.WaitFor(50);
        try {
            m.Release();
        } catch (const EOSError& e) {
            other_release_raised = e.ErrorCode == EPERM;
        }
    });
    t.join();
    EXPECT_EQ(other, wrTimeout);
    EXPECT_TRUE(other_release_raised);
    m.Release();
    m.Release();
    EXPECT_THROW(m.Release(), EOSError); // no longer held
    std::thread t2([&] {
        other = m.WaitFor(INFINITE);
        m.Release();
    });
    t2.join();
    EXPECT_EQ(other, wrSignaled);
}

} // namespace
