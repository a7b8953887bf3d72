#include "src/FFUtils.h"

extern "C" {
#include <libavutil/avutil.h>
}

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <set>

namespace {

TEST(ErrorText, KnownAndUnknownCodes) {
    struct Row {
        int code;
        const char* message;
    } rows[] = {
        {-2, "No such file or directory"},
        {-10060, "Connection timed out"},
        {-110, "Connection timed out"},
        {-22, "Invalid argument / Invalid data found when processing input"},
        {-10022, "Invalid argument / Invalid data found when processing input"},
        {-131, "State not recoverable"},
        {-10035, "WSAEWOULDBLOCK"},
        {-11004, "WSANO_DATA"},
        // The library's own codes, by their numbers.
        {-1481985528, "Muxer not found"},
        {-1414549496, "Option not found"},
        {-1414092869, "Immediate exit requested"},
        {-1381258232, "Stream not found"},
        {-1330794744, "Protocol not found"},
        {-1313558101, "Unknown error occurred"},
        {-1296385272, "Demuxer not found"},
        {-1279870712, "Filter not found"},
        {-1179861752, "Bitstream filter not found"},
        {-1163346256, "Not yet implemented in FFmpeg, patches welcome"},
        {-1129203192, "Encoder not found"},
        {-1128613112, "Decoder not found"},
        {-1094995529, "Invalid data found when processing input"},
        {-558323010, "Internal bug"},
        {-541478725, "End of file"},
        // Not in the table: gaps, zero, positive numbers.
        {-99999, "Error number -99999 occurred"},
        {-41, "Error number -41 occurred"},
        {-58, "Error number -58 occurred"},
        {0, "Error number 0 occurred"},
        {2, "Error number 2 occurred"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(error_message(r.code), r.message) << "code " << r.code;
        EXPECT_EQ(error_text("name", r.code), std::string("name: ") + r.message)
            << "code " << r.code;
    }
}

TEST(ErrorText, TableHas164RowsAnd205DistinctCodes) {
    auto table = error_text_table();
    EXPECT_EQ(table.size(), 164u);
    std::set<int> codes;
    size_t count = 0;
    for (const TErrorTextRow& row : table) {
        for (int code : {row.code, row.alt_code}) {
            if (code == 0) continue;
            ++count;
            EXPECT_LT(code, 0) << row.message;
            codes.insert(code);
            // Each code finds its own row, so no code is listed twice.
            EXPECT_EQ(error_message(code), row.message) << "code " << code;
        }
    }
    EXPECT_EQ(count, 205u);
    EXPECT_EQ(codes.size(), 205u);
}

TEST(DurationText, Table) {
    struct Row {
        int64_t t_us;
        const char* text;
    } rows[] = {
        {3723500000, "01:02:03.500"}, {360000000000, "100:00:00.000"}, {0, "00:00:00.000"},
        {999, "00:00:00.000"},        {1999, "00:00:00.001"},          {59999999, "00:00:59.999"},
        {3600000000, "01:00:00.000"}, {-1500000, "-00:00:01.500"},     {AV_NOPTS_VALUE, "N/A"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(duration_text(r.t_us), r.text) << "t_us " << r.t_us;
}

// Sets TZ for one scope and restores the previous value.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    std::optional<std::string> old_;
};

TEST(TimeZone, TextAndOffsets) {
    struct Row {
        const char* tz; // POSIX: the sign is that of UTC minus local time
        const char* text;
        double offset_hours;
    } rows[] = {
        {"UTC", "UTC", 0},
        {"UTC0", "UTC", 0},
        {"UTC-1", "UTC+01:00", 1},
        {"EST5", "UTC-05:00", -5},
        {"IST-5:30", "UTC+05:30", 5.5},
        {"NST3:30", "UTC-03:30", -3.5},
        {"XYZ-14", "UTC+14:00", 14},
    };
    for (const Row& r : rows) {
        ScopedTimeZone zone(r.tz);
        EXPECT_EQ(time_zone_text(), r.text) << r.tz;
        EXPECT_DOUBLE_EQ(local_time_offset(), r.offset_hours / 24) << r.tz;
        EXPECT_DOUBLE_EQ(utc_seconds_to_local(0), 25569 + r.offset_hours / 24) << r.tz;
    }
}

TEST(TimeZone, LocalTimeUsesTheOffsetOfThatInstant) {
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    struct Row {
        int64_t utc_s;
        double expected;
    } rows[] = {
        {1579046400, 43845.0 + 1.0 / 24}, // 2020-01-15 00:00 UTC, winter: one hour ahead
        {1594771200, 44027.0 + 2.0 / 24}, // 2020-07-15 00:00 UTC, summer: two hours ahead
        {1594814400, 44027.5 + 2.0 / 24}, // 2020-07-15 12:00 UTC
    };
    for (const Row& r : rows)
        EXPECT_NEAR(utc_seconds_to_local(r.utc_s), r.expected, 1e-9) << r.utc_s;
}

TEST(MediaTypeName, Table) {
    struct Row {
        int type;
        const char* name;
    } rows[] = {{AVMEDIA_TYPE_UNKNOWN, "Unknown"},
                {0, "Video"},
                {1, "Audio"},
                {2, "Data"},
                {3, "Subtitle"},
                {4, "Attachment"},
                {AVMEDIA_TYPE_NB, "Unknown"},
                {99, "Unknown"}};
    for (const Row& r : rows)
        EXPECT_EQ(media_type_name(r.type), r.name) << "type " << r.type;
}

} // namespace
