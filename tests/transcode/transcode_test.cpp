// Transcoding set-up on real clips: stream-copy refusals and time bases, encoder choices,
// encoder failures and a complete set-up that writes a header checked with ffprobe.
#include "engine/engine_fixture.h"
#include "src/FFUtils.h"

#include <fstream>
#include <cstdio>

namespace {

using engine_test::RunFFmpeg;
using engine_test::TempDir;
using engine_test::TLogCapture;

std::string TempPath(const std::string& name) {
    return (TempDir() / name).string();
}

// Made once per program; "" when the tool failed.
std::string Clip(const std::string& name, const std::string& args) {
    static std::map<std::string, std::string> made;
    if (auto it = made.find(name); it != made.end()) return it->second;
    const std::string path = TempPath(name);
    return made[name] = RunFFmpeg(args + " \"" + path + "\"") ? path : std::string();
}

// 320x240 mpeg4 at 25 fps and stereo 44.1 kHz PCM, 0.4 s.
std::string AVClip() {
    return Clip("av.mkv", "-f lavfi -i testsrc=size=320x240:rate=25:d=0.4 -f lavfi -i "
                          "sine=d=0.4:sample_rate=44100 -ac 2 -c:v mpeg4 -c:a pcm_s16le");
}

// A transport stream: stream time base 1/90000, 25 fps.
std::string TSClip() {
    return Clip("v.ts", "-f lavfi -i testsrc=size=64x48:rate=25:d=0.4 -c:v mpeg4");
}

class TranscodeInit : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine_test::LoadLibraries());
        e = std::make_unique<TCustomFFmpeg>();
    }
    void TearDown() override {
        if (e) {
            e->close_registered_codecs();
            e->clean_up();
        }
    }
    // As the encoder component does: option string, then open.
    void Open(const std::string& in, const std::string& out_options, const std::string& out) {
        ASSERT_FALSE(in.empty()) << "fixture clip missing";
        e->ParseOptions("");
        ASSERT_GE(e->open_input_file(e->OptionsContext, in), 0) << e->LastError;
        e->ParseOptions(out_options);
        ASSERT_GE(e->open_output_file(e->OptionsContext, out, false), 0) << e->LastError;
    }
    std::unique_ptr<TCustomFFmpeg> e;
};

TEST_F(TranscodeInit, StreamCopyOfVideoRefusesEveryFrameConsumer) {
    struct Row {
        const char* name;
        std::function<void(TCustomFFmpeg&)> arm;
        const char* error;
    };
    const Row rows[] = {
        {"input hook", [](TCustomFFmpeg& f) { f.OnVideoInputHook = [](auto...) {}; },
         "-vcodec copy and VideoHook are incompatible (frames are not decoded)"},
        {"output hook", [](TCustomFFmpeg& f) { f.OnVideoOutputHook = [](auto...) {}; },
         "-vcodec copy and VideoHook are incompatible (frames are not decoded)"},
        {"frame hook", [](TCustomFFmpeg& f) { f.OnFrameInputHook = [](auto...) {}; },
         "-vcodec copy and FrameHook are incompatible (frames are not decoded)"},
        {"preview", [](TCustomFFmpeg& f) { f.set_preview_flags(1); },
         "-vcodec copy and PostHooks are incompatible (frames are not decoded)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        e = std::make_unique<TCustomFFmpeg>();
        Open(AVClip(), "-vcodec copy -an", TempPath(std::string("copy_") + row.name + ".mkv"));
        row.arm(*e);
        EXPECT_EQ(e->transcode_init(), AVERROR(EINVAL));
        EXPECT_EQ(e->LastError, row.error);
        EXPECT_EQ(e->registered_codecs(), 0u);
        e->set_preview_flags(0);
    }
}

TEST_F(TranscodeInit, AudioCopyRefusesVolumeAndHook) {
    Open(AVClip(), "-acodec copy -vn -vol 512", TempPath("copy_vol.mkv"));
    EXPECT_EQ(e->transcode_init(), AVERROR(EINVAL));
    EXPECT_EQ(e->LastError, "-acodec copy and -vol are incompatible (frames are not decoded)");

    TearDown();
    e = std::make_unique<TCustomFFmpeg>();
    Open(AVClip(), "-acodec copy -vn", TempPath("copy_hook.mkv"));
    e->OnAudioHook = [](auto...) {};
    EXPECT_EQ(e->transcode_init(), AVERROR(EINVAL));
    EXPECT_EQ(e->LastError, "-acodec copy and AudioHook are incompatible (frames are not decoded)");
}

TEST_F(TranscodeInit, StreamCopyTimeBaseDependsOnMuxer) {
    struct Row {
        const char* file;
        AVRational time_base;
    };
    // AVI takes the frame time with a doubled denominator; MP4 keeps the stream's.
    const Row rows[] = {{"tb.avi", {1, 50}}, {"tb.mp4", {1, 90000}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        TearDown();
        e = std::make_unique<TCustomFFmpeg>();
        Open(TSClip(), "-vcodec copy", TempPath(row.file));
        ASSERT_EQ(e->InputStreams[0]->Stream->time_base.den, 90000);
        ASSERT_EQ(e->transcode_init(), 0) << e->LastError;
        const AVRational tb = e->OutputStreams[0]->CodecContext->time_base;
        EXPECT_EQ(tb.num, row.time_base.num);
        EXPECT_EQ(tb.den, row.time_base.den);
    }
}

TEST_F(TranscodeInit, EncoderThatCannotOpenLogsMappingThenError) {
    TLogCapture log;
    // H.263 takes only its standard picture sizes; 320x240 is not one of them.
    Open(AVClip(), "-vcodec h263 -an", TempPath("h263.mkv"));
    EXPECT_EQ(e->transcode_init(), AVERROR(EINVAL));
    EXPECT_TRUE(log.Contains("Stream mapping:", llInfo));
    EXPECT_TRUE(log.Contains("  Stream #0:0 -> #0:0 (mpeg4 -> h263) (Video)", llInfo));
    EXPECT_TRUE(log.ContainsText("Error while opening encoder for output stream #0:0 (Video)"));
    // Reported by the run as the code's text, not as a stored message.
    EXPECT_EQ(error_text("transcode_init() error", AVERROR(EINVAL)),
              "transcode_init() error: Invalid argument / Invalid data found when processing "
              "input");
}

TEST_F(TranscodeInit, ContainerDefaultWithoutEncoderNamesCodecAndStream) {
    if (ff::avcodec_find_encoder(AV_CODEC_ID_AMR_NB)) GTEST_SKIP() << "amr_nb encoder present";
    TLogCapture log;
    Open(AVClip(), "-vcodec mpeg4", TempPath("default.3gp"));
    EXPECT_EQ(e->transcode_init(), AVERROR(EINVAL));
    EXPECT_TRUE(
        log.Contains("Encoder (codec amr_nb) not found for output stream #0:1 (Audio)", llError));
}

TEST_F(TranscodeInit, EncodesAndWritesHeader) {
    const std::string out = TempPath("enc.mkv");
    Open(AVClip(), "-vcodec mpeg4 -acodec aac", out);
    ASSERT_EQ(e->transcode_init(), 0) << e->LastError;
    EXPECT_TRUE(e->OutputStreams[0]->EncodingNeeded);
    EXPECT_TRUE(e->InputStreams[0]->DecodingNeeded);
    EXPECT_EQ(e->VideoOutputBufferSize, 320 * 240 * 9 + 10000);
    // Two encoders and two decoders.
    EXPECT_EQ(e->registered_codecs(), 4u);
    const AVCodecContext* v = e->OutputStreams[0]->CodecContext.get();
    EXPECT_EQ(v->time_base.num, 1);
    EXPECT_EQ(v->time_base.den, 25);
    ASSERT_NE(e->OutputStreams[0]->OutputVideoFilter, nullptr);
    EXPECT_EQ(e->OutputStreams[0]->Stream->codecpar->codec_id, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(e->OutputStreams[1]->Stream->codecpar->codec_id, AV_CODEC_ID_AAC);
    ff::avio_flush(e->OutputFiles[0]->Context->pb);
    // The header is on disk: it starts with the EBML signature.
    std::ifstream in(out, std::ios::binary);
    unsigned char magic[4] = {};
    in.read(reinterpret_cast<char*>(magic), 4);
    EXPECT_EQ(std::vector<unsigned char>(magic, magic + 4),
              (std::vector<unsigned char>{0x1A, 0x45, 0xDF, 0xA3}));
}

TEST_F(TranscodeInit, ScaleAndFilterChainSetEncoderSize) {
    Open(AVClip(), "-vcodec mpeg4 -an -s 640x360 -vf hflip", TempPath("scaled.mkv"));
    ASSERT_EQ(e->transcode_init(), 0) << e->LastError;
    const AVCodecContext* v = e->OutputStreams[0]->CodecContext.get();
    EXPECT_EQ(v->width, 640);
    EXPECT_EQ(v->height, 360);
    EXPECT_TRUE(e->OutputStreams[0]->VideoResample);
    EXPECT_EQ(e->VideoOutputBufferSize, 640 * 360 * 9 + 10000);
}

TEST_F(TranscodeInit, PassOneWritesNumberedLogFile) {
    const std::string prefix = TempPath("stats");
    Open(AVClip(), "-vcodec mpeg4 -an -pass 1 -passlogfile " + prefix, TempPath("pass.mkv"));
    ASSERT_EQ(e->transcode_init(), 0) << e->LastError;
    EXPECT_NE(e->OutputStreams[0]->LogFile, nullptr);
    EXPECT_TRUE(std::filesystem::exists(prefix + "-0.log"));
}

// --- format choices on stand-in encoder descriptions ---

class Picks : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine_test::LoadLibraries());
        e = std::make_unique<TCustomFFmpeg>();
        ost.CodecContext.reset(ff::avcodec_alloc_context3(nullptr));
        ASSERT_TRUE(ost.CodecContext);
    }
    std::unique_ptr<TCustomFFmpeg> e;
    TOutputStream ost;
};

TEST_F(Picks, SampleRateTakesClosestEarlierOnTie) {
    static const int rates[] = {44100, 48000, 0};
    AVCodec codec{};
    codec.name = "stand-in";
    codec.supported_samplerates = rates;
    struct Row {
        int asked, got;
        bool warns;
    };
    const Row rows[] = {
        {32000, 44100, true}, {46050, 44100, true}, {48000, 48000, false}, {96000, 48000, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.asked);
        TLogCapture log;
        ost.CodecContext->sample_rate = row.asked;
        e->pick_sample_rate(ost, &codec);
        EXPECT_EQ(ost.CodecContext->sample_rate, row.got);
        EXPECT_EQ(log.Contains(Format("Requested sampling rate unsupported using closest "
                                      "supported (%d)",
                                      row.got),
                               llWarning),
                  row.warns);
    }
}

TEST_F(Picks, PixelFormatOfMJPEGDependsOnCompliance) {
    static const AVPixelFormat own[] = {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_NONE};
    AVCodec codec{};
    codec.name = "mjpeg-stand-in";
    codec.pix_fmts = own;
    struct Row {
        int strict;
        AVPixelFormat asked, got;
        bool warns;
    };
    const Row rows[] = {
        {FF_COMPLIANCE_UNOFFICIAL, AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P, false},
        {FF_COMPLIANCE_NORMAL, AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P, true},
        {FF_COMPLIANCE_NORMAL, AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ420P, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.strict);
        TLogCapture log;
        ost.CodecContext->codec_id = AV_CODEC_ID_MJPEG;
        ost.CodecContext->strict_std_compliance = row.strict;
        ost.CodecContext->pix_fmt = row.asked;
        e->pick_pixel_format(ost, &codec);
        EXPECT_EQ(ost.CodecContext->pix_fmt, row.got);
        EXPECT_EQ(log.ContainsText("Incompatible pixel format \"yuv420p\" for codec "
                                   "\"mjpeg-stand-in\", auto-selecting format \"yuvj420p\""),
                  row.warns);
    }
}

TEST_F(Picks, SampleFormatFallsBackToFirstListed) {
    static const AVSampleFormat own[] = {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_NONE};
    AVCodec codec{};
    codec.name = "stand-in";
    codec.sample_fmts = own;
    TLogCapture log;
    ost.CodecContext->sample_fmt = AV_SAMPLE_FMT_S16;
    e->pick_sample_format(ost, &codec);
    EXPECT_EQ(ost.CodecContext->sample_fmt, AV_SAMPLE_FMT_S16);
    ost.CodecContext->sample_fmt = AV_SAMPLE_FMT_U8;
    e->pick_sample_format(ost, &codec);
    EXPECT_EQ(ost.CodecContext->sample_fmt, AV_SAMPLE_FMT_FLTP);
    EXPECT_TRUE(log.Contains("Incompatible sample format \"u8\" for codec \"stand-in\", "
                             "auto-selecting format \"fltp\"",
                             llWarning));
}

}  // namespace
