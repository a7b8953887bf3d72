#include "platform/OSServices.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

// getenv/setenv are not safe against each other; every access of ours goes through this.
std::mutex& EnvLock() {
    static std::mutex m;
    return m;
}

std::string HomeFolder() {
    std::string home = GetEnvironmentVariable("HOME");
    if (!home.empty()) return home;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return {};
}

constexpr long kIso9660Magic = 0x9660;
constexpr long kUdfMagic = 0x15013346;
constexpr long kNfsMagic = 0x6969;
constexpr long kCifsMagic = 0xFF534D42;
constexpr long kSmbMagic = 0x517B;
constexpr long kSmb2Magic = 0xFE534D42;
constexpr long kTmpfsMagic = 0x01021994;
constexpr long kRamfsMagic = 0x858458F6;

} // namespace

std::string GetSpecialFolder(int csidl) {
    std::string path;
    switch (csidl) {
    case 35: {
        // Only an absolute XDG_CONFIG_HOME counts; a relative one is to be ignored.
        const std::string xdg = GetEnvironmentVariable("XDG_CONFIG_HOME");
        if (!xdg.empty() && xdg[0] == '/') {
            path = xdg;
        } else {
            const std::string home = HomeFolder();
            if (!home.empty()) path = IncludeTrailingPathDelimiter(home) + ".config";
        }
        break;
    }
    case 40:
        path = HomeFolder();
        break;
    default:
        break;
    }
    return IncludeTrailingPathDelimiter(path);
}

std::string GetUserLoginName() {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) != 0 || !result ||
        !result->pw_name)
        return {};
    return result->pw_name;
}

bool IsFolderWritable(const std::string& folder) {
    if (folder.empty()) return false;
    std::string templ = IncludeTrailingPathDelimiter(folder) + "DAXXXXXX";
    const int fd = mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return ::unlink(templ.c_str()) == 0;
}

std::string GetEnvironmentVariable(const std::string& name) {
    std::lock_guard lock(EnvLock());
    const char* v = std::getenv(name.c_str());
    return v ? std::string(v) : std::string();
}

bool SetEnvironmentVariable(const std::string& name, const std::string& value) {
    if (name.empty() || name.find('=') != std::string::npos) return false;
    std::lock_guard lock(EnvLock());
    if (value.empty()) return ::unsetenv(name.c_str()) == 0;
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

int GetDriveType(const std::string& path) {
    struct statfs fs {};
    if (path.empty() || ::statfs(path.c_str(), &fs) != 0) return dtNoRootDir;
    // f_type is signed on some ABIs; compare the 32-bit pattern.
    const long type = static_cast<long>(static_cast<uint32_t>(fs.f_type));
    switch (type) {
    case kIso9660Magic:
    case kUdfMagic:
        return dtCDROM;
    case kNfsMagic:
    case kCifsMagic:
    case kSmbMagic:
    case kSmb2Magic:
        return dtRemote;
    case kTmpfsMagic:
    case kRamfsMagic:
        return dtRamDisk;
    default:
        return dtFixed;
    }
}

std::string RightText(const std::string& text, int count) {
    if (count <= 0) return {};
    size_t pos = text.size();
    int chars = 0;
    // Walk back over whole characters: a character starts at any byte that is not 10xxxxxx.
    while (pos > 0 && chars < count) {
        --pos;
        while (pos > 0 && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80)
            --pos;
        ++chars;
    }
    return text.substr(pos);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
    if (path.empty()) return false;
    if (DirectoryExists(path)) return true;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const std::string parent = ExtractFilePath(p);
    if (!parent.empty() && parent != p && !ForceDirectories(parent)) return false;
    if (::mkdir(p.c_str(), 0777) == 0) return true;
    return errno == EEXIST && DirectoryExists(p);
}

std::string ExtractFilePath(const std::string& path) {
    const size_t pos = path.rfind('/');
    return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string ExtractFileName(const std::string& path) {
    const size_t pos = path.rfind('/');
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
    if (path.empty() || path.back() == '/') return path;
    return path + "/";
}

std::string ExecutableFolder() {
    std::vector<char> buf(PATH_MAX + 1);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return {};
    return ExtractFilePath(std::string(buf.data(), static_cast<size_t>(n)));
}
