#include "src/FFUtils.h"

#include "platform/SysUtils.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/error.h>
}

#include <ctime>

namespace {

// Codes are looked up by a linear scan: the table is small and only read on failures.
constexpr TErrorTextRow kErrorTexts[] = {
    // The media libraries' own codes.
    {AVERROR_MUXER_NOT_FOUND, 0, "Muxer not found"},
    {AVERROR_OPTION_NOT_FOUND, 0, "Option not found"},
    {AVERROR_EXIT, 0, "Immediate exit requested"},
    {AVERROR_STREAM_NOT_FOUND, 0, "Stream not found"},
    {AVERROR_PROTOCOL_NOT_FOUND, 0, "Protocol not found"},
    {AVERROR_UNKNOWN, 0, "Unknown error occurred"},
    {AVERROR_DEMUXER_NOT_FOUND, 0, "Demuxer not found"},
    {AVERROR_FILTER_NOT_FOUND, 0, "Filter not found"},
    {AVERROR_BSF_NOT_FOUND, 0, "Bitstream filter not found"},
    {AVERROR_PATCHWELCOME, 0, "Not yet implemented in FFmpeg, patches welcome"},
    {AVERROR_ENCODER_NOT_FOUND, 0, "Encoder not found"},
    {AVERROR_DECODER_NOT_FOUND, 0, "Decoder not found"},
    {AVERROR_INVALIDDATA, 0, "Invalid data found when processing input"},
    {AVERROR_BUG, 0, "Internal bug"},
    {AVERROR_EOF, 0, "End of file"},
    // System error numbers, negated; the second code is the socket code of the same meaning.
    {-1, 0, "Operation not permitted"},
    {-2, 0, "No such file or directory"},
    {-3, 0, "No such process"},
    {-4, -10004, "Interrupted function call"},
    {-5, 0, "I/O error"},
    {-6, 0, "No such device or address"},
    {-7, 0, "Argument list too long"},
    {-8, 0, "Exec format error"},
    {-9, -10009, "Bad file number"},
    {-10, 0, "No child processes"},
    {-11, 0, "Resource temporarily unavailable / Try again"},
    {-12, 0, "Not enough space / Out of memory"},
    {-13, -10013, "Permission denied"},
    {-14, -10014, "Bad address"},
    {-15, 0, "Block device required"},
    {-16, 0, "Device or resource busy"},
    {-17, 0, "File exists"},
    {-18, 0, "Cross-device link"},
    {-19, 0, "No such device"},
    {-20, 0, "Not a directory"},
    {-21, 0, "Is a directory"},
    {-22, -10022, "Invalid argument / Invalid data found when processing input"},
    {-23, 0, "Too many open files in system / File table overflow"},
    {-24, -10024, "Too many open files"},
    {-25, 0, "Inappropriate I/O control operation / Not a typewriter"},
    {-26, 0, "Text file busy"},
    {-27, 0, "File too large"},
    {-28, 0, "No space left on device"},
    {-29, 0, "Illegal seek"},
    {-30, 0, "Read-only file system"},
    {-31, 0, "Too many links"},
    {-32, 0, "Broken pipe"},
    {-33, 0, "Math argument out of domain of func"},
    {-34, 0, "Math result not representable"},
    {-35, 0, "Resource deadlock would occur"},
    {-36, -10063, "File name too long"},
    {-37, 0, "No record locks available"},
    {-38, 0, "Function not implemented"},
    {-39, -10066, "Directory not empty"},
    {-40, -10062, "Too many symbolic links encountered"},
    {-43, 0, "Identifier removed"},
    {-44, 0, "Channel number out of range"},
    {-45, 0, "Level 2 not synchronized"},
    {-46, 0, "Level 3 halted"},
    {-47, 0, "Level 3 reset"},
    {-48, 0, "Link number out of range"},
    {-49, 0, "Protocol driver not attached"},
    {-50, 0, "No CSI structure available"},
    {-51, 0, "Level 2 halted"},
    {-52, 0, "Invalid exchange"},
    {-53, 0, "Invalid request descriptor"},
    {-54, 0, "Exchange full"},
    {-55, 0, "No anode"},
    {-56, 0, "Invalid request code"},
    {-57, 0, "Invalid slot"},
    {-59, 0, "Bad font file format"},
    {-60, 0, "Device not a stream"},
    {-61, 0, "No data available"},
    {-62, 0, "Timer expired"},
    {-63, 0, "Out of streams resources"},
    {-64, 0, "Machine is not on the network"},
    {-65, 0, "Package not installed"},
    {-66, -10071, "Object is remote"},
    {-67, 0, "Link has been severed"},
    {-68, 0, "Advertise error"},
    {-69, 0, "Srmount error"},
    {-70, 0, "Communication error on send"},
    {-71, 0, "Protocol error"},
    {-72, 0, "Multihop attempted"},
    {-73, 0, "RFS specific error"},
    {-74, 0, "Not a data message"},
    {-75, 0, "Value too large for defined data type"},
    {-76, 0, "Name not unique on network"},
    {-77, 0, "File descriptor in bad state"},
    {-78, 0, "Remote address changed"},
    {-79, 0, "Can not access a needed shared library"},
    {-80, 0, "Accessing a corrupted shared library"},
    {-81, 0, ".lib section in a.out corrupted"},
    {-82, 0, "Attempting to link in too many shared libraries"},
    {-83, 0, "Cannot exec a shared library directly"},
    {-84, 0, "Illegal byte sequence"},
    {-85, 0, "Interrupted system call should be restarted"},
    {-86, 0, "Streams pipe error"},
    {-87, -10068, "Too many users"},
    {-88, -10038, "Socket operation on non-socket"},
    {-89, -10039, "Destination address required"},
    {-90, -10040, "Message too long"},
    {-91, -10041, "Protocol wrong type for socket"},
    {-92, -10042, "Protocol not available"},
    {-93, -10043, "Protocol not supported"},
    {-94, -10044, "Socket type not supported"},
    {-95, -10045, "Operation not supported on transport endpoint"},
    {-96, -10046, "Protocol family not supported"},
    {-97, -10047, "Address family not supported by protocol"},
    {-98, -10048, "Address already in use"},
    {-99, -10049, "Cannot assign requested address"},
    {-100, -10050, "Network is down"},
    {-101, -10051, "Network is unreachable"},
    {-102, -10052, "Network dropped connection because of reset"},
    {-103, -10053, "Software caused connection abort"},
    {-104, -10054, "Connection reset by peer"},
    {-105, -10055, "No buffer space available"},
    {-106, -10056, "Transport endpoint is already connected"},
    {-107, -10057, "Transport endpoint is not connected"},
    {-108, -10058, "Cannot send after transport endpoint shutdown"},
    {-109, -10059, "Too many references: cannot splice"},
    {-110, -10060, "Connection timed out"},
    {-111, -10061, "Connection refused"},
    {-112, -10064, "Host is down"},
    {-113, -10065, "No route to host"},
    {-114, -10037, "Operation already in progress"},
    {-115, -10036, "Operation now in progress"},
    {-116, -10070, "Stale NFS file handle"},
    {-117, 0, "Structure needs cleaning"},
    {-118, 0, "Not a XENIX named type file"},
    {-119, 0, "No XENIX semaphores available"},
    {-120, 0, "Is a named type file"},
    {-121, 0, "Remote I/O error"},
    {-122, -10069, "Quota exceeded"},
    {-123, 0, "No medium found"},
    {-124, 0, "Wrong medium type"},
    {-125, 0, "Operation Canceled"},
    {-126, 0, "Required key not available"},
    {-127, 0, "Key has expired"},
    {-128, 0, "Key has been revoked"},
    {-129, 0, "Key was rejected by service"},
    {-130, 0, "Owner died"},
    {-131, 0, "State not recoverable"},
    // Socket codes without a system counterpart.
    {-10035, 0, "WSAEWOULDBLOCK"},
    {-10067, 0, "WSAEPROCLIM"},
    {-10091, 0, "WSASYSNOTREADY"},
    {-10092, 0, "WSAVERNOTSUPPORTED"},
    {-10093, 0, "WSANOTINITIALISED"},
    {-10101, 0, "WSAEDISCON"},
    {-10102, 0, "WSAENOMORE"},
    {-10103, 0, "WSAECANCELLED"},
    {-10104, 0, "WSAEINVALIDPROCTABLE"},
    {-10105, 0, "WSAEINVALIDPROVIDER"},
    {-10106, 0, "WSAEPROVIDERFAILEDINIT"},
    {-10107, 0, "WSASYSCALLFAILURE"},
    {-10108, 0, "WSASERVICE_NOT_FOUND"},
    {-10109, 0, "WSATYPE_NOT_FOUND"},
    {-10110, 0, "WSA_E_NO_MORE"},
    {-10111, 0, "WSA_E_CANCELLED"},
    {-10112, 0, "WSAEREFUSED"},
    {-11001, 0, "WSAHOST_NOT_FOUND"},
    {-11002, 0, "WSATRY_AGAIN"},
    {-11003, 0, "WSANO_RECOVERY"},
    {-11004, 0, "WSANO_DATA"},
};

// The offset of local time from UTC at instant `t`, in seconds (positive east of UTC).
long utc_offset_seconds(time_t t) {
    tzset(); // follow changes of TZ made while the program runs
    struct tm local {};
    if (!localtime_r(&t, &local)) return 0;
    return local.tm_gmtoff;
}

} // namespace

std::span<const TErrorTextRow> error_text_table() {
    return kErrorTexts;
}

std::string error_message(int code) {
    if (code != 0) {
        for (const TErrorTextRow& row : kErrorTexts)
            if (row.code == code || row.alt_code == code) return row.message;
    }
    return Format("Error number %d occurred", code);
}

std::string error_text(const std::string& name, int code) {
    return name + ": " + error_message(code);
}

std::string duration_text(int64_t t_us) {
    if (t_us == AV_NOPTS_VALUE) return "N/A";
    // A negative time keeps its fields positive behind one sign, instead of a sign per field.
    const bool negative = t_us < 0;
    const uint64_t mag = negative ? 0 - static_cast<uint64_t>(t_us) : static_cast<uint64_t>(t_us);
    const uint64_t secs = mag / 1000000;
    const uint64_t ms = (mag % 1000000) * 1000 / 1000000;
    return (negative ? "-" : "") +
           Format("%.2d:%.2d:%.2d.%.3d", secs / 3600, (secs / 60) % 60, secs % 60, ms);
}

std::string time_zone_text() {
    const long offset = utc_offset_seconds(std::time(nullptr));
    if (offset == 0) return "UTC";
    const long mag = offset < 0 ? -offset : offset;
    return Format("%s%s%.2d:%.2d", "UTC", offset > 0 ? "+" : "-", mag / 3600, (mag % 3600) / 60);
}

double local_time_offset() {
    return utc_offset_seconds(std::time(nullptr)) / 86400.0;
}

double utc_seconds_to_local(int64_t s) {
    return utc_offset_seconds(static_cast<time_t>(s)) / 86400.0 + s / 86400.0 + 25569.0;
}

std::string media_type_name(int media_type) {
    switch (media_type) {
    case AVMEDIA_TYPE_VIDEO:
        return "Video";
    case AVMEDIA_TYPE_AUDIO:
        return "Audio";
    case AVMEDIA_TYPE_DATA:
        return "Data";
    case AVMEDIA_TYPE_SUBTITLE:
        return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT:
        return "Attachment";
    default:
        return "Unknown";
    }
}

// ---- Helpers over the loaded media libraries ----

#include "src/FFLoad.h"
#include "src/FilterRegistry.h"

#include <cstdio>

std::string codec_description(const AVCodecContext* ctx, bool encoder) {
    if (!ctx) return {};
    const AVCodec* codec = nullptr;
    if (encoder && ff::avcodec_find_encoder)
        codec = ff::avcodec_find_encoder(ctx->codec_id);
    else if (!encoder && ff::avcodec_find_decoder)
        codec = ff::avcodec_find_decoder(ctx->codec_id);
    if (codec) {
        std::string name = codec->name ? codec->name : "";
        std::string long_name = Trim(codec->long_name ? codec->long_name : "");
        return long_name.empty() ? name : name + "(" + long_name + ")";
    }
    if (ctx->codec_id == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
    // The context no longer carries a free-text codec name; the codec it was allocated or
    // opened with is what remains of it.
    if (ctx->codec && ctx->codec->name) {
        std::string name = Trim(ctx->codec->name);
        if (!name.empty()) return name;
    }
    const unsigned tag = ctx->codec_tag;
    char text[32];
    bool printable = true;
    for (int i = 0; i < 4; ++i) {
        unsigned c = (tag >> (8 * i)) & 0xFF;
        if (c < 32 || c > 126) printable = false;
    }
    if (printable)
        std::snprintf(text, sizeof text, "%c%c%c%c / 0x%04X", char(tag & 0xFF),
                      char((tag >> 8) & 0xFF), char((tag >> 16) & 0xFF), char((tag >> 24) & 0xFF),
                      tag);
    else
        std::snprintf(text, sizeof text, "0x%04X", tag);
    return text;
}

std::string metadata_value(const AVDictionary* dict, const std::string& key,
                           const std::string& default_value) {
    if (!dict || !ff::av_dict_get) return default_value;
    const AVDictionaryEntry* e = ff::av_dict_get(dict, key.c_str(), nullptr, 0);
    return e && e->value ? std::string(e->value) : default_value;
}

void register_filter_once(const TFilterDef& def) { RegisterProgramFilter(def); }

void make_scaler_options(SwsContext*& ctx, int flags) {
    if (ctx) ff::sws_freeContext(ctx);
    ctx = ff::sws_getContext(16, 16, AVPixelFormat(0), 16, 16, AVPixelFormat(0), flags, nullptr,
                             nullptr, nullptr);
}
