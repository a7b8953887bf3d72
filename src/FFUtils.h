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
