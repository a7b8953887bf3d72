// Shared pieces of the engine tests: loaded libraries, a log capture, tiny clips made with the
// ffmpeg command-line tool, and inputs opened straight through the library.
#pragma once

#include "src/FFLoad.h"
#include "src/FFLog.h"
#include "src/FFmpeg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace engine_test {

// Loads every media library once (they stay loaded, as in the program).
inline ::testing::AssertionResult LoadLibraries() {
    if (FFLoader().Load(LibSetAll)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << FFLoader().LastErrorMessage();
}

// A logger that keeps every message; delivered on the logging thread.
class TLogCapture {
public:
    TLogCapture() {
        logger_.TriggerEventInMainThread = false;
        logger_.OnLog = [this](TObject*, uint32_t, TLogLevel level, const std::string& msg) {
            std::lock_guard lock(m_);
            lines_.push_back({level, msg});
        };
    }
    ~TLogCapture() {
        logger_.OnLog = nullptr;
        logger_.SetLogLevel(llInfo);
    }
    bool Contains(const std::string& text, TLogLevel level) const {
        std::lock_guard lock(m_);
        for (const auto& l : lines_)
            if (l.level == level && l.text == text) return true;
        return false;
    }
    bool ContainsText(const std::string& text) const {
        std::lock_guard lock(m_);
        for (const auto& l : lines_)
            if (l.text.find(text) != std::string::npos) return true;
        return false;
    }
    // Every line, for failure messages.
    std::string All() const {
        std::lock_guard lock(m_);
        std::string all;
        for (const auto& l : lines_)
            all += l.text + "\n";
        return all;
    }
    // Lines whose whole text is `text`, at any level.
    int Count(const std::string& text) const {
        std::lock_guard lock(m_);
        int n = 0;
        for (const auto& l : lines_)
            n += l.text == text;
        return n;
    }
    void Clear() {
        std::lock_guard lock(m_);
        lines_.clear();
    }

private:
    struct TLine {
        TLogLevel level;
        std::string text;
    };
    TFFLogger logger_;
    mutable std::mutex m_;  // guards lines_
    std::vector<TLine> lines_;
};

// A temporary folder removed with its contents at the end of the test program.
inline const std::filesystem::path& TempDir() {
    static const std::filesystem::path dir = [] {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "velloran-engine-XXXXXX").string();
        const char* made = ::mkdtemp(tmpl.data());
        if (!made) throw std::runtime_error("mkdtemp failed");
        return std::filesystem::path(made);
    }();
    static const struct TRemove {
        ~TRemove() {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } remove;
    return dir;
}

// Runs the ffmpeg tool quietly; true on success.
inline bool RunFFmpeg(const std::string& args) {
    const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y " + args;
    return std::system(cmd.c_str()) == 0;
}

// A clip with streams: 0 video 64x48, 1 video 32x24, 2 audio stereo, 3 video 16x16, all 25 fps.
inline std::string MultiStreamClip() {
    static const std::string path = [] {
        const std::string p = (TempDir() / "multi.mkv").string();
        const bool ok = RunFFmpeg("-f lavfi -i testsrc=size=64x48:rate=25:d=0.2 "
                                  "-f lavfi -i testsrc=size=32x24:rate=25:d=0.2 "
                                  "-f lavfi -i sine=d=0.2 "
                                  "-f lavfi -i testsrc=size=16x16:rate=25:d=0.2 "
                                  "-map 0 -map 1 -map 2 -map 3 -ac 2 -c:v mpeg4 -c:a pcm_s16le \"" +
                                  p + "\"");
        return ok ? p : std::string();
    }();
    return path;
}

// Opens `path` and appends it (with its streams) to the engine's inputs, as the input set-up
// does, without any option handling.
inline ::testing::AssertionResult AddInput(TCustomFFmpeg& e, const std::string& path) {
    AVFormatContext* ctx = nullptr;
    if (int r = ff::avformat_open_input(&ctx, path.c_str(), nullptr, nullptr); r < 0)
        return ::testing::AssertionFailure() << "open " << path << ": " << r;
    auto file = std::make_unique<TInputFile>();
    file->Context.reset(ctx);
    if (int r = ff::avformat_find_stream_info(ctx, nullptr); r < 0)
        return ::testing::AssertionFailure() << "probe " << path << ": " << r;
    file->FirstStreamIndex = int(e.InputStreams.size());
    file->StreamCount = int(ctx->nb_streams);
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        auto st = std::make_unique<TInputStream>();
        st->FileIndex = int(e.InputFiles.size());
        st->Stream = ctx->streams[i];
        e.InputStreams.push_back(std::move(st));
    }
    e.InputFiles.push_back(std::move(file));
    return ::testing::AssertionSuccess();
}

}  // namespace engine_test
