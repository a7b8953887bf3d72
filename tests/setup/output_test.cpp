// Opening outputs: stream selection and maps, encoders and per-stream settings, codec option
// filtering, attachments, metadata, chapters, durations and failure clean-up.
#include "setup_fixture.h"

#include <vector>

using namespace setup_test;

namespace {

class OutputTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(LoadLibraries()); }

    // A fresh engine with `clip` opened as its input.
    static std::unique_ptr<TCustomFFmpeg> WithInput(const std::string& clip,
                                                    const std::string& options = "") {
        auto e = std::make_unique<TCustomFFmpeg>();
        EXPECT_EQ(OpenInput(*e, options, clip), 0) << e->LastError;
        return e;
    }

    // The output streams in order: the type's specifier letter and the source index, e.g.
    // "v0 a1 t" (an attached file has no source).
    static std::string Layout(const TCustomFFmpeg& e) {
        std::string s;
        for (const auto& ost : e.OutputStreams) {
            if (!s.empty()) s += " ";
            switch (ost->Stream->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                s += 'v';
                break;
            case AVMEDIA_TYPE_AUDIO:
                s += 'a';
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                s += 's';
                break;
            case AVMEDIA_TYPE_DATA:
                s += 'd';
                break;
            case AVMEDIA_TYPE_ATTACHMENT:
                s += 't';
                break;
            default:
                s += '?';
                break;
            }
            if (ost->SourceIndex >= 0) s += std::to_string(ost->SourceIndex);
        }
        return s;
    }

    // Nothing of a failed output may stay: no entry, no streams, no file, no selection.
    static void ExpectNothingLeft(const TCustomFFmpeg& e, const std::string& path) {
        EXPECT_TRUE(e.OutputFiles.empty());
        EXPECT_TRUE(e.OutputStreams.empty());
        EXPECT_FALSE(FileExists(path));
        for (const auto& ist : e.InputStreams)
            EXPECT_TRUE(ist->Discard);
        EXPECT_EQ(e.TotalDuration, -1);
        EXPECT_TRUE(e.OptionsContext.Metadata.empty());
        EXPECT_TRUE(e.OptionsContext.CodecNames.empty());
    }
};

TEST_F(OutputTest, AutomaticSelectionTakesTheLargestVideo) {
    const struct {
        const char* a;
        const char* b;
        int selected;
    } rows[] = {
        {"640x480", "1280x720", 1},
        {"1280x720", "640x480", 0},
        {"32x24", "32x24", 0},  // ties go to the first
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.a) + " " + r.b);
        const std::string clip = TwoVideoClip(r.a, r.b);
        ASSERT_FALSE(clip.empty());
        auto e = WithInput(clip);
        const std::string out = TempPath("largest.mp4");
        ASSERT_EQ(OpenOutput(*e, "-c:v mpeg4", out), 0) << e->LastError;
        ASSERT_EQ(e->OutputStreams.size(), 1u);
        const TOutputStream& ost = *e->OutputStreams[0];
        EXPECT_EQ(ost.SourceIndex, r.selected);
        EXPECT_EQ(ost.SyncInput, e->InputStreams[size_t(r.selected)].get());
        EXPECT_FALSE(e->InputStreams[size_t(r.selected)]->Discard);
        EXPECT_TRUE(e->InputStreams[size_t(1 - r.selected)]->Discard);
    }
}

TEST_F(OutputTest, SelectionAndMapsFollowTheDisableOptions) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    const struct {
        const char* options;
        const char* layout;
    } rows[] = {
        {"", "v0 a1"},
        {"-vn", "a1"},
        {"-an", "v0"},
        {"-vn -an", ""},
        {"-map 0:1 -map 0:0", "a1 v0"},
        {"-map 0 -map -0:a", "v0"},
        {"-map 0 -vn", "a1"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.options);
        auto e = WithInput(clip);
        const std::string out = TempPath("select.mp4");
        ASSERT_EQ(OpenOutput(*e, r.options, out), 0) << e->LastError;
        EXPECT_EQ(Layout(*e), r.layout);
        ASSERT_EQ(e->OutputFiles.size(), 1u);
        EXPECT_EQ(e->OutputFiles[0]->FirstStreamIndex, 0);
        for (const auto& ost : e->OutputStreams) {
            EXPECT_EQ(ost->FileIndex, 0);
            EXPECT_EQ(ost->Stream, e->OutputFiles[0]->Context->streams[ost->Index]);
            EXPECT_FALSE(e->InputStreams[size_t(ost->SourceIndex)]->Discard);
        }
    }
}

TEST_F(OutputTest, MapWithSyncStreamSetsTheSyncInput) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    auto e = WithInput(clip);
    ASSERT_EQ(OpenOutput(*e, "-map 0:a,0:v", TempPath("sync.mp4")), 0) << e->LastError;
    ASSERT_EQ(Layout(*e), "a1");
    EXPECT_EQ(e->OutputStreams[0]->SyncInput, e->InputStreams[0].get());
}

TEST_F(OutputTest, PspOutputHasVideoThenAudioWithTheGivenEncoders) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    auto e = WithInput(clip);
    const std::string out = TempPath("clip_(new)_psp.mp4");
    ASSERT_EQ(OpenOutput(*e,
                         " -f psp -ar 24000 -r 15000/1001 -c:a aac -astrict experimental "
                         "-c:v mpeg4  -s 320x240",
                         out),
              0)
        << e->LastError;
    ASSERT_EQ(Layout(*e), "v0 a1");
    EXPECT_STREQ(e->OutputFiles[0]->Context->oformat->name, "psp");

    const TOutputStream& v = *e->OutputStreams[0];
    ASSERT_NE(v.Encoder, nullptr);
    EXPECT_STREQ(v.Encoder->name, "mpeg4");
    EXPECT_FALSE(v.StreamCopy);
    EXPECT_EQ(v.CodecContext->codec_id, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(v.CodecContext->width, 320);
    EXPECT_EQ(v.CodecContext->height, 240);
    EXPECT_EQ(v.FrameRate.num, 15000);
    EXPECT_EQ(v.FrameRate.den, 1001);

    const TOutputStream& a = *e->OutputStreams[1];
    ASSERT_NE(a.Encoder, nullptr);
    EXPECT_STREQ(a.Encoder->name, "aac");
    EXPECT_EQ(a.CodecContext->sample_rate, 24000);
    EXPECT_EQ(a.RematrixVolume, 1.0f);

    // The file is open and still empty; the header is written by transcoding set-up.
    EXPECT_NE(e->OutputFiles[0]->Context->pb, nullptr);
    EXPECT_TRUE(FileExists(out));
}

TEST_F(OutputTest, CodecOptionsReachTheEncodersTheyApplyTo) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    const struct {
        const char* options;
        const char* key;
        const char* video;  // value in the video encoder's options, or null
        const char* audio;
    } rows[] = {
        {"-b:a 12.2k", "b", nullptr, "12.2k"},
        {"-vstrict unofficial", "strict", "unofficial", nullptr},
        {"-astrict experimental", "strict", nullptr, "experimental"},
        // "ab" is itself an audio encoding option of the 5.1 codec options (the bit rate).
        {"-ab 64000 -vb 300000", "ab", nullptr, "64000"},
        {"-ab 64000 -vb 300000", "b", "300000", nullptr},
        {"-g 12", "g", "12", nullptr},
        {"-strict:1 -2", "strict", nullptr, "-2"},
        {"-threads:v 3", "threads", "3", nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.options);
        auto e = WithInput(clip);
        ASSERT_EQ(
            OpenOutput(*e, std::string("-c:v mpeg4 -c:a aac ") + r.options, TempPath("opts.mp4")),
            0)
            << e->LastError;
        ASSERT_EQ(Layout(*e), "v0 a1");
        const char* v = e->OutputStreams[0]->Options.value(r.key);
        const char* a = e->OutputStreams[1]->Options.value(r.key);
        EXPECT_STREQ(v, r.video);
        EXPECT_STREQ(a, r.audio);
    }
}

TEST_F(OutputTest, StreamCopyIgnoresTheVideoSettingsButCopyinkf) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    auto e = WithInput(clip);
    ASSERT_EQ(OpenOutput(*e, "-c:v copy -r 10 -s 100x100 -aspect 4:3 -vf hflip -copyinkf",
                         TempPath("copy.mkv")),
              0)
        << e->LastError;
    ASSERT_EQ(Layout(*e), "v0 a1");
    const TOutputStream& v = *e->OutputStreams[0];
    EXPECT_TRUE(v.StreamCopy);
    EXPECT_EQ(v.Encoder, nullptr);
    EXPECT_EQ(v.FrameRate.num, 0);
    EXPECT_EQ(v.CodecContext->width, 0);
    EXPECT_EQ(v.FrameAspectRatio, 0.0f);
    EXPECT_FALSE(v.FilterChain.has_value());
    EXPECT_TRUE(v.CopyInitialNonKeyFrames);
    EXPECT_FALSE(e->OutputStreams[1]->StreamCopy);
    EXPECT_NE(e->OutputStreams[1]->Encoder, nullptr);
}

TEST_F(OutputTest, PerStreamSettingsReachTheStreamsAndTheirEncoderContexts) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    auto e = WithInput(clip);
    ASSERT_EQ(OpenOutput(
                  *e,
                  "-c:v mpeg4 -r 25 -s 96x64 -aspect 16:9 -pix_fmt yuv420p -frames:v 7 "
                  "-force_key_frames 0.5,1 -top 1 -force_fps -vf hflip -tag:v XVID -q:v 3 "
                  "-bsf:v dump_extra,null -intra_matrix " +
                      [] {
                          std::string m = "1";
                          for (int i = 2; i <= 64; ++i)
                              m += "," + std::to_string(i);
                          return m;
                      }() +
                      " -rc_override 1,5,3/6,9,-50 -c:a aac -ac 1 -ar 22050 "
                      "-sample_fmt fltp -rmvol 0.5 -streamid 1:77",
                  TempPath("settings.mp4")),
              0)
        << e->LastError;
    ASSERT_EQ(Layout(*e), "v0 a1");
    const TOutputStream& v = *e->OutputStreams[0];
    const AVCodecContext* vc = v.CodecContext.get();
    EXPECT_EQ(v.FrameRate.num, 25);
    EXPECT_EQ(v.FrameRate.den, 1);
    EXPECT_EQ(vc->width, 96);
    EXPECT_EQ(vc->height, 64);
    EXPECT_FLOAT_EQ(v.FrameAspectRatio, 16.0f / 9.0f);
    EXPECT_EQ(vc->pix_fmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(v.MaxFrames, 7);
    EXPECT_EQ(v.ForcedKeyFramePTS, (std::vector<int64_t>{500000, 1000000}));
    EXPECT_EQ(v.TopFieldFirst, 1);
    EXPECT_TRUE(v.ForceFPS);
    EXPECT_EQ(v.FilterChain.value_or(""), "hflip");
    EXPECT_EQ(vc->codec_tag, MKTAG('X', 'V', 'I', 'D'));
    EXPECT_TRUE(vc->flags & AV_CODEC_FLAG_QSCALE);
    EXPECT_EQ(vc->global_quality, 3 * FF_QP2LAMBDA);
    ASSERT_EQ(v.BitstreamFilters.size(), 2u);
    ASSERT_NE(vc->intra_matrix, nullptr);
    EXPECT_EQ(vc->intra_matrix[0], 1);
    EXPECT_EQ(vc->intra_matrix[63], 64);
    ASSERT_EQ(vc->rc_override_count, 2);
    EXPECT_EQ(vc->rc_override[0].start_frame, 1);
    EXPECT_EQ(vc->rc_override[0].end_frame, 5);
    EXPECT_EQ(vc->rc_override[0].qscale, 3);
    EXPECT_EQ(vc->rc_override[0].quality_factor, 1.0f);
    EXPECT_EQ(vc->rc_override[1].qscale, 0);
    EXPECT_FLOAT_EQ(vc->rc_override[1].quality_factor, 0.5f);
    // mp4 wants global headers.
    EXPECT_TRUE(vc->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
    EXPECT_EQ(v.Stream->id, 0);

    const TOutputStream& a = *e->OutputStreams[1];
    const AVCodecContext* ac = a.CodecContext.get();
    EXPECT_EQ(ac->ch_layout.nb_channels, 1);
    EXPECT_EQ(ac->sample_rate, 22050);
    EXPECT_EQ(ac->sample_fmt, AV_SAMPLE_FMT_FLTP);
    EXPECT_EQ(a.RematrixVolume, 0.5f);
    EXPECT_EQ(a.MaxFrames, INT64_MAX);
    EXPECT_EQ(a.Stream->id, 77);
}

TEST_F(OutputTest, ChannelMapsApplyToTheirAudioStreams) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    const struct {
        const char* options;
        std::vector<int> map;
    } rows[] = {
        {"", {}},
        {"-map_channel 0.1.1 -map_channel 0.1.0", {1, 0}},
        {"-map_channel -1 -map_channel 0.1.0:0.1", {-1, 0}},
        {"-map_channel 0.1.0:0.0", {}},  // for output stream 0, which is the video
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.options);
        auto e = WithInput(clip);
        ASSERT_EQ(OpenOutput(*e, std::string("-c:a aac ") + r.options, TempPath("chmap.mp4")), 0)
            << e->LastError;
        const TOutputStream& a = *e->OutputStreams[1];
        EXPECT_EQ(std::vector<int>(a.AudioChannelMap, a.AudioChannelMap + a.AudioChannelsMapped),
                  r.map);
    }
}

TEST_F(OutputTest, MetadataIsCopiedAndSetByItsSpecifiers) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    struct TExpect {
        char where;  // 'g' global, 'v' video stream, 'a' audio stream
        const char* key;
        const char* value;  // null: absent
    };
    const struct {
        const char* options;
        std::vector<TExpect> expect;
    } rows[] = {
        {"", {{'g', "title", "source"}, {'a', "language", "ger"}, {'v', "language", nullptr}}},
        {"-metadata title=x", {{'g', "title", "x"}}},
        {"-metadata title=", {{'g', "title", nullptr}}},
        {"-metadata:s:a lang=eng",
         {{'a', "lang", "eng"}, {'v', "lang", nullptr}, {'g', "title", "source"}}},
        {"-metadata:s lang=eng", {{'a', "lang", "eng"}, {'v', "lang", "eng"}}},
        // Hand-mapped stream metadata: the audio stream gets the global tags, not its own.
        {"-map_metadata:s:a 0:g", {{'a', "title", "source"}, {'a', "language", nullptr}}},
        // Hand-mapped global metadata: the audio stream's tags, not the file's.
        {"-map_metadata 0:s:a", {{'g', "language", "ger"}, {'g', "title", nullptr}}},
        {"-map_metadata -1", {{'g', "title", "source"}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.options);
        auto e = WithInput(clip);
        ASSERT_EQ(
            OpenOutput(*e, std::string("-c:v mpeg4 -c:a aac ") + r.options, TempPath("meta.mkv")),
            0)
            << e->LastError;
        ASSERT_EQ(Layout(*e), "v0 a1");
        AVFormatContext* oc = e->OutputFiles[0]->Context.get();
        for (const TExpect& x : r.expect) {
            SCOPED_TRACE(std::string(1, x.where) + " " + x.key);
            const AVDictionary* d = x.where == 'g'   ? oc->metadata
                                    : x.where == 'v' ? oc->streams[0]->metadata
                                                     : oc->streams[1]->metadata;
            if (x.value)
                EXPECT_EQ(Tag(d, x.key), x.value);
            else
                EXPECT_FALSE(HasTag(d, x.key));
        }
    }
}

TEST_F(OutputTest, ChaptersAreCopiedInsideTheOutputsWindow) {
    const std::string clip = ChaptersClip();
    ASSERT_FALSE(clip.empty());
    struct TChapter {
        int64_t start_ms, end_ms;
        const char* title;
    };
    const struct {
        const char* options;
        std::vector<TChapter> chapters;
    } rows[] = {
        {"", {{0, 1000, "a"}, {1000, 2000, "b"}, {2000, 3000, "c"}}},
        {"-ss 0.5 -t 1", {{0, 500, "a"}, {500, 1000, "b"}}},
        {"-t 1", {{0, 1000, "a"}}},
        {"-ss 1.5", {{0, 500, "b"}, {500, 1500, "c"}}},
        {"-map_chapters -1", {}},
        {"-map_chapters 0", {{0, 1000, "a"}, {1000, 2000, "b"}, {2000, 3000, "c"}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.options);
        auto e = WithInput(clip);
        ASSERT_EQ(OpenOutput(*e, std::string("-c:v mpeg4 ") + r.options, TempPath("chap.mkv")), 0)
            << e->LastError;
        AVFormatContext* oc = e->OutputFiles[0]->Context.get();
        ASSERT_EQ(oc->nb_chapters, r.chapters.size());
        for (size_t i = 0; i < r.chapters.size(); ++i) {
            SCOPED_TRACE(i);
            const AVChapter* ch = oc->chapters[i];
            const AVRational ms{1, 1000};
            EXPECT_EQ(ff::av_rescale_q(ch->start, ch->time_base, ms), r.chapters[i].start_ms);
            EXPECT_EQ(ff::av_rescale_q(ch->end, ch->time_base, ms), r.chapters[i].end_ms);
            EXPECT_EQ(Tag(ch->metadata, "title"), r.chapters[i].title);
        }
    }
}

TEST_F(OutputTest, AttachmentsBecomeStreamsWithTheFileAndItsName) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    const std::string note = TempPath("attached.txt");
    WriteFile(note, "hello attachment");
    auto e = WithInput(clip);
    ASSERT_EQ(OpenOutput(*e, "-c:v mpeg4 -c:a aac -attach \"" + note + "\"", TempPath("att.mkv")),
              0)
        << e->LastError;
    ASSERT_EQ(Layout(*e), "v0 a1 t");
    const TOutputStream& t = *e->OutputStreams[2];
    EXPECT_EQ(t.Stream->codecpar->codec_type, AVMEDIA_TYPE_ATTACHMENT);
    EXPECT_EQ(t.SourceIndex, -1);
    EXPECT_FALSE(t.StreamCopy);
    EXPECT_EQ(t.AttachmentFileName, note);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.Stream->codecpar->extradata),
                          size_t(t.Stream->codecpar->extradata_size)),
              "hello attachment");
    EXPECT_EQ(Tag(t.Stream->metadata, "filename"), "attached.txt");
}

TEST_F(OutputTest, RecordingTimeSetsTheTotalDuration) {
    const struct {
        std::string clip;
        const char* options;
        int64_t total;
    } rows[] = {
        {LongClip(), "-t 5", 5000000},
        {AVClip(), "-t 5", 5000000},
        {AVClip(), "", -1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.clip + " " + r.options);
        ASSERT_FALSE(r.clip.empty());
        auto e = WithInput(r.clip);
        ASSERT_EQ(OpenOutput(*e, std::string("-c:v mpeg4 ") + r.options, TempPath("t.mp4")), 0)
            << e->LastError;
        EXPECT_EQ(e->TotalDuration, r.total);
        EXPECT_EQ(e->OutputFiles[0]->RecordingTime, r.total < 0 ? INT64_MAX : r.total);
    }
}

TEST_F(OutputTest, FailedOpensLeaveNothingBehind) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    const std::string empty_file = TempPath("empty.bin");
    WriteFile(empty_file, "");
    const std::string out = TempPath("failed.mkv");
    const std::string missing_dir = TempPath("no-such-folder") + "/out.mp4";
    const std::string ffm = TempPath("feed.ffm");
    const struct {
        std::string options;
        std::string path;
        std::string text;
        bool raises;
    } rows[] = {
        {"-t 5", missing_dir, missing_dir + ": No such file or directory", false},
        {"-f ffm", ffm,
         ffm + ": " + error_message(AVERROR(EINVAL)) + " (unknown output format \"ffm\")", false},
        {"", TempPath("name.nosuchsuffix"),
         TempPath("name.nosuchsuffix") + ": " + error_message(AVERROR(EINVAL)) +
             " (no output format matches the file name)",
         false},
        {"-c:v nosuch", out, "Unknown encoder 'nosuch'", true},
        {"-c:v aac", out, "Invalid encoder type 'aac'", true},
        {"-c:v mpeg4 -r abc", out, "Invalid framerate value: abc", true},
        {"-c:v mpeg4 -s 9x", out, "Invalid frame size: 9x.", true},
        {"-c:v mpeg4 -aspect 0:3", out, "Incorrect aspect ratio specification.", true},
        {"-c:v mpeg4 -pix_fmt nosuch", out, "Unknown pixel format requested: nosuch.", true},
        {"-c:v mpeg4 -intra_matrix 1,2,3", out, "Syntax error in matrix \"1,2,3\" at coeff 2",
         true},
        {"-c:v mpeg4 -rc_override 1,2", out, "error parsing rc_override", true},
        {"-c:v mpeg4 -force_key_frames x", out,
         "Invalid duration specification for force_key_frames: x", true},
        {"-c:v mpeg4 -bsf:v nosuch", out, "Unknown bitstream filter \"nosuch\"", true},
        {"-c:a aac -sample_fmt nosuch", out, "Invalid sample format \"nosuch\"", true},
        {"-attach \"" + TempPath("absent.txt") + "\"", out,
         "Could not open attachment file " + TempPath("absent.txt") + ".", true},
        {"-attach \"" + empty_file + "\"", out,
         "Could not get size of the attachment " + empty_file + ".", true},
        // The file is open by now: it must go again.
        {"-t 5 -metadata title", out, "No \"=\" character in metadata string title.", true},
        {"-metadata:c:5 a=b", out, "Invalid chapter index 5 in metadata specifier.", true},
        {"-metadata:x a=b", out, "Invalid metadata specifier x.", true},
        {"-metadata:s:q a=b", out, "check_stream_specifier: " + error_message(AVERROR(EINVAL)),
         true},
        {"-map_chapters 3", out, "Invalid input file index 3 in chapter mapping.", true},
        {"-map_metadata 2", out, "Invalid input file index 2 while processing metadata maps", true},
        {"-map_metadata:x 0", out, "Invalid metadata type x.", true},
        {"-map_metadata:c:4 0", out, "Invalid chapter index 4 while processing metadata maps.",
         true},
        {"-map_metadata 0:s:s", out, "Stream specifier s does not match  any streams.", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.options + " -> " + r.path);
        auto e = WithInput(clip);
        if (r.raises) {
            try {
                OpenOutput(*e, r.options, r.path);
                ADD_FAILURE() << "no error raised";
            } catch (const FFmpegException& ex) {
                EXPECT_EQ(ex.Message(), r.text);
            }
        } else {
            EXPECT_EQ(OpenOutput(*e, r.options, r.path), -1);
        }
        EXPECT_EQ(e->LastError, r.text);
        ExpectNothingLeft(*e, r.path);
    }
}

TEST_F(OutputTest, FileNamesLongerThanTheLimitAreRefused) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    auto e = WithInput(clip);
    EXPECT_EQ(OpenOutput(*e, "", "/" + std::string(2047, 'n') + ".mp4"), -1);
    EXPECT_EQ(e->LastError, "File name too long: 2052 bytes in UTF-8, at most 2047 are accepted");
    EXPECT_TRUE(e->OutputFiles.empty());
}

TEST_F(OutputTest, MuxerSettingsGoToTheEntryAndTheContext) {
    const std::string clip = AVClip();
    ASSERT_FALSE(clip.empty());
    auto e = WithInput(clip);
    ASSERT_EQ(OpenOutput(*e,
                         "-c:v mpeg4 -an -muxpreload 0.44 -muxdelay 0.7 -fs 1000 -ss 2 "
                         "-movflags faststart",
                         TempPath("mux.mp4")),
              0)
        << e->LastError;
    const TOutputFile& f = *e->OutputFiles[0];
    EXPECT_STREQ(f.Options.value("preload"), "440000");
    EXPECT_STREQ(f.Options.value("movflags"), "faststart");
    EXPECT_EQ(f.Context->max_delay, 700000);
    EXPECT_EQ(f.FileSizeLimit, 1000u);
    EXPECT_EQ(f.StartTime, 2000000);
    EXPECT_EQ(f.RecordingTime, INT64_MAX);
}

}  // namespace
