// Shared pieces of the encoder tests: loaded libraries, tiny clips, main-thread waits and
// decoding outputs to raw RGB with the ffmpeg tool.
#pragma once

#include "engine/engine_fixture.h"
#include "platform/MainThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace encoder_test {

using engine_test::RunFFmpeg;
using engine_test::TempDir;

inline std::string TempPath(const std::string& name) {
    return (TempDir() / name).string();
}

// A 160x120 mpeg4 clip of testsrc, 25 fps, `seconds` long; made once per name.
inline std::string Clip(const std::string& name = "clip.mkv", double seconds = 1.0) {
    static std::map<std::string, std::string> made;
    if (auto it = made.find(name); it != made.end()) return it->second;
    const std::string path = TempPath(name);
    const bool ok =
        RunFFmpeg("-f lavfi -i testsrc=size=160x120:rate=25:d=" + std::to_string(seconds) +
                  " -c:v mpeg4 -q:v 2 \"" + path + "\"");
    return made[name] = ok ? path : std::string();
}

// Keeps running main-thread calls until `done` or the (generous) time limit.
template <class P> bool WaitMainThread(P done, int timeout_ms = 120000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        CheckSynchronize(10);
    }
    return true;
}

// The first video frame of `path` as rgb24 (width * height * 3 bytes); empty on failure.
inline std::vector<uint8_t> FirstFrameRGB(const std::string& path, int width, int height) {
    const std::string raw = path + ".rgb";
    if (!RunFFmpeg("-i \"" + path + "\" -frames:v 1 -s " + std::to_string(width) + "x" +
                   std::to_string(height) + " -f rawvideo -pix_fmt rgb24 \"" + raw + "\""))
        return {};
    std::ifstream f(raw, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)),
                              std::istreambuf_iterator<char>());
    std::remove(raw.c_str());
    if (data.size() != size_t(width) * size_t(height) * 3) return {};
    return data;
}

// Mean absolute difference of a rectangle's pixels from an RGB colour.
inline double MeanDistance(const std::vector<uint8_t>& rgb, int width, int x0, int y0, int x1,
                           int y1, int r, int g, int b) {
    double sum = 0;
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
            sum += std::abs(p[0] - r) + std::abs(p[1] - g) + std::abs(p[2] - b);
            ++n;
        }
    return n ? sum / (3.0 * n) : 1e9;
}

}  // namespace encoder_test
