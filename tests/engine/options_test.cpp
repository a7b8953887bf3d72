// Option strings, presets, the option table and stream specifiers.
#include "engine_fixture.h"

#include "src/FFUtils.h"

#include <fstream>
#include <functional>
#include <set>

using namespace engine_test;

namespace {

class OptionsTest : public ::testing::Test {
public:  // the table rows' checks use the fixture's state
    void SetUp() override {
        ASSERT_TRUE(LoadLibraries());
        e = std::make_unique<TCustomFFmpeg>();
    }
    void TearDown() override {
        e.reset();
        FFLogger().SetLogLevel(llInfo);  // "loglevel" is process-wide
    }

    // The message of the raised parse error; also checks that it is the engine's error and
    // that LastError holds the same text.
    std::string ParseError(const std::string& options) {
        try {
            e->ParseOptions(options);
        } catch (const FFmpegException& ex) {
            EXPECT_EQ(e->LastError, ex.Message());
            return ex.Message();
        }
        ADD_FAILURE() << "no error for: " << options;
        return {};
    }
    std::string PresetError(const std::string& text) {
        try {
            e->ParsePresets(text);
        } catch (const FFmpegException& ex) {
            return ex.Message();
        }
        ADD_FAILURE() << "no error for: " << text;
        return {};
    }
    std::string CodecOpt(const char* key) const {
        const char* v = e->CodecOpts.value(key);
        return v ? v : "<none>";
    }
    std::string FormatOpt(const char* key) const {
        const char* v = e->FormatOpts.value(key);
        return v ? v : "<none>";
    }

    TLogCapture log;
    std::unique_ptr<TCustomFFmpeg> e;
};

template <class T> std::vector<std::pair<std::string, T>> Pairs(const TSpecifierList<T>& list) {
    std::vector<std::pair<std::string, T>> v;
    for (const auto& p : list)
        v.emplace_back(p.Specifier, p.Value);
    return v;
}
using TStrPairs = std::vector<std::pair<std::string, std::string>>;

TEST(OptionSplit, FollowsTheOldRuntimeRules) {
    struct Row {
        const char* text;
        std::vector<std::string> args;
    };
    const Row rows[] = {
        {"", {}},
        {"   \t ", {}},
        {" -f  psp\t-s 320x240 ", {"-f", "psp", "-s", "320x240"}},
        {R"(-metadata "title=a b  c")", {"-metadata", "title=a b  c"}},
        {R"(x"a b"y)", {"xa by"}},
        {R"("say \"hi\"")", {R"(say "hi")"}},
        {R"(a\\"b c")", {R"(a\b c)"}},  // 2n backslashes: n and a quote character
        {R"(a\\\"b)", {R"(a\"b)"}},     // 2n+1: n and a literal quote
        {R"(C:\dir\file)", {R"(C:\dir\file)"}},
        {R"(dir\\ x)", {R"(dir\\)", "x"}},  // not before a quote: literal
        {R"("a""b c")", {R"(a"b)", "c"}},   // a pair ends the quoted part
        {R"("")", {""}},
        {R"("open ended)", {"open ended"}},
        {"\xc3\xa9t\xc3\xa9 \"\xe6\x97\xa5 x\"", {"\xc3\xa9t\xc3\xa9", "\xe6\x97\xa5 x"}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(TCustomFFmpeg::SplitOptionString(r.text), r.args) << "row: " << r.text;
}

TEST_F(OptionsTest, TableHasEveryEntryOnceWithAConsistentTarget) {
    const auto& table = e->option_table();
    ASSERT_EQ(table.size(), 144u);
    std::set<std::string> names;
    TOptionsContext scratch;
    for (const TOptionDef& d : table) {
        SCOPED_TRACE(d.Name);
        EXPECT_TRUE(names.insert(d.Name).second) << "duplicate";
        const uint32_t kinds = d.Flags & ofValueKinds;
        // Handlers: no value kind, except "pre" whose flags carry the String bit.
        EXPECT_EQ(d.Handler != nullptr, !kinds || std::string(d.Name) == "pre");
        EXPECT_NE(d.Handler == nullptr, d.Slot == nullptr);
        if (d.Handler) continue;
        ASSERT_NE(d.Slot, nullptr);
        // Time values are stored as 64-bit integers.
        const int expected = (kinds & ofString)             ? 0
                             : (kinds & ofBool)             ? 1
                             : (kinds & ofInt)              ? 2
                             : (kinds & (ofInt64 | ofTime)) ? 3
                             : (kinds & ofFloat)            ? 4
                                                            : 5;
        EXPECT_EQ(int(d.Slot(*e, scratch, "").index()), expected);
        const bool in_context = d.Flags & (ofOffset | ofSpec);
        const TOptionSlot slot = d.Slot(*e, scratch, "");
        const void* p = std::visit([](auto* v) { return static_cast<const void*>(v); }, slot);
        const auto* ctx = reinterpret_cast<const char*>(&scratch);
        const bool points_into_context = p >= ctx && p < ctx + sizeof scratch;
        if (d.Flags & ofSpec)
            EXPECT_FALSE(points_into_context) << "a pair's value lives in the list";
        else
            EXPECT_EQ(points_into_context, in_context);
    }
    // A few rows whose flags decide parsing.
    const std::pair<const char*, uint32_t> rows[] = {
        {"L", 0x800},        {"pre", 0x809},  {"loglevel", 0x1},      {"f", 0x4009},
        {"i", 0x801},        {"c", 0x8009},   {"t", 0x14001},         {"q", 0x28005},
        {"pix_fmt", 0x801d}, {"ar", 0x80a1},  {"rmvol", 0x8121},      {"sn", 0x4202},
        {"dcodec", 0x3001},  {"vhook", 0x15}, {"TimeLength", 0x2005}, {"Join", 0x800},
        {"default", 0x35}};
    for (const auto& [name, flags] : rows) {
        const TOptionDef* d = e->find_option(name);
        ASSERT_NE(d, nullptr) << name;
        EXPECT_EQ(d->Flags, flags) << name;
    }
    EXPECT_STREQ(table.back().Name, "default");
}

TEST_F(OptionsTest, OptionStringsStoreTheirValues) {
    struct Row {
        const char* options;
        std::function<void(OptionsTest&)> check;
    };
    const Row rows[] = {
        {"-c:v mpeg4 -tag:v DIVX -vstrict unofficial",
         [](OptionsTest& t) {
             EXPECT_EQ(Pairs(t.e->OptionsContext.CodecNames), (TStrPairs{{"v", "mpeg4"}}));
             EXPECT_EQ(Pairs(t.e->OptionsContext.CodecTags), (TStrPairs{{"v", "DIVX"}}));
             EXPECT_EQ(t.CodecOpt("vstrict"), "unofficial");
             EXPECT_EQ(t.e->CodecOpts.count(), 1);
         }},
        {"-nostats -y -nocopyinkf:v",
         [](OptionsTest& t) {
             EXPECT_FALSE(t.e->GlobalOptions.PrintStats);
             EXPECT_TRUE(t.e->GlobalOptions.FileOverwrite);
             ASSERT_EQ(t.e->OptionsContext.CopyInitialNonKeyFrames.size(), 1u);
             EXPECT_EQ(t.e->OptionsContext.CopyInitialNonKeyFrames[0].Specifier, "v");
             EXPECT_FALSE(t.e->OptionsContext.CopyInitialNonKeyFrames[0].Value);
         }},
        {"-TimeStart 1.5 -TimeLength 2",
         [](OptionsTest& t) {
             EXPECT_EQ(t.e->OptionsContext.StartTime, 1500000);
             EXPECT_EQ(t.e->OptionsContext.RecordingTime, 2000000);
         }},
        {"-ss 3.25 -t 00:01:02.5 -timestart 0.25",
         [](OptionsTest& t) {
             EXPECT_EQ(t.e->OptionsContext.StartTime, 250000);  // the later start wins
             EXPECT_EQ(t.e->OptionsContext.RecordingTime, 62500000);
         }},
        {"-h -version -AudioHook -Join -f psp",
         [](OptionsTest& t) {
             EXPECT_EQ(t.e->OptionsContext.Format, "psp");
             EXPECT_TRUE(t.log.Contains("options \"h\" not supported, ignore", llWarning));
         }},
        {"-ar 24000 -ac:a 2 -r 15000/1001 -s 320x240 -q:v 2.5 -frames:v 10 -itsscale 0.5",
         [](OptionsTest& t) {
             const TOptionsContext& o = t.e->OptionsContext;
             EXPECT_EQ(Pairs(o.AudioSampleRate),
                       (std::vector<std::pair<std::string, int>>{{"", 24000}}));
             EXPECT_EQ(Pairs(o.AudioChannels),
                       (std::vector<std::pair<std::string, int>>{{"a", 2}}));
             EXPECT_EQ(Pairs(o.FrameRates), (TStrPairs{{"", "15000/1001"}}));
             EXPECT_EQ(Pairs(o.FrameSizes), (TStrPairs{{"", "320x240"}}));
             EXPECT_EQ(Pairs(o.QScale), (std::vector<std::pair<std::string, double>>{{"v", 2.5}}));
             EXPECT_EQ(Pairs(o.MaxFrames),
                       (std::vector<std::pair<std::string, int64_t>>{{"v", 10}}));
             EXPECT_EQ(Pairs(o.TSScale), (std::vector<std::pair<std::string, double>>{{"", 0.5}}));
         }},
        {"-vcodec mpeg4 -acodec mp2 -vframes 5 -aq 3 -vf null -vtag xvid -absf aac_adtstoasc "
         "-qscale 4 -qscale:a 5 -dcodec copy",
         [](OptionsTest& t) {
             const TOptionsContext& o = t.e->OptionsContext;
             EXPECT_EQ(t.e->GlobalOptions.VideoCodecName, "mpeg4");
             EXPECT_EQ(t.e->GlobalOptions.AudioCodecName, "mp2");
             EXPECT_EQ(Pairs(o.CodecNames),
                       (TStrPairs{{"v", "mpeg4"}, {"a", "mp2"}, {"d", "copy"}}));
             EXPECT_EQ(Pairs(o.MaxFrames),
                       (std::vector<std::pair<std::string, int64_t>>{{"v", 5}}));
             EXPECT_EQ(Pairs(o.QScale),
                       (std::vector<std::pair<std::string, double>>{{"a", 3}, {"v", 4}, {"a", 5}}));
             EXPECT_EQ(Pairs(o.Filters), (TStrPairs{{"v", "null"}}));
             EXPECT_EQ(Pairs(o.CodecTags), (TStrPairs{{"v", "xvid"}}));
             EXPECT_EQ(Pairs(o.BitstreamFilters), (TStrPairs{{"a", "aac_adtstoasc"}}));
             EXPECT_TRUE(
                 t.log.Contains("Please use -q:a or -q:v, -qscale is ambiguous", llWarning));
         }},
        {"-b 500k -b:a 64k -ab 96000 -vb 800000 -astrict experimental",
         [](OptionsTest& t) {
             EXPECT_EQ(t.CodecOpt("b:v"), "500k");
             EXPECT_EQ(t.CodecOpt("b:a"), "64k");
             EXPECT_EQ(t.CodecOpt("ab"), "96000");
             EXPECT_EQ(t.CodecOpt("vb"), "800000");
             EXPECT_EQ(t.CodecOpt("astrict"), "experimental");
             EXPECT_TRUE(t.log.Contains("Please use -b:a or -b:v, -b is ambiguous", llWarning));
         }},
        {"-flags +mv4 -flags +qpel -fflags +genpts -sws_flags bilinear",
         [](OptionsTest& t) {
             EXPECT_EQ(t.CodecOpt("flags"), "+mv4+qpel");  // flags values add up
             EXPECT_EQ(t.FormatOpt("fflags"), "+genpts");
             int64_t flags = 0;
             ASSERT_GE(ff::av_opt_get_int(t.e->SwsOpts.get(), "sws_flags", 0, &flags), 0);
             EXPECT_EQ(flags, SWS_BILINEAR);
         }},
        {"-streamid 3:77 -streamid 0:5 -vsync cfr -pass 2 -attach a.ttf -map_chapters 1",
         [](OptionsTest& t) {
             EXPECT_EQ(t.e->OptionsContext.StreamIdMap, (std::vector<int>{5, 0, 0, 77}));
             EXPECT_EQ(t.e->GlobalOptions.VideoSyncMethod, 1);
             EXPECT_EQ(t.e->GlobalOptions.DoPass, 2);
             EXPECT_EQ(t.e->OptionsContext.Attachments, (std::vector<std::string>{"a.ttf"}));
             EXPECT_EQ(t.e->OptionsContext.ChaptersInputFile, 1);
         }},
        {"-vsync PassThrough -adrift_threshold 0.25 -muxdelay 0.1 -vstats_file s.log",
         [](OptionsTest& t) {
             EXPECT_EQ(t.e->GlobalOptions.VideoSyncMethod, 0);
             EXPECT_FLOAT_EQ(t.e->GlobalOptions.AudioDriftThreshold, 0.25f);
             EXPECT_FLOAT_EQ(t.e->OptionsContext.MuxMaxDelay, 0.1f);
             EXPECT_EQ(t.e->GlobalOptions.VStatsFileName, "s.log");
         }},
        {"-timestamp 2012-05-01T10:00:00Z",
         [](OptionsTest& t) {
             ASSERT_EQ(t.e->OptionsContext.Metadata.size(), 1u);
             const std::string& m = t.e->OptionsContext.Metadata[0].Value;
             // The local rendering of 1335866400 s with the zone designation.
             time_t s = 1335866400;
             struct tm tm {};
             localtime_r(&s, &tm);
             char buf[32];
             std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
             EXPECT_EQ(m, std::string("creation_time=") + buf + " " + time_zone_text());
             EXPECT_TRUE(t.log.Contains(
                 "timestamp is deprecated, set the \"creation_time\" metadata tag instead.",
                 llWarning));
         }},
        {"-VideoHookBitsPixel 32",
         [](OptionsTest& t) {
             EXPECT_EQ(t.e->InputConverter.BitsPixel(), 32);
             EXPECT_EQ(t.e->OutputConverter.BitsPixel(), 32);
         }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.options);
        e = std::make_unique<TCustomFFmpeg>();
        log.Clear();
        EXPECT_NO_THROW(e->ParseOptions(r.options)) << e->LastError;
        r.check(*this);
    }
}

TEST_F(OptionsTest, LogLevelByNameOrNumberSetsTheLibraryLevel) {
    e->ParseOptions("-loglevel debug");
    EXPECT_EQ(ff::av_log_get_level(), AV_LOG_DEBUG);
    EXPECT_EQ(LibraryLogLevel(), AV_LOG_DEBUG);
    e->ParseOptions("-loglevel 16");
    EXPECT_EQ(ff::av_log_get_level(), AV_LOG_ERROR);
    e->ParseOptions("-v 48");
    EXPECT_EQ(ff::av_log_get_level(), AV_LOG_DEBUG);
    // The pre-scan applies the level before anything else, even after a failing option.
    ParseError("-nosuch x -v quiet");
    EXPECT_EQ(ff::av_log_get_level(), AV_LOG_QUIET);
}

TEST_F(OptionsTest, FailuresRaiseTheParserMessage) {
    const std::string levels =
        "Invalid loglevel \"loud\". Possible levels are numbers or:\r\n\"quiet\"\r\n\"panic\"\r\n"
        "\"fatal\"\r\n\"error\"\r\n\"warning\"\r\n\"info\"\r\n\"verbose\"\r\n\"debug\"\r\n";
    struct Row {
        const char* options;
        std::string message;
    };
    const Row rows[] = {
        {"-foo bar",
         "Unrecognized option \"foo\"\r\nFailed to set value \"bar\" for option \"foo\""},
        {"-nof x", "Unrecognized option \"nof\""},
        {"-f psp -s", "Missing argument for option \"s\""},
        {"-loglevel loud", levels + "\r\nFailed to set value \"loud\" for option \"loglevel\""},
        {"-i in.avi",
         "options \"i\" not supported\r\nFailed to set value \"in.avi\" for option \"i\""},
        {"-pre slow",
         "options \"pre\" not supported\r\nFailed to set value \"slow\" for option \"pre\""},
        {"-TimeLength abc", "'abc' is not a valid floating point value\r\n"
                            "Failed to set value \"abc\" for option \"TimeLength\""},
        {"-ss abc", "Invalid duration specification for ss: abc"},
        {"-ac two", "Expected integer for ac but found two"},
        {"-fs 1e9", "Expected int64 for fs but found 1e9"},
        {"-rmvol x", "Expected float for rmvol but found x"},
        {"-q:v 1..", "Expected double for q:v but found 1.."},
        {"-f psp stray", "Failed to parse options on stray"},
        {"-f psp \"\"", "Failed to parse options"},
        {"-streamid 7",
         "Invalid value \"7\" for option \"streamid\", required syntax is \"index:value\"\r\n"
         "Failed to set value \"7\" for option \"streamid\""},
        {"-streamid 1024:1",
         "The value for \"streamid\" was \"1024\" which is not within 0 - 1023\r\n"
         "Failed to set value \"1024:1\" for option \"streamid\""},
        {"-vsync cfr -vsync 3", "The value for \"vsync\" was \"3\" which is not within -1 - 2\r\n"
                                "Failed to set value \"3\" for option \"vsync\""},
        {"-pass 4", "The value for \"pass\" was \"4\" which is not within 1 - 3\r\n"
                    "Failed to set value \"4\" for option \"pass\""},
        {"-croptop 8", "Option \"croptop\" has been removed, use the crop filter instead\r\n"
                       "Failed to set value \"8\" for option \"croptop\""},
        {"-target pal-cd",
         "Unknown target: cd\r\nFailed to set value \"pal-cd\" for option \"target\""},
        {"-target dvd", "Could not determine norm (PAL/NTSC/NTSC-Film) for target.\r\n"
                        "Please prefix target with \"pal-\", \"ntsc-\" or \"film-\",\r\n"
                        "or set a framerate with \"-r xxx\"."},
        {"-fpre /nonexistent/x.ffpreset",
         "Preset file \"/nonexistent/x.ffpreset\" not found\r\n"
         "Failed to set value \"/nonexistent/x.ffpreset\" for option \"fpre\""},
        {"-vhook \"libnothere.so -x\"", "Failed to add video hook function: libnothere.so -x"},
        {"-VideoHookBitsPixel 12",
         "Invalid BitsPixel 12\r\nFailed to set value \"12\" for option \"VideoHookBitsPixel\""},
        {"-max_alloc lots",
         "Invalid max_alloc \"lots\".\r\nFailed to set value \"lots\" for option \"max_alloc\""},
        {"-timestamp yesterday", "Invalid date specification for timestamp: yesterday"},
    };
    for (const Row& r : rows) {
        e = std::make_unique<TCustomFFmpeg>();
        EXPECT_EQ(ParseError(r.options), r.message) << "row: " << r.options;
    }
    EXPECT_TRUE(log.Contains("options \"i\" not supported", llError));
    EXPECT_TRUE(log.Contains("Failed to parse options on stray", llFatal));
}

TEST_F(OptionsTest, OptionsBeforeAFailureKeepTheirEffect) {
    ParseError("-f psp -nosuch 1 -s 320x240");
    EXPECT_EQ(e->OptionsContext.Format, "psp");
    EXPECT_TRUE(e->OptionsContext.FrameSizes.empty());
    // A failed conversion leaves no half-made pair behind.
    ParseError("-ac 2 -ac:a x");
    EXPECT_EQ(e->OptionsContext.AudioChannels.size(), 1u);
}

TEST_F(OptionsTest, PresetTextAppliesItsLines) {
    e->ParsePresets("  b=500k<CRLF># a comment=1<CRLF>g=12\r\n\r\nvcodec=mpeg4\rACodec=mp2\n");
    EXPECT_EQ(CodecOpt("b"), "500k");
    EXPECT_EQ(CodecOpt("g"), "12");
    EXPECT_EQ(e->CodecOpts.count(), 2);
    EXPECT_EQ(Pairs(e->OptionsContext.CodecNames), (TStrPairs{{"v", "mpeg4"}, {"a", "mp2"}}));
    EXPECT_TRUE(log.ContainsText("ParsePresets: "));

    EXPECT_EQ(PresetError("g=12<CRLF> b "), "Invalid syntax: \"b\"");
    EXPECT_EQ(PresetError("=5"), "Invalid syntax: \"=5\"");
    EXPECT_EQ(PresetError("nosuch=1"),
              "Unrecognized option \"nosuch\"\r\n"
              "Invalid option or argument: \"nosuch=1\", parsed as \"nosuch\" = \"1\"");
}

TEST_F(OptionsTest, PresetFileAppliesItsLines) {
    const std::string good = (TempDir() / "good.ffpreset").string();
    const std::string bad = (TempDir() / "bad.ffpreset").string();
    std::ofstream(good) << "# video\n  vcodec=mpeg4 \n\nqmin=3\r\n";
    std::ofstream(bad) << "qmin=3\nbogus_name=1\nqmax=9\n";
    e->ParseOptions("-fpre \"" + good + "\"");
    EXPECT_EQ(Pairs(e->OptionsContext.CodecNames), (TStrPairs{{"v", "mpeg4"}}));
    EXPECT_EQ(CodecOpt("qmin"), "3");

    e = std::make_unique<TCustomFFmpeg>();
    EXPECT_EQ(ParseError("-vpre " + bad),
              "Unrecognized option \"bogus_name\"\r\n" + bad +
                  ": Invalid option or argument: \"bogus_name=1\", parsed as \"bogus_name\" = "
                  "\"1\"\r\nFailed to set value \"" +
                  bad + "\" for option \"vpre\"");
    EXPECT_EQ(CodecOpt("qmin"), "3");
    EXPECT_EQ(CodecOpt("qmax"), "<none>");  // the file ends at the failing line
}

TEST_F(OptionsTest, VideoHookHandsTheSplitArgumentToTheModuleList) {
    struct TRecordingHooks : TFrameHookModules {
        std::vector<std::vector<std::string>> added;
        int result = 0;
        int Add(const std::vector<std::string>& args) override {
            added.push_back(args);
            return result;
        }
        void Release() override { added.clear(); }
        bool Empty() const override { return added.empty(); }
        void Run(AVFrame*, int, int, int, int64_t) override {}
    };
    auto owned = std::make_unique<TRecordingHooks>();
    TRecordingHooks* hooks = owned.get();
    e->FrameHooks = std::move(owned);

    e->ParseOptions(R"(-vhook "libmark.so -t 5  -c red" -vhook "libmark.so|a b||c")");
    EXPECT_EQ(hooks->added,
              (std::vector<std::vector<std::string>>{{"libmark.so", "-t", "5", "-c", "red"},
                                                     {"libmark.so", "a b", "c"}}));
    EXPECT_TRUE(e->GlobalOptions.FrameHookPresent);

    hooks->result = -2;
    EXPECT_EQ(ParseError("-vhook libnoprocess.so"),
              "Failed to add video hook function: libnoprocess.so");
    e->clean_up();
    EXPECT_TRUE(hooks->Empty()) << "clean-up releases the modules";
}

TEST_F(OptionsTest, ResetAfterAnInputKeepsOnlyTheRecordingTime) {
    e->ParseOptions("-t 5 -f avi -vn -b:v 1k");
    e->reset_options(true);
    EXPECT_EQ(e->OptionsContext.RecordingTime, 5000000);
    EXPECT_EQ(e->OptionsContext.Format, "");
    EXPECT_FALSE(e->OptionsContext.VideoDisable);
    EXPECT_EQ(e->CodecOpts.get(), nullptr);
    EXPECT_NE(e->SwsOpts.get(), nullptr);
    e->reset_options(false);
    EXPECT_EQ(e->OptionsContext.RecordingTime, INT64_MAX);
    EXPECT_FLOAT_EQ(e->OptionsContext.MuxMaxDelay, 0.7f);
    EXPECT_EQ(e->OptionsContext.ChaptersInputFile, INT_MAX);
    e->clean_up();
    EXPECT_EQ(e->SwsOpts.get(), nullptr);  // clean-up only frees it
}

// Streams: 0 video, 1 audio, 2 video, 3 subtitle, 4 data, 5 attachment; program 7 holds 2, 1.
class SpecifierTest : public OptionsTest {
protected:
    void SetUp() override {
        OptionsTest::SetUp();
        ctx = ff::avformat_alloc_context();
        ASSERT_NE(ctx, nullptr);
        for (AVMediaType t : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_VIDEO,
                              AVMEDIA_TYPE_SUBTITLE, AVMEDIA_TYPE_DATA, AVMEDIA_TYPE_ATTACHMENT})
            ff::avformat_new_stream(ctx, nullptr)->codecpar->codec_type = t;
        AVProgram* p = ff::av_new_program(ctx, 7);
        ASSERT_NE(p, nullptr);
        // The program's list is the library's; fill it the way demuxers do.
        p->stream_index = static_cast<unsigned*>(ff::av_malloc(2 * sizeof(unsigned)));
        p->stream_index[0] = 2;
        p->stream_index[1] = 1;
        p->nb_stream_indexes = 2;
    }
    void TearDown() override {
        ff::avformat_free_context(ctx);
        OptionsTest::TearDown();
    }
    AVFormatContext* ctx = nullptr;
};

TEST_F(SpecifierTest, MatchesByIndexTypeAndProgram) {
    struct Row {
        const char* spec;
        std::vector<int> matches;  // per stream: 1, 0, or the error code
    };
    const int bad = AVERROR(EINVAL);
    const Row rows[] = {
        {"", {1, 1, 1, 1, 1, 1}},
        {"2", {0, 0, 1, 0, 0, 0}},
        {"9", {0, 0, 0, 0, 0, 0}},
        {"v", {1, 0, 1, 0, 0, 0}},
        {"a", {0, 1, 0, 0, 0, 0}},
        {"s", {0, 0, 0, 1, 0, 0}},
        {"d", {0, 0, 0, 0, 1, 0}},
        {"t", {0, 0, 0, 0, 0, 1}},
        {"v:1", {0, 0, 1, 0, 0, 0}},
        {"v:2", {0, 0, 0, 0, 0, 0}},
        {"p:7", {0, 1, 1, 0, 0, 0}},
        {"p:7:0", {0, 0, 1, 0, 0, 0}},
        {"p:7:2", {0, 0, 0, 0, 0, 0}},
        {"p:8", {0, 0, 0, 0, 0, 0}},
        {"x", {bad, bad, bad, bad, bad, bad}},
        {"v:x", {bad, bad, bad, bad, bad, bad}},
        {"vx", {bad, bad, bad, bad, bad, bad}},
        {"2a", {bad, bad, bad, bad, bad, bad}},
    };
    for (const Row& r : rows) {
        std::vector<int> got;
        for (unsigned i = 0; i < ctx->nb_streams; ++i)
            got.push_back(e->check_stream_specifier(ctx, ctx->streams[i], r.spec));
        EXPECT_EQ(got, r.matches) << "spec: \"" << r.spec << "\"";
    }
    EXPECT_TRUE(log.Contains("Invalid stream specifier: \"x\"", llError));
}

TEST_F(SpecifierTest, PerStreamLookupTakesTheLastMatch) {
    e->ParseOptions("-c copy -c:v mpeg4 -c:1 mp2 -c:v:1 h263");
    const auto& list = e->OptionsContext.CodecNames;
    const char* expected[] = {"mpeg4", "mp2", "h263", "copy", "copy", "copy"};
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        std::string v = "default";
        EXPECT_TRUE(e->match_per_stream_opt(list, ctx, ctx->streams[i], v));
        EXPECT_EQ(v, expected[i]) << "stream " << i;
    }
    e->ParseOptions("-ar:a 8000");
    int rate = -1;
    EXPECT_FALSE(
        e->match_per_stream_opt(e->OptionsContext.AudioSampleRate, ctx, ctx->streams[0], rate));
    EXPECT_EQ(rate, -1);  // not matched: the default stays

    e->ParseOptions("-s:q 10x10");
    std::string size;
    try {
        e->match_per_stream_opt(e->OptionsContext.FrameSizes, ctx, ctx->streams[0], size);
        ADD_FAILURE() << "no error";
    } catch (const FFmpegException& ex) {
        EXPECT_EQ(ex.Message(), error_text("check_stream_specifier", AVERROR(EINVAL)));
    }
}

// Handlers that need an opened input.
class InputOptionsTest : public OptionsTest {
protected:
    void SetUp() override {
        OptionsTest::SetUp();
        ASSERT_FALSE(MultiStreamClip().empty()) << "fixture clip";
        ASSERT_TRUE(AddInput(*e, MultiStreamClip()));
    }
    std::vector<std::vector<int>> Maps() const {
        std::vector<std::vector<int>> v;
        for (const TStreamMap& m : e->OptionsContext.StreamMaps)
            v.push_back(
                {m.Disabled, m.FileIndex, m.StreamIndex, m.SyncFileIndex, m.SyncStreamIndex});
        return v;
    }
};

TEST_F(InputOptionsTest, StreamMaps) {
    e->ParseOptions("-map 0:v -map -0:v:1");
    EXPECT_EQ(Maps(),
              (std::vector<std::vector<int>>{{0, 0, 0, 0, 0}, {1, 0, 1, 0, 1}, {0, 0, 3, 0, 3}}));
    e->reset_options(false);
    e->ParseOptions("-map 0:2,0:v:2 -map 0:0");
    EXPECT_EQ(Maps(), (std::vector<std::vector<int>>{{0, 0, 2, 0, 3}, {0, 0, 0, 0, 0}}));

    const std::pair<const char*, const char*> failures[] = {
        {"-map 1", "Invalid input file index: 1."},
        {"-map 0,2", "Invalid sync file index: 2."},
        {"-map 0,0:s", "Sync stream specification in map 0,0:s does not match any streams."},
        {"-map 0:s", "Stream map \"0:s\" matches no streams."},
        {"-map -0:a", "Stream map \"-0:a\" matches no streams."},
    };
    for (const auto& [options, message] : failures) {
        e->reset_options(false);
        EXPECT_EQ(ParseError(options), message) << "row: " << options;
    }
}

TEST_F(InputOptionsTest, AudioChannelMaps) {
    e->ParseOptions("-map_channel 0.2.1 -map_channel 0.2.0:1.0 -map_channel -1 "
                    "-map_channel -1:0.1");
    std::vector<std::vector<int>> got;
    for (const TAudioChannelMap& m : e->OptionsContext.AudioChannelMaps)
        got.push_back({m.FileIndex, m.StreamIndex, m.ChannelIndex, m.OFileIndex, m.OStreamIndex});
    EXPECT_EQ(got,
              (std::vector<std::vector<int>>{
                  {0, 2, 1, -1, -1}, {0, 2, 0, 1, 0}, {-1, -1, -1, -1, -1}, {-1, -1, -1, 0, 1}}));
    const std::pair<const char*, const char*> failures[] = {
        {"-map_channel x",
         "Syntax error, mapchan usage: [file.stream.channel|-1][:syncfile:syncstream]"},
        {"-map_channel 0.2",
         "Syntax error, mapchan usage: [file.stream.channel|-1][:syncfile:syncstream]"},
        {"-map_channel 1.2.0", "mapchan: invalid input file index: 1"},
        {"-map_channel 0.4.0", "mapchan: invalid input file stream index #0.4"},
        {"-map_channel 0.0.0", "mapchan: stream #0.0 is not an audio stream."},
        {"-map_channel 0.2.2", "mapchan: invalid audio channel #0.2.2"},
    };
    for (const auto& [options, message] : failures)
        EXPECT_EQ(ParseError(options), message) << "row: " << options;
}

TEST_F(InputOptionsTest, TargetPresets) {
    // No prefix: the 25 frames-per-second input decides.
    e->ParseOptions("-target dvd");
    EXPECT_TRUE(log.Contains("Assuming PAL for target.", llInfo));
    EXPECT_EQ(e->OptionsContext.Format, "dvd");
    EXPECT_EQ(Pairs(e->OptionsContext.CodecNames), (TStrPairs{{"v", "mpeg2video"}, {"a", "ac3"}}));
    EXPECT_EQ(Pairs(e->OptionsContext.FrameSizes), (TStrPairs{{"", "720x576"}}));
    EXPECT_EQ(Pairs(e->OptionsContext.FrameRates), (TStrPairs{{"", "25"}}));
    EXPECT_EQ(Pairs(e->OptionsContext.FramePixFmts), (TStrPairs{{"", "yuv420p"}}));
    EXPECT_EQ(Pairs(e->OptionsContext.AudioSampleRate),
              (std::vector<std::pair<std::string, int>>{{"", 48000}}));
    const std::pair<const char*, const char*> codec_opts[] = {
        {"g", "15"},      {"b:v", "6000000"},     {"maxrate", "9000000"},
        {"minrate", "0"}, {"bufsize", "1835008"}, {"b:a", "448000"}};
    for (const auto& [key, value] : codec_opts)
        EXPECT_EQ(CodecOpt(key), value) << key;
    EXPECT_EQ(FormatOpt("packetsize"), "2048");
    EXPECT_EQ(FormatOpt("muxrate"), "10080000");

    struct Row {
        const char* target;
        const char* size;
        const char* rate;
        const char* pix_fmt;  // "" when the target sets none
        const char* gop;
        float preload;
    };
    const Row rows[] = {
        {"ntsc-vcd", "352x240", "30000/1001", "", "18", 0.44f},
        {"pal-svcd", "480x576", "25", "yuv420p", "15", 0},
        {"film-dvd", "720x480", "24000/1001", "yuv420p", "18", 0},
        {"pal-dv", "720x576", "25", "yuv420p", "<none>", 0},
        {"ntsc-dv", "720x480", "30000/1001", "yuv411p", "<none>", 0},
        {"pal-dv50", "720x576", "25", "yuv422p", "<none>", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.target);
        e->reset_options(false);
        log.Clear();
        e->ParseOptions(std::string("-target ") + r.target);
        EXPECT_FALSE(log.ContainsText("Assuming"));  // a prefix needs no inspection
        EXPECT_EQ(Pairs(e->OptionsContext.FrameSizes), (TStrPairs{{"", r.size}}));
        EXPECT_EQ(Pairs(e->OptionsContext.FrameRates), (TStrPairs{{"", r.rate}}));
        const TStrPairs pix_fmts = *r.pix_fmt ? TStrPairs{{"", r.pix_fmt}} : TStrPairs{};
        EXPECT_EQ(Pairs(e->OptionsContext.FramePixFmts), pix_fmts);
        EXPECT_EQ(CodecOpt("g"), r.gop);
        EXPECT_FLOAT_EQ(e->OptionsContext.MuxPreload, r.preload);
    }
    EXPECT_EQ(CodecOpt("scan_offset"), "<none>");
    e->reset_options(false);
    e->ParseOptions("-target pal-svcd");
    EXPECT_EQ(CodecOpt("scan_offset"), "1");
    EXPECT_EQ(CodecOpt("flags"), "<none>");
}

}  // namespace
