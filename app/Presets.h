// Output formats, their frame sizes and encoder option strings, and the naming of output
// files. No Qt here. Main thread only (the naming reads and writes the settings file).
#pragma once

#include "app/MessageBox.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TGlobalObject;

// True when the media library has an encoder of that name.
using THasEncoder = std::function<bool(const std::string& name)>;

// The 16 formats of the format list, in list order.
const std::vector<std::string>& OutputFormatNames();

// Entries of the frame size list for a format (the 3GP sizes or the general list).
std::vector<std::string> FrameSizeEntries(const std::string& format);
// Index to select in that list for the stored "framesizeindex"; -1 selects nothing.
int FrameSizeSelection(const std::string& format, int stored_index);

// Builds an option string: each option is appended after one blank, so the string starts
// with a blank and an option that starts with a blank itself is preceded by two.
class TOptionString {
  public:
    void AppendOption(const std::string& option) { FOptions += " " + option; }
    const std::string& Text() const { return FOptions; }

  private:
    std::string FOptions;
};

struct TOutputPreset {
    std::string Options; // encoder option string of the output
    std::string Suffix;  // what follows the output file's base name, e.g. "_psp.mp4"
};

// Option string and suffix for a format and the frame size entry chosen (index and text of the
// frame size list; index 0 or below gives no size). Bit rates of the source are appended when
// above 0. `has_encoder` answers which encoders the media library has.
TOutputPreset BuildOutputOptions(const std::string& format, int frame_size_index,
                                 const std::string& frame_size_text, const std::string& aac_name,
                                 int64_t audio_bit_rate, int64_t video_bit_rate,
                                 const THasEncoder& has_encoder);
// The same, asking the media library.
TOutputPreset BuildOutputOptions(const std::string& format, int frame_size_index,
                                 const std::string& frame_size_text, const std::string& aac_name,
                                 int64_t audio_bit_rate, int64_t video_bit_rate);

// "libfaac" when there is an encoder of that name, else "aac".
std::string AacEncoderName(const THasEncoder& has_encoder);
// The same, asking the media library.
std::string AacEncoderName();

// Asks the media library whether it has an encoder of that name; false while avcodec is not
// loaded.
bool LibraryHasEncoder(const std::string& name);

// Full path of a file that does not exist yet in the output folder of the settings:
// base name of `input_file` + "_(new)" or "_(new_N)" + `suffix`. When the folder is missing
// and cannot be created, `message_box` tells the user and the default folder is used (and
// stored).
std::string MakeOutputFileName(const TGlobalObject& global, const std::string& input_file,
                               const std::string& suffix, const TMessageBoxFunc& message_box);
