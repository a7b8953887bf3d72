// Root object, exceptions and the message formatter shared by every layer.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// Root of every type passed as `Sender`.
class TObject {
public:
    virtual ~TObject() = default;
};

// General exception; `Message()` is the text shown to the user or logged.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& msg) : std::runtime_error(msg) {}
    std::string Message() const { return what(); }
};

class EAssertionFailed : public Exception {
public:
    using Exception::Exception;
};

// Index outside a list.
class EListError : public Exception {
public:
    using Exception::Exception;
};

// An operating-system call failed; `ErrorCode` is the errno value.
class EOSError : public Exception {
public:
    EOSError(const std::string& msg, int code) : Exception(msg), ErrorCode(code) {}
    int ErrorCode;
};

// One argument of Format. Pointers are formatted by "%p" only.
struct TFormatArg {
    std::variant<int64_t, uint64_t, double, std::string, const void*> value;
    TFormatArg(int v) : value(int64_t(v)) {}
    TFormatArg(long v) : value(int64_t(v)) {}
    TFormatArg(long long v) : value(int64_t(v)) {}
    TFormatArg(unsigned v) : value(uint64_t(v)) {}
    TFormatArg(unsigned long v) : value(uint64_t(v)) {}
    TFormatArg(unsigned long long v) : value(uint64_t(v)) {}
    TFormatArg(double v) : value(v) {}
    TFormatArg(const char* v) : value(std::string(v ? v : "")) {}
    TFormatArg(std::string v) : value(std::move(v)) {}
    TFormatArg(std::string_view v) : value(std::string(v)) {}
    TFormatArg(const void* v) : value(v) {}
};

// Message formatting with the platform's rules (not C's): "%f" without precision writes two
// decimals, "%x" writes upper-case digits, "%p" writes eight upper-case hexadecimal digits,
// "%d"/"%u"/"%s"/"%e"/"%g"/"%n"/"%m" with optional "-", width and ".precision"; "%%" is a
// percent sign. "%.2d" pads integers with zeros to the precision. A missing or mismatched
// argument raises Exception("Format '%s' invalid or incompatible with argument").
std::string FormatA(std::string_view fmt, const std::vector<TFormatArg>& args);

template <class... A> std::string Format(std::string_view fmt, const A&... args) {
    return FormatA(fmt, std::vector<TFormatArg>{TFormatArg(args)...});
}

// C formatting (printf rules), for report lines and statistics files.
std::string CFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string CFormatV(const char* fmt, va_list ap);

// The system's text for an errno value.
std::string SysErrorMessage(int err);

std::string Trim(std::string_view s);
std::string LowerCase(std::string_view s);
std::string UpperCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
