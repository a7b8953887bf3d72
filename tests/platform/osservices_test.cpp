#include "platform/OSServices.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

namespace fs = std::filesystem;

namespace {

// Sets or removes an environment variable for one scope and puts the old value back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class TempDir {
  public:
    TempDir() {
        char templ[] = "/tmp/velloran-os-XXXXXX";
        if (mkdtemp(templ)) path_ = templ;
    }
    ~TempDir() {
        if (!path_.empty()) {
            chmod(path_.c_str(), 0700);
            fs::remove_all(path_);
        }
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

bool HasDaFile(const std::string& dir) {
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind("DA", 0) == 0) return true;
    return false;
}

TEST(OSServices, SpecialFolders) {
    ScopedEnv home("HOME", "/home/tester");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/srv/conf");
        EXPECT_EQ(GetSpecialFolder(35), "/srv/conf/");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/srv/conf/");
        EXPECT_EQ(GetSpecialFolder(35), "/srv/conf/"); // no doubled delimiter
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        EXPECT_EQ(GetSpecialFolder(35), "/home/tester/.config/");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/conf"); // not absolute: ignored
        EXPECT_EQ(GetSpecialFolder(35), "/home/tester/.config/");
    }
    EXPECT_EQ(GetSpecialFolder(40), "/home/tester/");
    EXPECT_EQ(GetSpecialFolder(12345), "");
}

TEST(OSServices, FolderWritableTest) {
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    EXPECT_TRUE(IsFolderWritable(tmp.path()));
    EXPECT_TRUE(IsFolderWritable(tmp.path() + "/"));
    EXPECT_FALSE(HasDaFile(tmp.path())) << "the probe file was left behind";

    EXPECT_FALSE(IsFolderWritable(tmp.path() + "/missing"));
    EXPECT_FALSE(IsFolderWritable(""));
    EXPECT_FALSE(IsFolderWritable("/proc")); // no files can be created there, not even by root
}

TEST(OSServices, ReadOnlyFolderIsNotWritable) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders; covered by /proc";
    TempDir tmp;
    ASSERT_EQ(chmod(tmp.path().c_str(), 0500), 0);
    EXPECT_FALSE(IsFolderWritable(tmp.path()));
}

TEST(OSServices, RightTextCountsCharacters) {
    struct Case {
        std::string text;
        int count;
        std::string expected;
    };
    const Case cases[] = {
        {"c:\\velloran", 1, "n"},
        {"/home/u/", 1, "/"},
        {"abc", 2, "bc"},
        {"abc", 3, "abc"},
        {"abc", 10, "abc"},
        {"abc", 0, ""},
        {"abc", -1, ""},
        {"", 1, ""},
        {"na\xC3\xAFve", 3, "\xC3\xAFve"},    // two-byte character counts once
        {"x\xE2\x82\xAC", 1, "\xE2\x82\xAC"}, // three-byte euro sign
        {"\xF0\x9F\x8E\xAC!", 2, "\xF0\x9F\x8E\xAC!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "\"" << c.text << "\", " << c.count);
        EXPECT_EQ(RightText(c.text, c.count), c.expected);
    }
}

TEST(OSServices, DriveTypes) {
    const int root = GetDriveType("/");
    EXPECT_NE(root, dtCDROM);
    EXPECT_NE(root, dtNoRootDir);
    EXPECT_NE(root, dtUnknown);
    EXPECT_EQ(GetDriveType("/no/such/path/velloran"), dtNoRootDir);
    EXPECT_EQ(GetDriveType(""), dtNoRootDir);
}

TEST(OSServices, EnvironmentVariables) {
    ScopedEnv guard("VELLORAN_TEST_VAR", nullptr);
    EXPECT_EQ(GetEnvironmentVariable("VELLORAN_TEST_VAR"), "");
    EXPECT_TRUE(SetEnvironmentVariable("VELLORAN_TEST_VAR", "dummy"));
    EXPECT_EQ(GetEnvironmentVariable("VELLORAN_TEST_VAR"), "dummy");
    EXPECT_STREQ(std::getenv("VELLORAN_TEST_VAR"), "dummy"); // really in the environment
    EXPECT_TRUE(SetEnvironmentVariable("VELLORAN_TEST_VAR", ""));
    EXPECT_EQ(std::getenv("VELLORAN_TEST_VAR"), nullptr); // empty removes it
    EXPECT_FALSE(SetEnvironmentVariable("", "x"));
    EXPECT_FALSE(SetEnvironmentVariable("A=B", "x"));
}

TEST(OSServices, UserLoginNameMatchesTheSystem) {
    FILE* p = popen("id -un", "r");
    ASSERT_NE(p, nullptr);
    char buf[256] = {};
    const bool got = fgets(buf, sizeof buf, p) != nullptr;
    pclose(p);
    ASSERT_TRUE(got);
    std::string expected(buf);
    while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r'))
        expected.pop_back();
    EXPECT_EQ(GetUserLoginName(), expected);
}

TEST(OSServices, PathHelpers) {
    struct Case {
        std::string path, dir, name, with_delim;
    };
    const Case cases[] = {
        {"/home/u/video.mp4", "/home/u/", "video.mp4", "/home/u/video.mp4/"},
        {"/home/u/", "/home/u/", "", "/home/u/"},
        {"video.mp4", "", "video.mp4", "video.mp4/"},
        {"/", "/", "", "/"},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ExtractFilePath(c.path), c.dir);
        EXPECT_EQ(ExtractFileName(c.path), c.name);
        EXPECT_EQ(IncludeTrailingPathDelimiter(c.path), c.with_delim);
    }
}

TEST(OSServices, FoldersAndFiles) {
    TempDir tmp;
    const std::string nested = tmp.path() + "/a/b/c/";
    EXPECT_FALSE(DirectoryExists(nested));
    EXPECT_TRUE(ForceDirectories(nested));
    EXPECT_TRUE(DirectoryExists(tmp.path() + "/a/b/c"));
    EXPECT_TRUE(ForceDirectories(nested)); // already there
    EXPECT_FALSE(FileExists(nested));      // a folder is not a file

    const std::string file = tmp.path() + "/a/f.txt";
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(DirectoryExists(file));
    EXPECT_FALSE(ForceDirectories(file + "/sub")); // a file is in the way
    EXPECT_FALSE(ForceDirectories(""));
    EXPECT_FALSE(ForceDirectories("/proc/velloran/x"));

    const std::string exe_dir = ExecutableFolder();
    ASSERT_FALSE(exe_dir.empty());
    EXPECT_EQ(exe_dir.back(), '/');
    EXPECT_TRUE(FileExists(exe_dir + "platform_tests"));
}

} // namespace
