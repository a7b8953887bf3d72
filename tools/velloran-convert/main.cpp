// velloran-convert: one conversion task through the encoder component, from the command line.
//
//   velloran-convert [--in-opts "OPTIONS"] INPUT [--out-opts "OPTIONS"] OUTPUT
//                    [--box X,Y,W,H,RRGGBB[,ALPHA]]...
//
// Exit status: 0 the task finished without error; 1 it failed or could not be set up (the
// error text on stderr); 2 bad arguments.
#include "BoxDraw.h"

#include "platform/MainThread.h"
#include "src/FFEncode.h"
#include "src/FFLoad.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr const char* Usage =
    "usage: velloran-convert [--in-opts \"OPTIONS\"] INPUT [--out-opts \"OPTIONS\"] OUTPUT "
    "[--box X,Y,W,H,RRGGBB[,ALPHA]]...\n";

struct TArgs {
    std::string InOptions, OutOptions, Input, Output;
    std::vector<TBox> Boxes;
};

int BadArguments(const std::string& why) {
    std::fprintf(stderr, "velloran-convert: %s\n%s", why.c_str(), Usage);
    return 2;
}

// 0 when parsed; else the exit status (2, or -1 for --help).
int ParseArgs(int argc, char** argv, TArgs& a, std::string& error) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") return -1;
        if (arg == "--in-opts") {
            if (!value(a.InOptions)) return 2;
        } else if (arg == "--out-opts") {
            if (!value(a.OutOptions)) return 2;
        } else if (arg == "--box") {
            std::string text;
            if (!value(text)) return 2;
            const auto box = ParseBox(text);
            if (!box) {
                error = "bad box \"" + text + "\"";
                return 2;
            }
            a.Boxes.push_back(*box);
        } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            error = "unknown option " + arg;
            return 2;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) {
        error = "expected INPUT and OUTPUT";
        return 2;
    }
    a.Input = positional[0];
    a.Output = positional[1];
    return 0;
}

std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
    g_interrupted = true;
}

bool IsEmptyFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    InitMainThread();
    TArgs args;
    std::string error;
    if (const int r = ParseArgs(argc, argv, args, error); r != 0) {
        if (r < 0) {
            std::fputs(Usage, stdout);
            return 0;
        }
        return BadArguments(error);
    }

    if (!FFLoader().Load(LibSetAll)) {
        std::fprintf(stderr, "velloran-convert: %s\n", FFLoader().LastErrorMessage().c_str());
        return 1;
    }

    std::error_code ec;
    const bool output_existed = std::filesystem::exists(args.Output, ec);

    TFFEncoder encoder;
    // Events come to this thread, which services the main-thread queue while it waits.
    encoder.TriggerEventInMainThread = true;

    TInputOptions in;
    in.Options = args.InOptions;
    const int task = encoder.AddTask(args.Input, &in);
    if (task < 0) {
        std::fprintf(stderr, "velloran-convert: %s\n", encoder.LastErrorMessage().c_str());
        return 1;
    }
    TOutputOptions out;
    out.Options = args.OutOptions;
    out.VideoInputHook = !args.Boxes.empty();
    if (encoder.SetOutput(task, args.Output, &out) < 0) {
        std::fprintf(stderr, "velloran-convert: %s\n", encoder.LastErrorMessage().c_str());
        encoder.RemoveTask(task);
        if (!output_existed && IsEmptyFile(args.Output)) std::filesystem::remove(args.Output, ec);
        return 1;
    }

    if (!args.Boxes.empty())
        encoder.OnVideoInputHook = [&args](TObject*, THookInfo* info) {
            if (info->Bitmap) DrawBoxes(*info->Bitmap, args.Boxes);
        };
    encoder.OnProgress = [](TObject*, TProgressInfo* p) {
        const int percent =
            p->TotalDuration > 0
                ? int(std::min<int64_t>(100, p->CurrentDuration * 100 / p->TotalDuration))
                : 0;
        std::fprintf(stderr, "progress: %d%% frames=%d fps=%d\n", percent, p->FrameNumber, p->FPS);
    };
    TTerminateInfo result;
    bool all_done = false;
    encoder.OnTerminate = [&](TObject*, const TTerminateInfo& t) {
        if (t.TaskIndex < 0)
            all_done = true;
        else
            result = t;
    };

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    encoder.Start(1);
    bool stop_sent = false;
    while (!all_done) {
        CheckSynchronize(50);
        if (g_interrupted && !stop_sent) {
            stop_sent = true;
            encoder.Stop(false);
        }
    }
    encoder.ClearTasks();

    const bool ok = result.Finished && !result.Exception;
    if (ok) {
        std::fprintf(stderr, "finished: %s\n", args.Output.c_str());
        return 0;
    }
    std::string why = result.ExceptionMsg;
    if (why.empty()) why = result.Finished ? "failed" : "stopped before the end";
    std::fprintf(stderr, "velloran-convert: %s\n", why.c_str());
    if (!output_existed && IsEmptyFile(args.Output)) std::filesystem::remove(args.Output, ec);
    return 1;
}
