// Stateless helpers shared by the engine, the probing component and the player.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// name + ": " + the code's message ("Error number %d occurred" for codes not in the table).
std::string error_text(const std::string& name, int code);
// The message alone.
std::string error_message(int code);

// One row of the error-text table: a code, a second code with the same message (0 when there
// is none) and the message.
struct TErrorTextRow {
    int code;
    int alt_code;
    const char* message;
};
// The whole table, in its fixed order.
std::span<const TErrorTextRow> error_text_table();

// "%.2d:%.2d:%.2d.%.3d" of a time in microseconds (hours not limited to two digits), "N/A" for
// AV_NOPTS_VALUE. A negative time is written as "-" and the text of its magnitude.
std::string duration_text(int64_t t_us);

// "UTC", or "UTC+HH:MM" / "UTC-HH:MM" for the local offset.
std::string time_zone_text();
// Local offset from UTC in days, as it is now (daylight saving included).
double local_time_offset();
// Local date-time number (days since 1899-12-30) of seconds since 1970-01-01 UTC, with the
// offset that the time zone has at that instant.
double utc_seconds_to_local(int64_t s);

// "Video", "Audio", "Data", "Subtitle", "Attachment", "Unknown".
std::string media_type_name(int media_type);

// ---- Helpers over the loaded media libraries (need the libraries of src/FFLoad.h) ----

struct AVCodecContext;
struct AVDictionary;
struct SwsContext;
struct TFilterDef;

// The context's codec: "name(long name)" of the default encoder (`encoder`) or decoder of its
// codec id, or the name alone when the long name is blank. Without such a codec: "mpeg2ts"
// for the transport-stream id, else the name of the codec the context was set up with, else
// the codec tag as "XVID / 0x44495658" (four printable bytes, lowest first) or "0x0012".
std::string codec_description(const AVCodecContext* ctx, bool encoder);

// Value of the entry whose key is `key` (the whole key, compared as the library compares by
// default), or `default_value`.
std::string metadata_value(const AVDictionary* dict, const std::string& key,
                           const std::string& default_value);

// Registers a program-defined filter unless one of that name is registered already.
void register_filter_once(const TFilterDef& def);

// Frees the context `ctx` holds and puts a new 16x16 scaler context (pixel format 0 on both
// sides, `flags`) in its place: the holder of scaler options for the option parser. `ctx` is
// null when the scaler refuses.
void make_scaler_options(SwsContext*& ctx, int flags);
