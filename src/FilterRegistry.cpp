#include "src/FilterRegistry.h"

#include <deque>
#include <mutex>

namespace {

struct TRegistry {
    std::mutex lock;             // guards defs
    std::deque<TFilterDef> defs; // a deque keeps element addresses stable while growing
};

// Never destroyed: filters may be looked up by threads still running at process end.
TRegistry& Registry() {
    static auto* registry = new TRegistry;
    return *registry;
}

} // namespace

bool RegisterProgramFilter(const TFilterDef& def) {
    TRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    for (const TFilterDef& d : r.defs)
        if (d.name == def.name) return false;
    r.defs.push_back(def);
    return true;
}

const TFilterDef* FindProgramFilter(std::string_view name) {
    TRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    for (const TFilterDef& d : r.defs)
        if (d.name == name) return &d;
    return nullptr;
}

std::vector<std::string> ProgramFilterNames() {
    TRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    std::vector<std::string> names;
    for (const TFilterDef& d : r.defs)
        names.push_back(d.name);
    return names;
}

TFilterDef RotateFilterDef() {
    TFilterDef def;
    def.name = "rotate";
    def.pix_fmts = {AV_PIX_FMT_YUV444P,  AV_PIX_FMT_YUV422P,  AV_PIX_FMT_YUV420P,
                    AV_PIX_FMT_YUV411P,  AV_PIX_FMT_YUV410P,  AV_PIX_FMT_YUVJ444P,
                    AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV440P,
                    AV_PIX_FMT_YUVJ440P};
    return def;
}
