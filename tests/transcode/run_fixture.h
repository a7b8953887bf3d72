// Shared pieces of the whole-conversion tests: clips made at test time, ffprobe queries and a
// fixture that sets a task up the way the encoder component does and runs it on this thread.
#pragma once

#include "engine/engine_fixture.h"
#include "src/FFUtils.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>

namespace run_test {

using engine_test::RunFFmpeg;
using engine_test::TempDir;
using engine_test::TLogCapture;


inline std::string TempPath(const std::string& name) {
    return (TempDir() / name).string();
}

// Made once per program; "" when the tool failed.
inline std::string Clip(const std::string& name, const std::string& args) {
    static std::map<std::string, std::string> made;
    if (auto it = made.find(name); it != made.end()) return it->second;
    const std::string path = TempPath(name);
    return made[name] = RunFFmpeg(args + " \"" + path + "\"") ? path : std::string();
}

// 2 s of 320x240 at 25 fps with stereo 44.1 kHz sound.
inline std::string AVClip() {
    return Clip("av2s.mkv", "-f lavfi -i testsrc=size=320x240:rate=25:d=2 -f lavfi -i "
                            "sine=d=2:sample_rate=44100 -ac 2 -c:v mpeg4 -q:v 3 -c:a pcm_s16le");
}

// 8 s, small, with sound.
inline std::string LongClip() {
    return Clip("av8s.mkv", "-f lavfi -i testsrc=size=64x48:rate=25:d=8 -f lavfi -i "
                            "sine=d=8:sample_rate=22050 -c:v mpeg4 -c:a pcm_s16le");
}

// Standard output of a shell command.
inline std::string Capture(const std::string& cmd) {
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0)
            out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

// One ffprobe value of a stream ("v:0", "a:0") or of the format ("" stream).
inline std::string Probe(const std::string& path, const std::string& stream, const std::string& entry) {
    const std::string sel = stream.empty() ? "-show_entries format=" + entry
                                           : "-select_streams " + stream + " -show_entries stream=" + entry;
    std::string out = Capture("ffprobe -v error " + sel + " -of default=nw=1:nk=1 \"" + path + "\"");
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// Pictures of the first video stream, counted by decoding.
inline int DecodedFrames(const std::string& path) {
    const std::string out = Probe(path, "v:0", "nb_read_frames -count_frames");
    return out.empty() ? -1 : std::atoi(out.c_str());
}

inline double Duration(const std::string& path, const std::string& stream) {
    const std::string out = stream.empty() ? Probe(path, "", "duration")
                                           : Probe(path, stream, "duration");
    return out.empty() || out == "N/A" ? -1 : std::atof(out.c_str());
}

class TranscodeRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine_test::LoadLibraries());
        e = std::make_unique<TCustomFFmpeg>();
    }
    // As the encoder component does: options, input; options, output (for each output).
    ::testing::AssertionResult Open(const std::string& in_options, const std::string& in,
                                    const std::vector<std::pair<std::string, std::string>>& outs) {
        if (in.empty()) return ::testing::AssertionFailure() << "fixture clip missing";
        try {
            e->ParseOptions(in_options);
            if (e->open_input_file(e->OptionsContext, in) < 0)
                return ::testing::AssertionFailure() << "input: " << e->LastError;
            for (const auto& [options, out] : outs) {
                e->ParseOptions(options);
                if (e->open_output_file(e->OptionsContext, out, false) < 0)
                    return ::testing::AssertionFailure() << "output: " << e->LastError;
            }
        } catch (const std::exception& ex) {
            return ::testing::AssertionFailure() << ex.what();
        }
        return ::testing::AssertionSuccess();
    }
    // Runs the task on this thread; the task's error text, "" on success.
    std::string Run() {
        e->start(false);
        return e->ExceptionRaised ? e->ExceptionMsg : std::string();
    }
    std::unique_ptr<TCustomFFmpeg> e;
};

}  // namespace run_test
