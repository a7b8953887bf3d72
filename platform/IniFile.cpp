#include "platform/IniFile.h"

#include "platform/SysUtils.h"

// Narrow (UTF-8) strings only, so no wide-character converter is needed. Debian's header keeps
// the template bodies behind SI_IMPLEMENTATION; compiling them here avoids linking the shared
// library and its ICU dependency.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>

namespace {

// Windows INI rules: case-insensitive names, one value per key, "key=value" when written,
// a pair of quotes around a value is not part of it.
void Configure(CSimpleIniA& ini) {
    ini.SetUnicode(true);
    ini.SetMultiKey(false);
    ini.SetMultiLine(false);
    ini.SetSpaces(false);
    ini.SetQuotes(true);
}

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};

// Loads the file into `ini`. Returns false only when the file exists but cannot be read.
bool Load(CSimpleIniA& ini, const std::string& file_name) {
    Configure(ini);
    std::unique_ptr<FILE, FileCloser> f(std::fopen(file_name.c_str(), "rb"));
    if (!f) return errno == ENOENT;
    return ini.LoadFile(f.get()) >= 0;
}

// Decimal with an optional sign, or "0x"/"0X" with up to eight hexadecimal digits taken as a
// 32-bit pattern (so "0xFFFFFFFF" is -1).
bool ParseInteger(const std::string& s, int& out) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        uint64_t v = 0;
        if (s.size() - 2 > 8) return false;
        for (size_t i = 2; i < s.size(); ++i) {
            const char c = s[i];
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return false;
            v = v * 16 + d;
        }
        out = static_cast<int>(static_cast<uint32_t>(v));
        return true;
    }
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i == s.size()) return false;
    int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
        if (v > int64_t(std::numeric_limits<int>::max()) + 1) return false;
    }
    if (negative) v = -v;
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) return false;
    out = static_cast<int>(v);
    return true;
}

} // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
    CSimpleIniA ini;
    if (!Load(ini, file_name_)) return def;
    const char* value = ini.GetValue(section.c_str(), key.c_str(), nullptr);
    return value ? std::string(value) : def;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
    const std::string text = Trim(ReadString(section, key, {}));
    int value;
    return ParseInteger(text, value) ? value : def;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    const auto fail = [this] { throw Exception(Format("Unable to write to %s", file_name_)); };
    // A line break would end the line early and turn the rest into keys of its own.
    for (const std::string* part : {&section, &key, &value})
        if (part->find_first_of("\r\n") != std::string::npos) fail();
    if (Trim(key).empty()) fail();
    CSimpleIniA ini;
    // A file that exists but cannot be read is not overwritten: its other keys would be lost.
    if (!Load(ini, file_name_)) fail();
    if (ini.SetValue(section.c_str(), key.c_str(), value.c_str()) < 0) fail();
    std::string text;
    if (ini.Save(text) < 0) fail();

    std::unique_ptr<FILE, FileCloser> f(std::fopen(file_name_.c_str(), "wb"));
    if (!f) fail();
    const bool written = std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
    const bool closed = std::fclose(f.release()) == 0;
    if (!written || !closed) fail();
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}
