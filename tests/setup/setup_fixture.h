// Shared pieces of the input and output set-up tests: loaded libraries, a temporary folder,
// tiny clips made once per test program with the ffmpeg command-line tool, and the calls the
// encoder component makes (parse the option string, then open).
#pragma once

#include "src/FFLoad.h"
#include "src/FFUtils.h"
#include "src/FFmpeg.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace setup_test {

inline ::testing::AssertionResult LoadLibraries() {
    if (FFLoader().Load(LibSetAll)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << FFLoader().LastErrorMessage();
}

// Removed with its contents when the test program ends.
inline const std::filesystem::path& TempDir() {
    static const std::filesystem::path dir = [] {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "velloran-setup-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        return std::filesystem::path(tmpl);
    }();
    static const struct TRemove {
        ~TRemove() {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } remove;
    return dir;
}

inline std::string TempPath(const std::string& name) {
    return (TempDir() / name).string();
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Makes TempDir()/name once with `args`, in which "{out}" stands for the quoted path. An
// empty result means the tool failed.
inline std::string Clip(const std::string& name, std::string args) {
    static std::map<std::string, std::string> made;
    if (auto it = made.find(name); it != made.end()) return it->second;
    const std::string path = TempPath(name);
    const size_t at = args.find("{out}");
    if (at != std::string::npos) args.replace(at, 5, "\"" + path + "\"");
    const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y " + args;
    const bool ok = std::system(cmd.c_str()) == 0 && FileExists(path);
    return made[name] = ok ? path : std::string();
}

// 1 s: stream 0 video 64x48 mpeg4, stream 1 audio stereo 44.1 kHz; global title "source",
// audio language "ger".
inline std::string AVClip() {
    return Clip("av.mkv", "-f lavfi -i testsrc=size=64x48:rate=10:d=1 "
                          "-f lavfi -i sine=d=1:sample_rate=44100 -ac 2 -c:v mpeg4 -c:a pcm_s16le "
                          "-metadata title=source -metadata:s:a language=ger {out}");
}

// 12 s of intra-only video in a transport stream, which starts at 1.4 s.
inline std::string LongClip() {
    return Clip("long.ts", "-f lavfi -i testsrc=size=32x24:rate=5:d=12 -c:v mpeg4 -g 1 {out}");
}

// Matroska written to a pipe carries no duration.
inline std::string UnknownDurationClip() {
    return Clip("piped.mkv", "-f lavfi -i testsrc=size=32x24:rate=5:d=1 -c:v mpeg4 "
                             "-f matroska - > {out}");
}

// Two video streams of the given sizes ("WxH").
inline std::string TwoVideoClip(const std::string& a, const std::string& b) {
    return Clip("two_" + a + "_" + b + ".mkv", "-f lavfi -i testsrc=size=" + a +
                                                   ":rate=5:d=0.2 -f lavfi -i testsrc=size=" + b +
                                                   ":rate=5:d=0.2 -map 0 -map 1 -c:v mpeg4 {out}");
}

inline constexpr const char* kAttachmentText = "attached note\n";

// Video and one attachment (stream 1) holding kAttachmentText, named "note.txt".
inline std::string AttachmentClip() {
    const std::string note = TempPath("note.txt");
    WriteFile(note, kAttachmentText);
    return Clip("attach.mkv", "-f lavfi -i testsrc=size=32x24:rate=5:d=0.2 -attach \"" + note +
                                  "\" -metadata:s:t mimetype=text/plain -c:v mpeg4 {out}");
}

// 3 s of video with chapters "a" [0, 1 s), "b" [1 s, 2 s), "c" [2 s, 3 s).
inline std::string ChaptersClip() {
    const std::string meta = TempPath("chapters.txt");
    std::string text = ";FFMETADATA1\n";
    for (int i = 0; i < 3; ++i)
        text += "[CHAPTER]\nTIMEBASE=1/1000\nSTART=" + std::to_string(i * 1000) +
                "\nEND=" + std::to_string(i * 1000 + 1000) + "\ntitle=" + char('a' + i) + "\n";
    WriteFile(meta, text);
    return Clip("chapters.mkv", "-f lavfi -i testsrc=size=32x24:rate=5:d=3 -i \"" + meta +
                                    "\" -map 0 -map_metadata 1 -map_chapters 1 -c:v mpeg4 {out}");
}

// As the encoder component does: the option string, then the open with the collected options.
inline int OpenInput(TCustomFFmpeg& e, const std::string& options, const std::string& path) {
    e.ParseOptions(options);
    return e.open_input_file(e.OptionsContext, path);
}

inline int OpenOutput(TCustomFFmpeg& e, const std::string& options, const std::string& path) {
    e.ParseOptions(options);
    return e.open_output_file(e.OptionsContext, path, false);
}

// Metadata value or "" when absent.
inline std::string Tag(const AVDictionary* d, const char* key) {
    const AVDictionaryEntry* t = ff::av_dict_get(d, key, nullptr, AV_DICT_MATCH_CASE);
    return t ? t->value : "";
}

inline bool HasTag(const AVDictionary* d, const char* key) {
    return ff::av_dict_get(d, key, nullptr, AV_DICT_MATCH_CASE) != nullptr;
}

}  // namespace setup_test
