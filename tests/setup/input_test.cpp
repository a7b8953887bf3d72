// Opening inputs: streams, decoders and their contexts, per-stream options, start position,
// discards, durations, failures and attachment dumps.
#include "setup_fixture.h"

using namespace setup_test;

namespace {

class InputTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(LoadLibraries()); }
};

TEST_F(InputTest, OpensFileWithStreamsDecodersAndDecoderContexts) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    TCustomFFmpeg e;
    int probes = 0;
    std::string probed_url;
    e.OnStreamProbe = [&](TCustomFFmpeg* sender, AVFormatContext* ctx) {
        EXPECT_EQ(sender, &e);
        ++probes;
        probed_url = ctx->url;
    };

    ASSERT_EQ(OpenInput(e, "", clip), 0) << e.LastError;
    EXPECT_EQ(probes, 1);
    EXPECT_EQ(probed_url, clip);

    ASSERT_EQ(e.InputFiles.size(), 1u);
    const TInputFile& f = *e.InputFiles[0];
    EXPECT_EQ(f.FirstStreamIndex, 0);
    EXPECT_EQ(f.StreamCount, 2);
    EXPECT_FALSE(f.EOFReached);
    EXPECT_EQ(f.TSOffset, -f.Context->start_time);

    ASSERT_EQ(e.InputStreams.size(), 2u);
    const char* decoders[] = {"mpeg4", "pcm_s16le"};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const TInputStream& ist = *e.InputStreams[size_t(i)];
        EXPECT_EQ(ist.FileIndex, 0);
        EXPECT_EQ(ist.Stream, f.Context->streams[i]);
        EXPECT_TRUE(ist.Discard);
        EXPECT_EQ(ist.TSScale, 1.0);
        ASSERT_NE(ist.Decoder, nullptr);
        EXPECT_STREQ(ist.Decoder->name, decoders[i]);
        ASSERT_NE(ist.CodecContext, nullptr);
        EXPECT_EQ(ist.CodecContext->codec_id, ist.Stream->codecpar->codec_id);
        EXPECT_EQ(ist.Stream->discard, AVDISCARD_DEFAULT);
    }
    EXPECT_EQ(e.InputStreams[0]->CodecContext->width, 64);
    EXPECT_EQ(e.InputStreams[0]->CodecContext->height, 48);
    EXPECT_EQ(e.InputStreams[1]->CodecContext->ch_layout.nb_channels, 2);
    EXPECT_EQ(e.InputStreams[1]->CodecContext->sample_rate, 44100);

    EXPECT_NEAR(double(e.LongestInputDuration), 1e6, 1e5);
    EXPECT_EQ(e.TotalDuration, -1);
}

TEST_F(InputTest, PerStreamOptionsApplyToTheirStreamsAndTheContextIsResetKeepingTheLength) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    TCustomFFmpeg e;
    ASSERT_EQ(OpenInput(e, "-itsscale:v 2 -tag:v DIVX -tag:a 0x20 -t 3 -re -threads:v 2", clip), 0)
        << e.LastError;
    const TInputStream& v = *e.InputStreams[0];
    const TInputStream& a = *e.InputStreams[1];
    EXPECT_EQ(v.TSScale, 2.0);
    EXPECT_EQ(a.TSScale, 1.0);
    EXPECT_EQ(v.Stream->codecpar->codec_tag, MKTAG('D', 'I', 'V', 'X'));
    EXPECT_EQ(v.CodecContext->codec_tag, MKTAG('D', 'I', 'V', 'X'));
    EXPECT_EQ(a.Stream->codecpar->codec_tag, 0x20u);
    // Codec options reach only the decoders whose stream the specifier names.
    EXPECT_STREQ(v.Options.value("threads"), "2");
    EXPECT_EQ(a.Options.value("threads"), nullptr);
    EXPECT_TRUE(e.InputFiles[0]->RateEmulation);

    EXPECT_EQ(e.OptionsContext.RecordingTime, 3000000);
    EXPECT_TRUE(e.OptionsContext.CodecTags.empty());
    EXPECT_TRUE(e.OptionsContext.TSScale.empty());
    EXPECT_FALSE(e.OptionsContext.RateEmu);
    EXPECT_EQ(e.CodecOpts.get(), nullptr);
}

TEST_F(InputTest, ParsesCodecTags) {
    const struct {
        const char* text;
        uint32_t tag;
    } rows[] = {
        {"DIVX", MKTAG('D', 'I', 'V', 'X')},
        {"0x31637661", 0x31637661u},
        {"017", 15u},
        {"123", 123u},
        {"12ab", MKTAG('1', '2', 'a', 'b')},
        {"XY", uint32_t('X') | uint32_t('Y') << 8},
        {"mp4vextra", MKTAG('m', 'p', '4', 'v')},
    };
    for (const auto& r : rows)
        EXPECT_EQ(TCustomFFmpeg::parse_codec_tag(r.text), r.tag) << r.text;
}

TEST_F(InputTest, StartTimeSeeksPastTheFilesOwnStartAndSetsTheOffset) {
    const std::string clip = LongClip();
    ASSERT_FALSE(clip.empty());
    const struct {
        const char* options;
        int64_t offset_without_start;  // the offset plus the file's start time
    } rows[] = {
        {"-ss 10", -10000000},
        {"-ss 10 -itsoffset 2", -8000000},
        {"-ss 10 -copyts", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.options);
        TCustomFFmpeg e;
        ASSERT_EQ(OpenInput(e, r.options, clip), 0) << e.LastError;
        AVFormatContext* ic = e.InputFiles[0]->Context.get();
        ASSERT_EQ(ic->start_time, 1400000);
        const int64_t expected =
            e.GlobalOptions.CopyTS ? r.offset_without_start : r.offset_without_start - 1400000;
        EXPECT_EQ(e.InputFiles[0]->TSOffset, expected);
        EXPECT_NEAR(double(e.LongestInputDuration), 2e6, 2.5e5);

        // The first packet read is one near 10 s into the file, not its first one.
        AVPacket* pkt = ff::av_packet_alloc();
        ASSERT_NE(pkt, nullptr);
        ASSERT_GE(ff::av_read_frame(ic, pkt), 0);
        const AVStream* st = ic->streams[pkt->stream_index];
        const int64_t pts_us = ff::av_rescale_q(pkt->pts, st->time_base, AV_TIME_BASE_Q);
        ff::av_packet_free(&pkt);
        EXPECT_GE(pts_us, 1400000 + 9000000);
        EXPECT_LE(pts_us, 1400000 + 10500000);
    }
}

TEST_F(InputTest, DisableOptionsDiscardAtTheDemuxer) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    const struct {
        const char* options;
        AVDiscard video, audio;
    } rows[] = {
        {"", AVDISCARD_DEFAULT, AVDISCARD_DEFAULT},
        {"-an", AVDISCARD_DEFAULT, AVDISCARD_ALL},
        {"-vn", AVDISCARD_ALL, AVDISCARD_DEFAULT},
        {"-vdt 8", AVDISCARD_NONREF, AVDISCARD_DEFAULT},
        {"-vn -vdt 8", AVDISCARD_ALL, AVDISCARD_DEFAULT},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.options);
        TCustomFFmpeg e;
        ASSERT_EQ(OpenInput(e, r.options, clip), 0) << e.LastError;
        EXPECT_EQ(e.InputStreams[0]->Stream->discard, r.video);
        EXPECT_EQ(e.InputStreams[1]->Stream->discard, r.audio);
        // The set-up flag is another thing: no output uses the stream yet.
        EXPECT_TRUE(e.InputStreams[1]->Discard);
    }
}

TEST_F(InputTest, UnknownDurationLeavesTheLongestInputDurationUnknown) {
    const std::string clip = UnknownDurationClip();
    ASSERT_FALSE(clip.empty());
    TCustomFFmpeg e;
    ASSERT_EQ(OpenInput(e, "", clip), 0) << e.LastError;
    ASSERT_EQ(e.InputFiles[0]->Context->duration, AV_NOPTS_VALUE);
    EXPECT_EQ(e.LongestInputDuration, -1);
}

TEST_F(InputTest, FailuresReturnTheCodeWithTheTextAndLeaveNothingOpen) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    const std::string missing = TempPath("missing.mkv");
    const std::string text_file = TempPath("not-media.txt");
    WriteFile(text_file, std::string(4096, '\x01'));
    const std::string long_name = "/" + std::string(2047, 'n');
    const struct {
        const char* options;
        std::string path;
        int code;
        std::string text;
    } rows[] = {
        {"-f nosuchformat", clip, AVERROR(EINVAL), "Unknown input format: \"nosuchformat\""},
        {"", missing, AVERROR(ENOENT), missing + ": No such file or directory"},
        {"", text_file, AVERROR_INVALIDDATA,
         text_file + ": Invalid data found when processing input"},
        {"", long_name, AVERROR(ENAMETOOLONG),
         "File name too long: 2048 bytes in UTF-8, at most 2047 are accepted"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path.substr(0, 80) + " " + r.options);
        TCustomFFmpeg e;
        EXPECT_EQ(OpenInput(e, r.options, r.path), r.code);
        EXPECT_EQ(e.LastError, r.text);
        EXPECT_TRUE(e.InputFiles.empty());
        EXPECT_TRUE(e.InputStreams.empty());
        EXPECT_EQ(e.LongestInputDuration, -1);
    }
}

TEST_F(InputTest, RaisedErrorsCarryTheirTextAndTakeTheStreamsBack) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    const struct {
        const char* options;
        const char* text;
    } rows[] = {
        {"-vcodec nosuch", "Unknown decoder 'nosuch'"},
        {"-acodec mpeg4", "Invalid decoder type 'mpeg4'"},
        {"-c:a nosuch", "Unknown decoder 'nosuch'"},
        // The matroska demuxer takes no frame size: a leftover with strict options.
        {"-s 320x240", "Option video_size not found."},
        // mpeg4 in matroska has extra data but no "filename" tag.
        {"-dump_attachment:v \"\"",
         "No filename specified and no \"filename\" tag in stream #0:0."},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.options);
        TCustomFFmpeg e;
        try {
            OpenInput(e, r.options, clip);
            ADD_FAILURE() << "no error raised";
        } catch (const FFmpegException& ex) {
            EXPECT_EQ(ex.Message(), r.text);
        }
        EXPECT_EQ(e.LastError, r.text);
        EXPECT_TRUE(e.InputFiles.empty());
        EXPECT_TRUE(e.InputStreams.empty());
    }
}

TEST_F(InputTest, ForcedDecoderIsUsedForItsStreams) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    TCustomFFmpeg e;
    // The same codec id through another decoder of the library.
    ASSERT_EQ(OpenInput(e, "-c:a pcm_s16le -vcodec mpeg4", clip), 0) << e.LastError;
    AVFormatContext* ic = e.InputFiles[0]->Context.get();
    ASSERT_NE(ic->video_codec, nullptr);
    EXPECT_STREQ(ic->video_codec->name, "mpeg4");
    EXPECT_EQ(ic->video_codec_id, AV_CODEC_ID_MPEG4);
    EXPECT_STREQ(e.InputStreams[0]->Decoder->name, "mpeg4");
    EXPECT_STREQ(e.InputStreams[1]->Decoder->name, "pcm_s16le");
}

TEST_F(InputTest, DumpsAttachmentsWithTheOverwriteRule) {
    const std::string clip = AttachmentClip();
    ASSERT_FALSE(clip.empty());
    const std::string target = TempPath("dumped.txt");
    const std::string exists_text = Format("File \"%s\" already exists. Ignore.", target);
    const struct {
        const char* extra;       // options besides the dump
        const char* before;      // content of the target before, or null for none
        std::string after;       // content afterwards
        std::string last_error;  // LastError afterwards
    } rows[] = {
        {"", nullptr, kAttachmentText, ""},
        {"", "old", "old", exists_text},
        {"-y", "old", kAttachmentText, ""},
        {"-y -n", "old", "old", exists_text},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.extra) + (r.before ? " over an existing file" : ""));
        std::filesystem::remove(target);
        if (r.before) WriteFile(target, r.before);
        TCustomFFmpeg e;
        ASSERT_EQ(
            OpenInput(e, std::string(r.extra) + " -dump_attachment:t \"" + target + "\"", clip), 0)
            << e.LastError;
        EXPECT_EQ(ReadFile(target), r.after);
        EXPECT_EQ(e.LastError, r.last_error);
    }
}

}  // namespace
