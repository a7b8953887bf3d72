// Option strings, suffixes, frame size lists and output file names.
#include "TestFolders.h"

#include "app/GlobalObject.h"
#include "app/Presets.h"
#include "platform/IniFile.h"
#include "platform/OSServices.h"
#include "src/FFLoad.h"

#include <sys/stat.h>

#include <set>

namespace {

THasEncoder Encoders(std::set<std::string> names) {
    return [names = std::move(names)](const std::string& name) { return names.count(name) > 0; };
}

struct TOptionsRow {
    const char* format;
    int size_index;
    const char* size_text;
    const char* aac;
    int64_t audio_bit_rate;
    int64_t video_bit_rate;
    bool amr_nb; // the library has an AMR-NB encoder
    const char* options;
    const char* suffix;
};

TEST(BuildOutputOptions, StringsAndSuffixes) {
    const TOptionsRow rows[] = {
        {"PSP", 0, "Auto - Original", "libfaac", -1, -1, false,
         " -f psp -ar 24000 -r 15000/1001 -c:a libfaac -c:v mpeg4  -s 320x240", "_psp.mp4"},
        // The frame size chosen does not matter for PSP.
        {"PSP", 28, "1920x1080 - hd1080", "aac", -1, -1, false,
         " -f psp -ar 24000 -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4  -s 320x240",
         "_psp.mp4"},
        {"iPod", 0, "Auto - Original", "aac", -1, -1, false,
         " -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4  -s 320x240", "_ipod.mp4"},
        // 3GP: H.263 and, without an AMR-NB encoder, AAC; the list's size never counts.
        {"3GP", 0, "128x96 - sqcif", "aac", -1, -1, false,
         " -b:a 12.2k -ac 1 -ar 8000 -c:a aac -astrict experimental -c:v h263  -s 128x96", ".3gp"},
        {"3GP", 2, "352x288 - cif", "aac", -1, -1, false,
         " -b:a 12.2k -ac 1 -ar 8000 -c:a aac -astrict experimental -c:v h263  -s 128x96", ".3gp"},
        {"3GP", 0, "128x96 - sqcif", "aac", -1, -1, true,
         " -b:a 12.2k -ac 1 -ar 8000 -c:v h263  -s 128x96", ".3gp"},
        // The source audio bit rate comes last, after the preset's "-b:a".
        {"3GP", 0, "128x96 - sqcif", "aac", 12000, -1, true,
         " -b:a 12.2k -ac 1 -ar 8000 -c:v h263  -s 128x96  -ab 12000", ".3gp"},
        {"MP4", 0, "Auto - Original", "aac", -1, -1, false, "", ".mp4"},
        {"MP4", 0, "Auto - Original", "aac", 128000, 2500000, false, "  -ab 128000  -vb 2500000",
         ".mp4"},
        {"MP4", 0, "Auto - Original", "aac", 0, 0, false, "", ".mp4"},
        {"MOV", -1, "", "aac", -1, 800000, false, "  -vb 800000", ".mov"},
        {"AVI", 7, "640x480 - vga", "aac", -1, -1, false, "  -s 640x480", ".avi"},
        {"AVI", 7, "640x480", "aac", -1, -1, false, "  -s 640x480", ".avi"},
        {"MKV", 28, "1920x1080 - hd1080", "aac", -1, -1, false, " -c:v libx264  -s 1920x1080",
         ".mkv"},
        {"FLV", 0, "Auto - Original", "aac", -1, -1, false, " -ar 44100", ".flv"},
        {"SWF", 0, "Auto - Original", "aac", -1, -1, false, " -ar 44100", ".swf"},
        {"OGG", 0, "Auto - Original", "aac", -1, -1, false, " -c:a libvorbis -c:v libtheora",
         ".ogg"},
        {"WebM", 3, "352x288 - cif", "aac", -1, -1, false,
         " -f webm -c:a libvorbis -c:v libvpx  -s 352x288", ".webm"},
        {"WMV", 0, "Auto - Original", "aac", -1, -1, false, " -c:a wmav2 -c:v wmv2", ".wmv"},
        {"RM10", 0, "Auto - Original", "aac", -1, -1, false, " -c:v rv10", "_rv10.rm"},
        {"RM20", 0, "Auto - Original", "aac", -1, -1, false, " -c:v rv20", "_rv20.rm"},
        {"M1V", 0, "Auto - Original", "aac", -1, -1, false, "", ".m1v"},
        {"M2V", 0, "Auto - Original", "aac", -1, -1, false, "", ".m2v"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.format) + " / " + r.size_text + " / " + r.aac);
        const auto has = r.amr_nb ? Encoders({"libopencore_amrnb"}) : Encoders({});
        const TOutputPreset p = BuildOutputOptions(r.format, r.size_index, r.size_text, r.aac,
                                                   r.audio_bit_rate, r.video_bit_rate, has);
        EXPECT_EQ(p.Options, r.options);
        EXPECT_EQ(p.Suffix, r.suffix);
    }
}

TEST(BuildOutputOptions, EveryListedFormatHasARow) {
    ASSERT_EQ(OutputFormatNames(), (std::vector<std::string>{
                                       "3GP", "AVI", "FLV", "iPod", "MKV", "MOV", "MP4", "OGG",
                                       "PSP", "RM10", "RM20", "SWF", "WMV", "WebM", "M1V", "M2V"}));
}

TEST(AacEncoderName, FollowsTheLibrary) {
    EXPECT_EQ(AacEncoderName(Encoders({"libfaac", "aac"})), "libfaac");
    EXPECT_EQ(AacEncoderName(Encoders({"aac"})), "aac");
    EXPECT_EQ(AacEncoderName(Encoders({"libfdk_aac"})), "aac");
}

// The default question goes to the loaded media library; this build has the built-in AAC
// encoder and none of the external ones.
TEST(AacEncoderName, AsksTheLoadedLibrary) {
    EXPECT_FALSE(LibraryHasEncoder("aac")) << "avcodec is not loaded yet";
    ASSERT_TRUE(FFLoader().Load(TLibrarySet{liAVUtil, liAVCodec})) << FFLoader().LastErrorMessage();
    EXPECT_TRUE(LibraryHasEncoder("aac"));
    EXPECT_TRUE(LibraryHasEncoder("h263"));
    EXPECT_FALSE(LibraryHasEncoder("no-such-encoder"));
    EXPECT_EQ(AacEncoderName(), LibraryHasEncoder("libfaac") ? "libfaac" : "aac");
    FFLoader().Unload(TLibrarySet{liAVUtil, liAVCodec});
    EXPECT_FALSE(LibraryHasEncoder("aac")) << "unloaded again";
}

TEST(FrameSizes, ListsAndSelection) {
    EXPECT_EQ(FrameSizeEntries("3GP"),
              (std::vector<std::string>{"128x96 - sqcif", "176x144 - qcif", "352x288 - cif",
                                        "704x576 - 4cif"}));
    const auto general = FrameSizeEntries("MOV");
    ASSERT_EQ(general.size(), 29u);
    EXPECT_EQ(general.front(), "Auto - Original");
    EXPECT_EQ(general[15], "852x480 - wvga");
    EXPECT_EQ(general.back(), "1920x1080 - hd1080");

    struct Row {
        const char* format;
        int stored;
        int selected;
    } rows[] = {
        {"3GP", 0, 0},   {"3GP", 1, 1},   {"3GP", 3, 3},   {"3GP", 4, 0},
        {"3GP", 28, 0},  {"3GP", -1, 0},  {"3gp", 2, 2},   {"MOV", 0, 0},
        {"MOV", 28, 28}, {"AVI", 29, -1}, {"MP4", -1, -1}, {"WebM", 3, 3},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.format) + " " + std::to_string(r.stored));
        EXPECT_EQ(FrameSizeSelection(r.format, r.stored), r.selected);
    }
}

class MakeOutputFileNameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        global.SetIniFileName(folders.SettingsFile());
        folders.WriteSettings("");
    }

    void SetOutputDir(const std::string& dir) {
        TIniFile(folders.SettingsFile()).WriteString("settings", "OutPutDir", dir);
    }

    std::string Make(const std::string& input, const std::string& suffix) {
        return MakeOutputFileName(global, input, suffix,
                                  [this](const std::string& text, const std::string& caption,
                                         TMsgButtons buttons, TMsgIcon) {
                                      messages.push_back(caption + "|" + text);
                                      EXPECT_EQ(buttons, TMsgButtons::Ok);
                                      return int(mrOk);
                                  });
    }

    TTestFolders folders;
    TGlobalObject global;
    std::vector<std::string> messages;
};

TEST_F(MakeOutputFileNameTest, CountsUpPastExistingFilesOnly) {
    const std::string out = folders.home + "/out";
    SetOutputDir(out);
    EXPECT_EQ(Make("/videos/clip.avi", ".mp4"), out + "/clip_(new).mp4");
    EXPECT_TRUE(DirectoryExists(out)) << "a missing folder is created";

    // A folder of the first name does not block it.
    ASSERT_EQ(mkdir((out + "/clip_(new).mp4").c_str(), 0755), 0);
    EXPECT_EQ(Make("/videos/clip.avi", ".mp4"), out + "/clip_(new).mp4");
    rmdir((out + "/clip_(new).mp4").c_str());

    TTestFolders::Touch(out + "/clip_(new).mp4");
    EXPECT_EQ(Make("/videos/clip.avi", ".mp4"), out + "/clip_(new_1).mp4");
    TTestFolders::Touch(out + "/clip_(new_1).mp4");
    ASSERT_EQ(mkdir((out + "/clip_(new_2).mp4").c_str(), 0755), 0);
    EXPECT_EQ(Make("/videos/clip.avi", ".mp4"), out + "/clip_(new_2).mp4");
    TTestFolders::Touch(out + "/clip_(new_3).mp4");
    EXPECT_EQ(Make("/videos/clip.avi", ".mp4"), out + "/clip_(new_2).mp4")
        << "the first free number, not one past the highest";
    EXPECT_TRUE(messages.empty());
}

TEST_F(MakeOutputFileNameTest, BaseNamesAndFolderEnding) {
    const std::string out = folders.home + "/out";
    struct Row {
        const char* dir_setting;
        const char* input;
        const char* suffix;
        std::string expected;
    } rows[] = {
        {"/out", "/videos/my.video.avi", ".avi", out + "/my.video_(new).avi"},
        {"/out/", "/videos/clip.avi", ".mp4", out + "/clip_(new).mp4"},
        {"/out", "/videos/clip.avi", "_psp.mp4", out + "/clip_(new)_psp.mp4"},
        {"/out", "/videos/noext", ".mkv", out + "/noext_(new).mkv"},
        {"/out", "/vid.eos/clip", ".mkv", out + "/clip_(new).mkv"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.dir_setting) + " " + r.input);
        SetOutputDir(folders.home + r.dir_setting);
        EXPECT_EQ(Make(r.input, r.suffix), r.expected);
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(MakeOutputFileNameTest, MissingSettingUsesTheConverterFolder) {
    const std::string fallback = folders.home + "/videoconverter";
    EXPECT_EQ(Make("/videos/clip.avi", ".mp4"), fallback + "/clip_(new).mp4");
    EXPECT_TRUE(DirectoryExists(fallback));
    EXPECT_TRUE(messages.empty());
}

TEST_F(MakeOutputFileNameTest, UncreatableFolderFallsBackAndSaysSo) {
    // A folder below a regular file can never be created.
    TTestFolders::Touch(folders.home + "/blocker");
    const std::string bad = folders.home + "/blocker/out";
    SetOutputDir(bad);
    const std::string fallback = folders.home + "/videoconverter";

    EXPECT_EQ(Make("/videos/clip.avi", ".mp4"), fallback + "/clip_(new).mp4");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Warning|Cannot create output directory:" + bad +
                               ".It will create default directory " + fallback + "!");
    EXPECT_TRUE(DirectoryExists(fallback));
    EXPECT_EQ(TIniFile(folders.SettingsFile()).ReadString("settings", "OutPutDir", ""), fallback);
}

TEST(GlobalObject, SettersIgnoreUnsuitableValues) {
    TGlobalObject g;
    g.SetIniFileName("/a/b.ini");
    g.SetIniFileName("abc");
    EXPECT_EQ(g.IniFileName(), "/a/b.ini");
    g.SetIniFileName("/abc");
    EXPECT_EQ(g.IniFileName(), "/abc");

    g.SetProductTitle("Title ");
    g.SetProductTitle("");
    EXPECT_EQ(g.ProductTitle(), "Title ");
    g.SetVersionText(" 1.0 ");
    g.SetVersionText("");
    EXPECT_EQ(g.VersionText(), " 1.0 ");
    g.SetProductPageUrl("http://x/");
    g.SetProductPageUrl("");
    EXPECT_EQ(g.ProductPageUrl(), "http://x/");
}

TEST(GlobalObject, VersionText) {
    struct Row {
        unsigned v[4];
        const char* text;
    } rows[] = {
        {{1, 1, 0, 1}, " 1.101 "},
        {{2, 0, 3, 17}, " 2.0317 "},
        {{10, 12, 0, 0}, " 10.1200 "},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(FileVersionText(r.v[0], r.v[1], r.v[2], r.v[3]), r.text);
    }
    // The program's own version is the project version 1.1.0.1.
    EXPECT_EQ(TGlobalObject().GetFileVersionText(), " 1.101 ");
}

TEST(GlobalObject, FolderServices) {
    TTestFolders folders;
    TGlobalObject g;
    EXPECT_EQ(g.GetSpecialFolder(35), folders.config + "/");
    EXPECT_TRUE(g.IsFolderWritable(folders.home));
    EXPECT_FALSE(g.IsFolderWritable(folders.home + "/missing"));
    EXPECT_EQ(g.RightText("/out/", 1), "/");
    EXPECT_EQ(g.RightText("ab", 5), "ab");
    EXPECT_FALSE(g.GetUserLoginName().empty());
}

} // namespace
