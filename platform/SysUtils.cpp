#include "platform/SysUtils.h"

#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

[[noreturn]] void bad_format(std::string_view fmt) {
    throw Exception("Format '" + std::string(fmt) + "' invalid or incompatible with argument");
}

std::string pad(std::string s, int width, bool left) {
    if (width > 0 && static_cast<int>(s.size()) < width) {
        std::string fill(width - s.size(), ' ');
        s = left ? s + fill : fill + s;
    }
    return s;
}

// Integer digits with a minimum count (the precision), sign kept in front of the zeros.
std::string int_digits(bool negative, std::string digits, int prec) {
    if (prec > 0 && static_cast<int>(digits.size()) < prec)
        digits.insert(0, prec - digits.size(), '0');
    return negative ? "-" + digits : digits;
}

std::string thousands(const std::string& fixed) {
    // fixed is [-]digits[.digits]
    size_t start = fixed[0] == '-' ? 1 : 0;
    size_t dot = fixed.find('.');
    if (dot == std::string::npos) dot = fixed.size();
    std::string out = fixed.substr(dot);
    int n = 0;
    for (size_t i = dot; i > start; --i) {
        if (n > 0 && n % 3 == 0) out.insert(0, 1, ',');
        out.insert(0, 1, fixed[i - 1]);
        ++n;
    }
    return fixed.substr(0, start) + out;
}

double as_double(const TFormatArg& a, std::string_view fmt) {
    if (auto d = std::get_if<double>(&a.value)) return *d;
    if (auto i = std::get_if<int64_t>(&a.value)) return static_cast<double>(*i);
    if (auto u = std::get_if<uint64_t>(&a.value)) return static_cast<double>(*u);
    bad_format(fmt);
}

} // namespace

std::string FormatA(std::string_view fmt, const std::vector<TFormatArg>& args) {
    std::string out;
    size_t next = 0;
    size_t i = 0;
    while (i < fmt.size()) {
        char c = fmt[i++];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i >= fmt.size()) bad_format(fmt);
        if (fmt[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // %[index:][-][width][.prec]type
        size_t spec_start = i;
        int number = -1;
        auto read_number = [&]() -> int {
            if (i < fmt.size() && fmt[i] == '*') {
                ++i;
                if (next >= args.size()) bad_format(fmt);
                auto v = std::get_if<int64_t>(&args[next++].value);
                if (!v) bad_format(fmt);
                return static_cast<int>(*v);
            }
            int n = -1;
            while (i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i]))) {
                n = (n < 0 ? 0 : n * 10) + (fmt[i] - '0');
                if (n > 100000) bad_format(fmt);
                ++i;
            }
            return n;
        };
        number = read_number();
        if (i < fmt.size() && fmt[i] == ':') {
            if (number < 0) number = 0;
            next = static_cast<size_t>(number);
            ++i;
            number = -1;
        } else {
            i = spec_start;
            number = -1;
        }
        bool left = false;
        if (i < fmt.size() && fmt[i] == '-') {
            left = true;
            ++i;
        }
        int width = read_number();
        int prec = -1;
        if (i < fmt.size() && fmt[i] == '.') {
            ++i;
            prec = read_number();
            if (prec < 0) prec = 0;
        }
        if (i >= fmt.size()) bad_format(fmt);
        char type = static_cast<char>(std::tolower(static_cast<unsigned char>(fmt[i++])));
        if (next >= args.size()) bad_format(fmt);
        const TFormatArg& a = args[next++];
        std::string s;
        switch (type) {
        case 'd':
        case 'u': {
            if (auto v = std::get_if<int64_t>(&a.value)) {
                if (type == 'u' && *v < 0) {
                    s = int_digits(false, std::to_string(static_cast<uint32_t>(*v)), prec);
                } else {
                    uint64_t mag = *v < 0 ? 0 - static_cast<uint64_t>(*v) : uint64_t(*v);
                    s = int_digits(*v < 0, std::to_string(mag), prec);
                }
            } else if (auto u = std::get_if<uint64_t>(&a.value)) {
                s = int_digits(false, std::to_string(*u), prec);
            } else {
                bad_format(fmt);
            }
            break;
        }
        case 'x': {
            uint64_t v;
            if (auto p = std::get_if<int64_t>(&a.value))
                v = static_cast<uint64_t>(*p);
            else if (auto u = std::get_if<uint64_t>(&a.value))
                v = *u;
            else
                bad_format(fmt);
            char buf[32];
            std::snprintf(buf, sizeof buf, "%" PRIX64, v);
            s = int_digits(false, buf, prec);
            break;
        }
        case 'p': {
            auto p = std::get_if<const void*>(&a.value);
            if (!p) bad_format(fmt);
            char buf[32];
            // At least eight digits; a 64-bit address keeps all its digits.
            std::snprintf(buf, sizeof buf, "%08" PRIXPTR, reinterpret_cast<uintptr_t>(*p));
            s = buf;
            break;
        }
        case 'f':
        case 'n':
        case 'm': {
            double d = as_double(a, fmt);
            char buf[512];
            std::snprintf(buf, sizeof buf, "%.*f", prec < 0 ? 2 : std::min(prec, 18), d);
            s = type == 'f' ? std::string(buf) : thousands(buf);
            break;
        }
        case 'e': {
            double d = as_double(a, fmt);
            char buf[512];
            std::snprintf(buf, sizeof buf, "%.*E", (prec < 0 ? 15 : std::max(prec, 1)) - 1, d);
            s = buf;
            break;
        }
        case 'g': {
            double d = as_double(a, fmt);
            char buf[512];
            std::snprintf(buf, sizeof buf, "%.*G", prec < 0 ? 15 : std::max(prec, 1), d);
            s = buf;
            break;
        }
        case 's': {
            auto v = std::get_if<std::string>(&a.value);
            if (!v) bad_format(fmt);
            s = prec >= 0 && static_cast<size_t>(prec) < v->size() ? v->substr(0, prec) : *v;
            break;
        }
        default:
            bad_format(fmt);
        }
        out += pad(std::move(s), width, left);
    }
    return out;
}

std::string CFormatV(const char* fmt, va_list ap) {
    char small[1024];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_copy(copy, ap);
    std::vsnprintf(big.data(), big.size(), fmt, copy);
    va_end(copy);
    big.resize(n);
    return big;
}

std::string CFormat(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = CFormatV(fmt, ap);
    va_end(ap);
    return s;
}

std::string SysErrorMessage(int err) {
    char buf[256];
    // The GNU strerror_r returns the text (which may not be buf).
    return std::string(strerror_r(err, buf, sizeof buf));
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return std::string(s.substr(b, e - b));
}

std::string LowerCase(std::string_view s) {
    std::string r(s);
    for (auto& ch : r)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return r;
}

std::string UpperCase(std::string_view s) {
    std::string r(s);
    for (auto& ch : r)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    return r;
}

bool SameText(std::string_view a, std::string_view b) { return LowerCase(a) == LowerCase(b); }
