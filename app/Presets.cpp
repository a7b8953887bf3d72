#include "app/Presets.h"

#include "app/GlobalObject.h"
#include "platform/IniFile.h"
#include "platform/OSServices.h"
#include "platform/SysUtils.h"
#include "src/FFLoad.h"

#include <array>

namespace {

// One row of the preset table. Empty texts set nothing; `fixed_size` replaces the frame size
// chosen in the list; an empty suffix keeps "." + the format name in lower case.
struct TFormatPreset {
    const char* name;
    const char* suffix;
    const char* leading;
    const char* channels;
    const char* sample_rate;
    const char* frame_rate;
    const char* audio_codec;
    bool aac; // the audio codec is the AAC encoder name given
    const char* video_codec;
    const char* fixed_size;
};

// 3GP: this library build gives "h263p" no codec tag in the 3GP container and has no encoder
// for the container's default audio codec (AMR-NB). The row therefore uses "h263" (128x96 is
// a valid H.263 size) and, without an AMR-NB encoder, the AAC encoder (BuildOutputOptions).
constexpr std::array<TFormatPreset, 16> kPresets{{
    {"3GP", ".3gp", "-b:a 12.2k", "1", "8000", "", "", false, "h263", "128x96"},
    {"AVI", "", "", "", "", "", "", false, "", ""},
    {"FLV", ".flv", "", "", "44100", "", "", false, "", ""},
    {"iPod", "_ipod.mp4", "", "", "", "15000/1001", "", true, "mpeg4", "320x240"},
    {"MKV", ".mkv", "", "", "", "", "", false, "libx264", ""},
    {"MOV", "", "", "", "", "", "", false, "", ""},
    {"MP4", "", "", "", "", "", "", false, "", ""},
    {"OGG", ".ogg", "", "", "", "", "libvorbis", false, "libtheora", ""},
    {"PSP", "_psp.mp4", "-f psp", "", "24000", "15000/1001", "", true, "mpeg4", "320x240"},
    {"RM10", "_rv10.rm", "", "", "", "", "", false, "rv10", ""},
    {"RM20", "_rv20.rm", "", "", "", "", "", false, "rv20", ""},
    {"SWF", ".swf", "", "", "44100", "", "", false, "", ""},
    {"WMV", ".wmv", "", "", "", "", "wmav2", false, "wmv2", ""},
    {"WebM", ".webm", "-f webm", "", "", "", "libvorbis", false, "libvpx", ""},
    {"M1V", "", "", "", "", "", "", false, "", ""},
    {"M2V", "", "", "", "", "", "", false, "", ""},
}};

const std::vector<std::string> k3gpSizes{"128x96 - sqcif", "176x144 - qcif", "352x288 - cif",
                                         "704x576 - 4cif"};

const std::vector<std::string> kFrameSizes{
    "Auto - Original",    "128x96 - sqcif",     "176x144 - qcif",     "352x288 - cif",
    "704x576 - 4cif",     "160x120 - qqvga",    "320x240 - qvga",     "640x480 - vga",
    "800x600 - svga",     "1024x768 - xga",     "1600x1200 - uxga",   "2048x1536 - qxga",
    "1280x1024 - sxga",   "2560x2048 - qsxga",  "5120x4096 - hsxga",  "852x480 - wvga",
    "1366x768 - wxga",    "1600x1024 - wsxga",  "1920x1200 - wuxga",  "2560x1600 - woxga",
    "3200x2048 - wqsxga", "3840x2400 - wquxga", "6400x4096 - whsxga", "7680x4800 - whuxga",
    "320x200 - cga",      "640x350 - ega",      "852x480 - hd480",    "1280x720 - hd720",
    "1920x1080 - hd1080"};

bool Is3gp(const std::string& format) {
    return LowerCase(format) == "3gp";
}

const TFormatPreset* FindPreset(const std::string& format) {
    for (const auto& p : kPresets)
        if (format == p.name) return &p;
    return nullptr;
}

// The size part of a frame size entry: the text up to its first blank, or all of it when the
// blank is missing or first.
std::string SizeOfEntry(const std::string& text) {
    const auto blank = text.find(' ');
    if (blank == std::string::npos || blank == 0) return text;
    return text.substr(0, blank);
}

} // namespace

const std::vector<std::string>& OutputFormatNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& p : kPresets)
            v.emplace_back(p.name);
        return v;
    }();
    return names;
}

std::vector<std::string> FrameSizeEntries(const std::string& format) {
    return Is3gp(format) ? k3gpSizes : kFrameSizes;
}

int FrameSizeSelection(const std::string& format, int stored_index) {
    if (Is3gp(format)) return stored_index >= 1 && stored_index <= 3 ? stored_index : 0;
    return stored_index >= 0 && stored_index < int(kFrameSizes.size()) ? stored_index : -1;
}

TOutputPreset BuildOutputOptions(const std::string& format, int frame_size_index,
                                 const std::string& frame_size_text, const std::string& aac_name,
                                 int64_t audio_bit_rate, int64_t video_bit_rate,
                                 const THasEncoder& has_encoder) {
    std::string size = frame_size_index > 0 ? SizeOfEntry(frame_size_text) : std::string();
    TOutputPreset result;
    result.Suffix = "." + LowerCase(format);

    std::string leading, channels, sample_rate, frame_rate, audio_codec, video_codec;
    if (const TFormatPreset* p = FindPreset(format)) {
        if (*p->suffix) result.Suffix = p->suffix;
        leading = p->leading;
        channels = p->channels;
        sample_rate = p->sample_rate;
        frame_rate = p->frame_rate;
        audio_codec = p->aac ? aac_name : p->audio_codec;
        video_codec = p->video_codec;
        if (*p->fixed_size) size = p->fixed_size;
        if (Is3gp(format) && !(has_encoder && has_encoder("libopencore_amrnb")))
            audio_codec = aac_name;
    }

    TOptionString options;
    if (!leading.empty()) options.AppendOption(leading);
    if (!channels.empty()) options.AppendOption("-ac " + channels);
    if (!sample_rate.empty()) options.AppendOption("-ar " + sample_rate);
    if (!frame_rate.empty()) options.AppendOption("-r " + frame_rate);
    if (!audio_codec.empty()) options.AppendOption("-c:a " + audio_codec);
    if (audio_codec == "aac") options.AppendOption("-astrict experimental");
    if (!video_codec.empty()) options.AppendOption("-c:v " + video_codec);
    if (!size.empty()) options.AppendOption(" -s " + size);

    if (audio_bit_rate > 0) options.AppendOption(" -ab " + std::to_string(audio_bit_rate));
    if (video_bit_rate > 0) options.AppendOption(" -vb " + std::to_string(video_bit_rate));

    result.Options = options.Text();
    return result;
}

TOutputPreset BuildOutputOptions(const std::string& format, int frame_size_index,
                                 const std::string& frame_size_text, const std::string& aac_name,
                                 int64_t audio_bit_rate, int64_t video_bit_rate) {
    return BuildOutputOptions(format, frame_size_index, frame_size_text, aac_name, audio_bit_rate,
                              video_bit_rate, LibraryHasEncoder);
}

std::string AacEncoderName(const THasEncoder& has_encoder) {
    return has_encoder && has_encoder("libfaac") ? "libfaac" : "aac";
}

std::string AacEncoderName() {
    return AacEncoderName(LibraryHasEncoder);
}

bool LibraryHasEncoder(const std::string& name) {
    // Only a library that is already loaded is asked: a conversion starts after the preview
    // loaded them, and a name query must not load libraries behind the player's back.
    if (!FFLoader().IsLoaded(liAVCodec) || !ff::avcodec_find_encoder_by_name) return false;
    return ff::avcodec_find_encoder_by_name(name.c_str()) != nullptr;
}

std::string MakeOutputFileName(const TGlobalObject& global, const std::string& input_file,
                               const std::string& suffix, const TMessageBoxFunc& message_box) {
    TIniFile ini(global.IniFileName());
    std::string dir = ini.ReadString(kSettingsSection, kKeyOutputDir, DefaultConverterFolder());
    if (!ForceDirectories(dir)) {
        const std::string fallback = DefaultConverterFolder();
        if (message_box)
            message_box("Cannot create output directory:" + dir +
                            ".It will create default directory " + fallback + "!",
                        "Warning", TMsgButtons::Ok, TMsgIcon::Warning);
        ForceDirectories(fallback);
        try {
            TIniFile(global.IniFileName()).WriteString(kSettingsSection, kKeyOutputDir, fallback);
        } catch (const Exception&) {
            // The name is still good; the next conversion asks the same again.
        }
        dir = fallback;
    }
    if (global.RightText(dir, 1) != "/") dir += "/";

    std::string base = ExtractFileName(input_file);
    if (const auto dot = base.rfind('.'); dot != std::string::npos) base.erase(dot);

    std::string name = dir + base + "_(new)" + suffix;
    for (int n = 1; FileExists(name); ++n)
        name = dir + base + "_(new_" + std::to_string(n) + ")" + suffix;
    return name;
}
