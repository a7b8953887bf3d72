// The option strings the front end builds for its 16 output formats (in this library build
// the 3GP row uses "h263" and, without an AMR-NB encoder, the AAC encoder "aac").
#include "engine_fixture.h"

using namespace engine_test;

namespace {

struct TFormatRow {
    const char* format;
    const char* options;  // as built, before the source bit rates
    const char* container;
    const char* audio_codec;
    const char* video_codec;
    const char* size;
    const char* frame_rate;
    int sample_rate;            // 0: not given
    int channels;               // 0: not given
    bool aac;                   // "-astrict experimental" follows "-c:a aac"
    const char* audio_bitrate;  // "-b:a" of the row, "" when none
};

const TFormatRow kRows[] = {
    {"3GP", " -b:a 12.2k -ac 1 -ar 8000 -c:a aac -astrict experimental -c:v h263  -s 128x96", "",
     "aac", "h263", "128x96", "", 8000, 1, true, "12.2k"},
    {"AVI", "  -s 640x480", "", "", "", "640x480", "", 0, 0, false, ""},
    {"FLV", " -ar 44100  -s 640x480", "", "", "", "640x480", "", 44100, 0, false, ""},
    {"iPod", " -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4  -s 320x240", "", "aac",
     "mpeg4", "320x240", "15000/1001", 0, 0, true, ""},
    {"MKV", " -c:v libx264  -s 1280x720", "", "", "libx264", "1280x720", "", 0, 0, false, ""},
    {"MOV", "  -s 352x288", "", "", "", "352x288", "", 0, 0, false, ""},
    {"MP4", "", "", "", "", "", "", 0, 0, false, ""},
    {"OGG", " -c:a libvorbis -c:v libtheora  -s 640x480", "", "libvorbis", "libtheora", "640x480",
     "", 0, 0, false, ""},
    {"PSP", " -f psp -ar 24000 -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4  -s 320x240",
     "psp", "aac", "mpeg4", "320x240", "15000/1001", 24000, 0, true, ""},
    {"RM10", " -c:v rv10  -s 176x144", "", "", "rv10", "176x144", "", 0, 0, false, ""},
    {"RM20", " -c:v rv20  -s 176x144", "", "", "rv20", "176x144", "", 0, 0, false, ""},
    {"SWF", " -ar 44100  -s 320x240", "", "", "", "320x240", "", 44100, 0, false, ""},
    {"WMV", " -c:a wmav2 -c:v wmv2  -s 640x480", "", "wmav2", "wmv2", "640x480", "", 0, 0, false,
     ""},
    {"WebM", " -f webm -c:a libvorbis -c:v libvpx  -s 640x480", "webm", "libvorbis", "libvpx",
     "640x480", "", 0, 0, false, ""},
    {"M1V", "  -s 352x240", "", "", "", "352x240", "", 0, 0, false, ""},
    {"M2V", "  -s 720x576", "", "", "", "720x576", "", 0, 0, false, ""},
};

template <class T> std::vector<std::pair<std::string, T>> Pairs(const TSpecifierList<T>& l) {
    std::vector<std::pair<std::string, T>> v;
    for (const auto& p : l)
        v.emplace_back(p.Specifier, p.Value);
    return v;
}

std::string Opt(const TDictionary& d, const char* key) {
    const char* v = d.value(key);
    return v ? v : "";
}

TEST(FrontEndOptions, EveryFormatStringParsesAndStoresItsValues) {
    ASSERT_TRUE(LoadLibraries());
    using TStr = std::vector<std::pair<std::string, std::string>>;
    using TInt = std::vector<std::pair<std::string, int>>;
    for (const TFormatRow& r : kRows) {
        for (const bool with_rates : {false, true}) {
            const std::string options =
                std::string(r.options) + (with_rates ? "  -ab 128000  -vb 1000000" : "");
            SCOPED_TRACE(std::string(r.format) + ": \"" + options + "\"");
            TCustomFFmpeg e;
            ASSERT_NO_THROW(e.ParseOptions(options)) << e.LastError;
            const TOptionsContext& o = e.OptionsContext;

            EXPECT_EQ(o.Format, r.container);
            TStr codecs;
            if (*r.audio_codec) codecs.emplace_back("a", r.audio_codec);
            if (*r.video_codec) codecs.emplace_back("v", r.video_codec);
            EXPECT_EQ(Pairs(o.CodecNames), codecs);
            const TStr sizes = *r.size ? TStr{{"", r.size}} : TStr{};
            const TStr rates = *r.frame_rate ? TStr{{"", r.frame_rate}} : TStr{};
            const TInt sample_rates = r.sample_rate ? TInt{{"", r.sample_rate}} : TInt{};
            const TInt channels = r.channels ? TInt{{"", r.channels}} : TInt{};
            EXPECT_EQ(Pairs(o.FrameSizes), sizes);
            EXPECT_EQ(Pairs(o.FrameRates), rates);
            EXPECT_EQ(Pairs(o.AudioSampleRate), sample_rates);
            EXPECT_EQ(Pairs(o.AudioChannels), channels);

            // Library options are kept under their full names for the encoders to filter.
            int expected_codec_opts = 0;
            EXPECT_EQ(Opt(e.CodecOpts, "astrict"), r.aac ? "experimental" : "");
            expected_codec_opts += r.aac;
            EXPECT_EQ(Opt(e.CodecOpts, "b:a"), r.audio_bitrate);
            expected_codec_opts += *r.audio_bitrate != 0;
            EXPECT_EQ(Opt(e.CodecOpts, "ab"), with_rates ? "128000" : "");
            EXPECT_EQ(Opt(e.CodecOpts, "vb"), with_rates ? "1000000" : "");
            expected_codec_opts += with_rates ? 2 : 0;
            EXPECT_EQ(e.CodecOpts.count(), expected_codec_opts);
            EXPECT_EQ(e.FormatOpts.count(), 0);
        }
    }
}

}  // namespace
