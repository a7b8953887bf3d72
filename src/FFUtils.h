// Stateless helpers shared by the engine, the probing component and the player.
#pragma once

#include <cstdint>
#include <string>

// name + ": " + the code's message ("Error number %d occurred" for codes not in the table).
std::string error_text(const std::string& name, int code);
// The message alone.
std::string error_message(int code);

// "%.2d:%.2d:%.2d.%.3d" of a time in microseconds, "N/A" for AV_NOPTS_VALUE.
std::string duration_text(int64_t t_us);

// "UTC", or "UTC+HH:MM" / "UTC-HH:MM" for the local offset.
std::string time_zone_text();
// Local offset from UTC in days.
double local_time_offset();
// Local date-time number (days since 1899-12-30) of seconds since 1970-01-01 UTC.
double utc_seconds_to_local(int64_t s);

// "Video", "Audio", "Data", "Subtitle", "Attachment", "Unknown".
std::string media_type_name(int media_type);
