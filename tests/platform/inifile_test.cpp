#include "platform/IniFile.h"
#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class IniFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/velloran-ini-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        path_ = (dir_ / "velloran.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void WriteText(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string ReadText() const {
        std::ifstream f(path_, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(IniFileTest, WritingOneKeyKeepsEverythingElse) {
    WriteText("; settings of the program\r\n"
              "[settings]\r\n"
              "OutPutDir=/home/u/velloran\r\n"
              "outputformatindex=5\r\n"
              "\r\n"
              "[other]\r\n"
              "a=1\r\n"
              "b = two words \r\n");
    TIniFile ini(path_);
    ini.WriteInteger("settings", "outputformatindex", 7);
    ini.WriteString("new section", "key", "value");

    EXPECT_EQ(ini.ReadString("settings", "OutPutDir", "?"), "/home/u/velloran");
    EXPECT_EQ(ini.ReadInteger("settings", "outputformatindex", -1), 7);
    EXPECT_EQ(ini.ReadString("other", "a", "?"), "1");
    EXPECT_EQ(ini.ReadString("other", "b", "?"), "two words");
    EXPECT_EQ(ini.ReadString("new section", "key", "?"), "value");
    const std::string text = ReadText();
    EXPECT_NE(text.find("; settings of the program"), std::string::npos) << text;
    EXPECT_NE(text.find("outputformatindex=7"), std::string::npos) << text;
    EXPECT_EQ(text.find("outputformatindex=5"), std::string::npos) << text;
}

TEST_F(IniFileTest, NamesAreCaseInsensitiveAndQuotesAreStripped) {
    WriteText("[Settings]\nOutPutDir=\"  /spaced path  \"\n");
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("settings", "outputdir", "?"), "  /spaced path  ");
    ini.WriteString("SETTINGS", "OUTPUTDIR", " lead");
    EXPECT_EQ(ini.ReadString("Settings", "OutPutDir", "?"), " lead");
    // Updated in place, not added as a second key.
    const std::string text = ReadText();
    EXPECT_EQ(text.find("  /spaced path  "), std::string::npos) << text;
}

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesTheDefault) {
    TIniFile missing((dir_ / "absent.ini").string());
    EXPECT_EQ(missing.ReadString("settings", "OutPutDir", "/home/u/velloran"), "/home/u/velloran");
    EXPECT_EQ(missing.ReadInteger("settings", "framesizeindex", 3), 3);
    EXPECT_FALSE(fs::exists(dir_ / "absent.ini")); // reading creates nothing

    WriteText("[settings]\nempty=\nx=1\n");
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("nosection", "x", "def"), "def");
    EXPECT_EQ(ini.ReadString("settings", "nokey", "def"), "def");
    EXPECT_EQ(ini.ReadString("settings", "empty", "def"), ""); // present, empty
}

TEST_F(IniFileTest, IntegerParseRules) {
    struct Case {
        const char* text;
        int expected;
    };
    const int def = -99;
    const Case cases[] = {
        {"12", 12},
        {"-7", -7},
        {"+3", 3},
        {"  42  ", 42},
        {"0x1F", 31},
        {"0XfF", 255},
        {"0xFFFFFFFF", -1},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"2147483648", def},
        {"0x123456789", def},
        {"0x", def},
        {"12abc", def},
        {"1.5", def},
        {"abc", def},
        {"$1F", def},
        {"-", def},
        {"", def},
    };
    TIniFile ini(path_);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("value \"") + c.text + "\"");
        WriteText(std::string("[s]\nk=") + c.text + "\n");
        EXPECT_EQ(ini.ReadInteger("s", "k", def), c.expected);
    }
}

TEST_F(IniFileTest, UnwritablePathRaisesAndLeavesTheFileAlone) {
    for (const std::string& path :
         {(dir_ / "no-such-folder" / "x.ini").string(), std::string("/proc/velloran.ini")}) {
        SCOPED_TRACE(path);
        TIniFile ini(path);
        try {
            ini.WriteString("settings", "OutPutDir", "/x");
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Unable to write to " + path);
        }
    }

    // A line break would smuggle a key of its own into the file.
    WriteText("[settings]\noutputformatindex=1\n");
    TIniFile ini(path_);
    EXPECT_THROW(ini.WriteString("settings", "OutPutDir", "/x\n[settings]\noutputformatindex=9"),
                 Exception);
    EXPECT_EQ(ReadText(), "[settings]\noutputformatindex=1\n");
}

TEST_F(IniFileTest, WrittenFileIsPlainKeyEqualsValue) {
    TIniFile ini(path_);
    ini.WriteString("settings", "OutPutDir", "/home/u/v");
    ini.WriteInteger("settings", "outputformatindex", -3);
    EXPECT_EQ(ReadText(), "[settings]\nOutPutDir=/home/u/v\noutputformatindex=-3\n");
}

} // namespace
