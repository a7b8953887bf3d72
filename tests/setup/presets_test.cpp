// The output option strings of the 16 format presets (as the front end builds them with the
// AAC encoder name "aac" and no source bit rates) open their outputs on a clip with video and
// audio, with the encoders this library build has.
#include "setup_fixture.h"

#include <vector>

using namespace setup_test;

namespace {

struct TPresetRow {
    const char* format;
    const char* suffix;
    const char* options;
    const char* video_encoder;
    const char* audio_encoder;  // null: the container takes no audio
};

// 3GP is the mended row: "h263" instead of "h263p", and "aac" because this build has no
// AMR-NB encoder (see PresetThatNeedsAnAmrNbEncoder below).
const TPresetRow kPresets[] = {
    {"3GP", ".3gp",
     " -b:a 12.2k -ac 1 -ar 8000 -c:a aac -astrict experimental -c:v h263  -s 128x96", "h263",
     "aac"},
    {"AVI", ".avi", "", "mpeg4", "libmp3lame"},
    {"FLV", ".flv", " -ar 44100", "flv", "libmp3lame"},
    {"iPod", "_ipod.mp4", " -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4  -s 320x240",
     "mpeg4", "aac"},
    {"MKV", ".mkv", " -c:v libx264", "libx264", "libvorbis"},
    {"MOV", ".mov", "", "libx264", "aac"},
    {"MP4", ".mp4", "", "libx264", "aac"},
    {"OGG", ".ogg", " -c:a libvorbis -c:v libtheora", "libtheora", "libvorbis"},
    {"PSP", "_psp.mp4",
     " -f psp -ar 24000 -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4  -s 320x240",
     "mpeg4", "aac"},
    {"RM10", "_rv10.rm", " -c:v rv10", "rv10", "ac3"},
    {"RM20", "_rv20.rm", " -c:v rv20", "rv20", "ac3"},
    {"SWF", ".swf", " -ar 44100", "flv", "libmp3lame"},
    {"WMV", ".wmv", " -c:a wmav2 -c:v wmv2", "wmv2", "wmav2"},
    {"WebM", ".webm", " -f webm -c:a libvorbis -c:v libvpx", "libvpx", "libvorbis"},
    {"M1V", ".m1v", "", "mpeg1video", nullptr},
    {"M2V", ".m2v", "", "mpeg2video", nullptr},
};

class PresetsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(LoadLibraries());
        clip_ = AVClip();
        ASSERT_FALSE(clip_.empty());
    }
    std::string clip_;
};

TEST_F(PresetsTest, EveryFormatOpensItsOutputWithEncodersTheContainerTakes) {
    for (const TPresetRow& r : kPresets) {
        SCOPED_TRACE(r.format);
        TCustomFFmpeg e;
        ASSERT_EQ(OpenInput(e, "", clip_), 0) << e.LastError;
        const std::string out = TempPath(std::string("clip_(new)") + r.suffix);
        ASSERT_EQ(OpenOutput(e, r.options, out), 0) << e.LastError;
        EXPECT_TRUE(FileExists(out));

        AVFormatContext* oc = e.OutputFiles[0]->Context.get();
        ASSERT_EQ(e.OutputStreams.size(), r.audio_encoder ? 2u : 1u);
        const char* expected[] = {r.video_encoder, r.audio_encoder};
        const AVMediaType types[] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO};
        for (size_t i = 0; i < e.OutputStreams.size(); ++i) {
            SCOPED_TRACE(i);
            const TOutputStream& ost = *e.OutputStreams[i];
            EXPECT_EQ(ost.CodecContext->codec_type, types[i]);
            EXPECT_EQ(ost.SourceIndex, int(i));
            ASSERT_NE(ost.Encoder, nullptr)
                << "no encoder for " << ff::avcodec_get_name(ost.CodecContext->codec_id);
            EXPECT_STREQ(ost.Encoder->name, expected[i]);
            // 0 would mean the muxer refuses the codec when the header is written.
            EXPECT_NE(ff::avformat_query_codec(oc->oformat, ost.Encoder->id, FF_COMPLIANCE_NORMAL),
                      0)
                << oc->oformat->name << " " << ost.Encoder->name;
        }
    }
}

// The 3GP row as first designed opens, but names two codecs this build cannot write: the
// container's default audio codec (AMR-NB) has no encoder, and "h263p" has no codec tag in
// the 3GP container. Transcoding set-up reports the missing encoder by codec and stream.
TEST_F(PresetsTest, PresetThatNeedsAnAmrNbEncoder) {
    if (ff::avcodec_find_encoder(AV_CODEC_ID_AMR_NB))
        GTEST_SKIP() << "this library build has an AMR-NB encoder";
    TCustomFFmpeg e;
    ASSERT_EQ(OpenInput(e, "", clip_), 0) << e.LastError;
    ASSERT_EQ(OpenOutput(e, " -b:a 12.2k -ac 1 -ar 8000 -c:v h263p  -s 128x96",
                         TempPath("clip_(new)_unmended.3gp")),
              0)
        << e.LastError;
    ASSERT_EQ(e.OutputStreams.size(), 2u);
    const TOutputStream& a = *e.OutputStreams[1];
    EXPECT_EQ(a.CodecContext->codec_id, AV_CODEC_ID_AMR_NB);
    EXPECT_EQ(a.Encoder, nullptr);
    EXPECT_STREQ(a.Options.value("b"), nullptr) << "no encoder, so no encoder options";

    const AVOutputFormat* tgp = e.OutputFiles[0]->Context->oformat;
    EXPECT_EQ(ff::avformat_query_codec(tgp, AV_CODEC_ID_H263P, FF_COMPLIANCE_NORMAL), 0);
    EXPECT_EQ(ff::avformat_query_codec(tgp, AV_CODEC_ID_H263, FF_COMPLIANCE_NORMAL), 1);
}

}  // namespace
