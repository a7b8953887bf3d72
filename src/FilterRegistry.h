// The program's own video filters ("nativeeq", "nativehue", "rotate").
//
// The 5.1 filter library offers no way to add a filter from outside, so program-defined
// filters live in this process-wide registry and the program splices them into its filter
// chains itself: a chain description is split where a registered name appears, the library
// runs the parts between them as ordinary graphs, and each program filter instance turns the
// frames leaving one part into the frames entering the next. A registered name therefore takes
// precedence over a library filter of the same name in the program's chains.
//
// Threads: registration and look-up may happen on any thread; definitions are never removed,
// so a pointer from FindProgramFilter stays valid for the life of the process.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

struct AVFrame;

// Properties of the frames on one side of a program filter.
struct TFilterLinkProps {
    int width = 0;
    int height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    AVRational sample_aspect_ratio{0, 1};
    AVRational time_base{1, 1};
};

// One instance of a program filter inside one chain; used by one thread at a time.
class TProgramFilter {
  public:
    virtual ~TProgramFilter() = default;
    // Called once before the first frame with the input properties; fills `out` with the
    // output properties. Returns 0, or a negative media-library error code.
    virtual int ConfigureOutput(const TFilterLinkProps& in, TFilterLinkProps& out) = 0;
    // Filters one frame. `in` stays owned by the caller; `out` is a writable frame with the
    // output properties and the buffers already allocated. Returns 0 or a negative code.
    virtual int FilterFrame(const AVFrame* in, AVFrame* out) = 0;
};

// Builds an instance from the filter's argument text (the part after "=" in a chain); on
// failure returns null and sets `error`.
using TFilterFactory =
    std::function<std::unique_ptr<TProgramFilter>(const std::string& args, std::string& error)>;

struct TFilterDef {
    std::string name;
    std::string description;
    // Accepted input pixel formats; the splice converts to the first one when needed.
    std::vector<AVPixelFormat> pix_fmts;
    // Empty while the filter is declared but not implemented yet.
    TFilterFactory create;
};

// Adds `def` unless a definition with the same name is registered. True when added.
bool RegisterProgramFilter(const TFilterDef& def);
// The definition of `name`, or null.
const TFilterDef* FindProgramFilter(std::string_view name);
// Registered names, in registration order.
std::vector<std::string> ProgramFilterNames();

// The "rotate" definition registered by the loader once avfilter is loaded. For now it only
// names the filter and its formats: it has no implementation (`create` is empty) until the
// rotation filter is written.
TFilterDef RotateFilterDef();
