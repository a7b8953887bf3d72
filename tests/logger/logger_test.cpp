#include "platform/MainThread.h"
#include "src/FFLog.h"

extern "C" {
#include <libavutil/log.h>
}

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Calls the library callback the way the library does, with a va_list.
__attribute__((format(printf, 3, 4))) void LibLog(void* ctx, int level, const char* fmt, ...) {
    va_list vl;
    va_start(vl, fmt);
    FFLogCallback(ctx, level, fmt, vl);
    va_end(vl);
}

// The address as the prefix must show it: at least eight upper-case hexadecimal digits.
std::string Hex(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%08" PRIXPTR, reinterpret_cast<uintptr_t>(p));
    return buf;
}

struct Record {
    TObject* sender;
    uint32_t thread_id;
    TLogLevel level;
    std::string text;
    bool on_main;
};

// Fake library entry points for InstallLibraryLog.
std::vector<int> g_set_levels;
void (*g_installed_callback)(void*, int, const char*, va_list) = nullptr;
void FakeSetLevel(int level) {
    g_set_levels.push_back(level);
}
void FakeSetCallback(void (*cb)(void*, int, const char*, va_list)) {
    g_installed_callback = cb;
}

// Services the main-thread queue until `done` or a generous deadline (guards against a hang).
template <class Pred> bool PumpUntil(Pred done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        CheckSynchronize(20);
    }
    return true;
}

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Forget a repetition left by an earlier test: an empty quiet message resets the count.
        LibLog(nullptr, AV_LOG_QUIET, "%s", "");
        logger = std::make_unique<TFFLogger>();
        logger->OnLog = [this](TObject* sender, uint32_t tid, TLogLevel level,
                               const std::string& msg) {
            std::lock_guard<std::mutex> guard(lock);
            records.push_back({sender, tid, level, msg, IsMainThread()});
        };
    }
    void TearDown() override {
        logger.reset();
        // Leave the process-wide library level as the next test expects it, even after a
        // failed test.
        if (LibraryLogLevel() != AV_LOG_INFO) {
            TFFLogger restore;
            InstallLibraryLog(FakeSetCallback, FakeSetLevel);
            restore.SetLogLevel(llInfo);
        }
        UninstallLibraryLog();
    }

    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> out;
        for (const Record& r : records)
            out.push_back(r.text);
        return out;
    }

    std::unique_ptr<TFFLogger> logger;
    std::mutex lock; // guards records
    std::vector<Record> records;
};

struct FakeContext {
    const AVClass* cls;
    void* parent;
};

const char* MpegName(void*) {
    return "mpeg";
}

TEST(LogLevelMapping, BothDirections) {
    struct Row {
        TLogLevel level;
        int library;
    } to_library[] = {{llQuiet, -8},   {llPanic, 0}, {llFatal, 8},    {llError, 16},
                      {llWarning, 24}, {llInfo, 32}, {llVerbose, 40}, {llDebug, 48}};
    for (const Row& r : to_library) {
        EXPECT_EQ(LogLevelToLibrary(r.level), r.library) << "level " << r.level;
        EXPECT_EQ(LibraryToLogLevel(r.library), r.level) << "library level " << r.library;
    }
    struct FromRow {
        int library;
        TLogLevel level;
    } from_library[] = {{-100, llQuiet}, {-16, llQuiet}, {-15, llQuiet},  {-9, llQuiet},
                        {-7, llPanic},   {-1, llPanic},  {7, llPanic},    {15, llFatal},
                        {20, llError},   {23, llError},  {31, llWarning}, {39, llInfo},
                        {47, llVerbose}, {56, llDebug},  {1000, llDebug}};
    for (const FromRow& r : from_library)
        EXPECT_EQ(LibraryToLogLevel(r.library), r.level) << "library level " << r.library;
}

TEST_F(LoggerTest, ComponentMessagesOnMainThread) {
    TObject sender;
    int value = 7;
    logger->Log(&sender, llInfo, "plain");
    logger->Log(&sender, llWarning, "%s=%d at %p", "width", 640, static_cast<const void*>(&value));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].sender, &sender);
    EXPECT_EQ(records[0].thread_id, CurrentThreadId());
    EXPECT_EQ(records[0].level, llInfo);
    EXPECT_EQ(records[0].text, "plain");
    EXPECT_EQ(records[1].level, llWarning);
    EXPECT_EQ(records[1].text, "width=640 at " + Hex(&value));
}

TEST_F(LoggerTest, ContextPrefix) {
    AVClass item_cls{};
    item_cls.class_name = "unused";
    item_cls.item_name = MpegName;
    AVClass child_cls{};
    child_cls.class_name = "child"; // no item_name: the class name is used
    child_cls.parent_log_context_offset = offsetof(FakeContext, parent);
    AVClass* no_cls = nullptr;

    FakeContext plain{&item_cls, nullptr};
    FakeContext parent{&item_cls, nullptr};
    FakeContext with_parent{&child_cls, &parent};
    FakeContext parent_missing{&child_cls, nullptr};
    FakeContext parent_without_class{&child_cls, &no_cls};
    FakeContext without_class{nullptr, nullptr};

    struct Row {
        const char* name;
        void* ctx;
        std::string expected;
    } rows[] = {
        {"no parent", &plain, "[mpeg @ " + Hex(&plain) + "]found"},
        {"parent", &with_parent,
         "[mpeg @ " + Hex(&parent) + "] [child @ " + Hex(&with_parent) + "]found"},
        {"parent pointer empty", &parent_missing, "[child @ " + Hex(&parent_missing) + "]found"},
        {"parent without class", &parent_without_class,
         "[child @ " + Hex(&parent_without_class) + "]found"},
        {"context without class", &without_class, "found"},
        {"no context", nullptr, "found"},
    };
    for (const Row& r : rows) {
        records.clear();
        LibLog(r.ctx, AV_LOG_INFO, "%s\n", "found");
        LibLog(nullptr, AV_LOG_QUIET, "%s", ""); // let the next row repeat the same text
        ASSERT_EQ(records.size(), 1u) << r.name;
        EXPECT_EQ(records[0].text, r.expected) << r.name;
        EXPECT_EQ(records[0].sender, logger.get()) << r.name;
        EXPECT_EQ(records[0].level, llInfo) << r.name;
        EXPECT_EQ(records[0].thread_id, CurrentThreadId()) << r.name;
    }
}

TEST_F(LoggerTest, PartialLinesAreHeldAndPrefixedOnce) {
    AVClass cls{};
    cls.class_name = "demux";
    FakeContext ctx{&cls, nullptr};
    const std::string prefix = "[demux @ " + Hex(&ctx) + "]";

    LibLog(&ctx, AV_LOG_INFO, "%s", "abc");
    EXPECT_TRUE(records.empty());
    LibLog(&ctx, AV_LOG_INFO, "%d\n", 42);
    EXPECT_THAT(Texts(), ::testing::ElementsAre(prefix + "abc42"));

    // Several line feeds in one message: the prefix starts the message only.
    records.clear();
    LibLog(&ctx, AV_LOG_INFO, "%s", "one\ntwo\nthr");
    EXPECT_THAT(Texts(), ::testing::ElementsAre(prefix + "one", "two"));
    LibLog(&ctx, AV_LOG_INFO, "%s", "ee\n\n");
    EXPECT_THAT(Texts(), ::testing::ElementsAre(prefix + "one", "two", "three", ""));
}

TEST_F(LoggerTest, RepeatedLinesAreFolded) {
    const std::string repeated2 = "    Last message repeated 2 times";
    struct Row {
        const char* name;
        std::vector<const char*> messages; // "" is the empty quiet message
        std::vector<std::string> expected;
    } rows[] = {
        {"three times then other", {"a\n", "a\n", "a\n", "b\n"}, {"a", repeated2, "b"}},
        {"twice then other", {"a\n", "a\n", "b\n"}, {"a", "b"}},
        {"four times then other",
         {"a\n", "a\n", "a\n", "a\n", "b\n"},
         {"a", "    Last message repeated 3 times", "b"}},
        {"closing resets", {"a\n", "a\n", "a\n", ""}, {"a", repeated2}},
        {"after closing the line is new", {"a\n", "", "a\n"}, {"a", "a"}},
        {"unfinished pieces are not folded", {"a", "a", "\n"}, {"aa"}},
        {"count restarts after a new line",
         {"a\n", "a\n", "a\n", "b\n", "b\n", "c\n"},
         {"a", repeated2, "b", "c"}},
    };
    for (const Row& r : rows) {
        records.clear();
        for (const char* m : r.messages) {
            if (*m)
                LibLog(nullptr, AV_LOG_WARNING, "%s", m);
            else
                LibLog(nullptr, AV_LOG_QUIET, "%s", "");
        }
        LibLog(nullptr, AV_LOG_QUIET, "%s", "");
        EXPECT_EQ(Texts(), r.expected) << r.name;
        for (const Record& rec : records)
            EXPECT_EQ(rec.thread_id, CurrentThreadId()) << r.name;
    }
    // The repeat line carries the level of the message that ends the repetition.
    records.clear();
    for (int i = 0; i < 3; ++i)
        LibLog(nullptr, AV_LOG_WARNING, "%s", "x\n");
    LibLog(nullptr, AV_LOG_ERROR, "%s", "y\n");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].text, repeated2);
    EXPECT_EQ(records[1].level, llError);
}

TEST_F(LoggerTest, LongMessagesArriveWhole) {
    for (size_t length : {2046u, 2047u, 2048u, 4095u, 4096u, 5000u, 6143u, 6144u, 20000u}) {
        records.clear();
        std::string text(length, 'x');
        for (size_t i = 0; i < length; i += 97)
            text[i] = static_cast<char>('a' + i % 26);
        LibLog(nullptr, AV_LOG_INFO, "%s|%zu\n", text.c_str(), length);
        ASSERT_EQ(records.size(), 1u) << "length " << length;
        EXPECT_EQ(records[0].text, text + "|" + std::to_string(length)) << "length " << length;
    }
}

TEST_F(LoggerTest, LevelFilteringAndLibraryLevel) {
    g_set_levels.clear();
    g_installed_callback = nullptr;

    // Before the library log is installed, the level stays with the logger.
    logger->SetLogLevel(llError);
    EXPECT_EQ(LibraryLogLevel(), 32);
    InstallLibraryLog(FakeSetCallback, FakeSetLevel);
    EXPECT_EQ(g_installed_callback, &FFLogCallback);
    EXPECT_THAT(g_set_levels, ::testing::ElementsAre(16));

    logger->SetLogLevel(llWarning);
    EXPECT_THAT(g_set_levels, ::testing::ElementsAre(16, 24));
    EXPECT_EQ(LibraryLogLevel(), 24);
    logger->SetLogLevel(llWarning); // unchanged: the library is not told again
    EXPECT_EQ(g_set_levels.size(), 2u);

    logger->Log(nullptr, llInfo, "component info");
    logger->Log(nullptr, llWarning, "component warning");
    LibLog(nullptr, AV_LOG_INFO, "%s", "library info\n");
    LibLog(nullptr, AV_LOG_WARNING, "%s", "library warning\n");
    LibLog(nullptr, 20, "%s", "library 20\n");
    LibLog(nullptr, AV_LOG_WARNING | (3 << 8), "%s", "coloured warning\n");
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].text, "component warning");
    EXPECT_EQ(records[0].level, llWarning);
    EXPECT_EQ(records[1].text, "library warning");
    EXPECT_EQ(records[1].level, llWarning);
    EXPECT_EQ(records[2].text, "library 20");
    EXPECT_EQ(records[2].level, llError);
    EXPECT_EQ(records[3].text, "coloured warning");
    EXPECT_EQ(records[3].level, llWarning);

    // A new logger starts from the library level.
    logger.reset();
    TFFLogger next;
    EXPECT_EQ(next.LogLevel(), llWarning);
    next.SetLogLevel(llInfo);
    EXPECT_EQ(LibraryLogLevel(), 32);

    // Uninstalled: the library is no longer told.
    UninstallLibraryLog();
    next.SetLogLevel(llDebug);
    EXPECT_EQ(g_set_levels.back(), 32);
    EXPECT_EQ(LibraryLogLevel(), 32);
}

TEST_F(LoggerTest, WorkerMessagesAreDeliveredOnMainThreadWithTheirOwnValues) {
    constexpr int kThreads = 4;
    constexpr int kMessages = 25;
    std::atomic<int> finished{0};
    std::vector<uint32_t> ids(kThreads);
    std::vector<TObject> senders(kThreads);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            ids[t] = CurrentThreadId();
            for (int i = 0; i < kMessages; ++i) {
                logger->Log(&senders[t], i % 2 ? llInfo : llError, "%d:%d", t, i);
                LibLog(nullptr, AV_LOG_INFO, "lib %d", t);
                LibLog(nullptr, AV_LOG_INFO, ":%d\n", i);
            }
            ++finished;
        });
    }
    const bool done = PumpUntil([&] { return finished == kThreads; });
    for (std::thread& w : workers)
        w.join();
    ASSERT_TRUE(done);

    ASSERT_EQ(records.size(), 2u * kThreads * kMessages);
    std::vector<int> next_component(kThreads, 0), next_library(kThreads, 0);
    for (const Record& r : records) {
        EXPECT_TRUE(r.on_main) << r.text;
        int t = -1, i = -1;
        if (std::sscanf(r.text.c_str(), "lib %d:%d", &t, &i) == 2) {
            ASSERT_TRUE(t >= 0 && t < kThreads) << r.text;
            EXPECT_EQ(r.sender, logger.get()) << r.text;
            EXPECT_EQ(r.level, llInfo) << r.text;
            EXPECT_EQ(i, next_library[t]++) << r.text;
        } else {
            ASSERT_EQ(std::sscanf(r.text.c_str(), "%d:%d", &t, &i), 2) << r.text;
            ASSERT_TRUE(t >= 0 && t < kThreads) << r.text;
            EXPECT_EQ(r.sender, &senders[t]) << r.text;
            EXPECT_EQ(r.level, i % 2 ? llInfo : llError) << r.text;
            EXPECT_EQ(i, next_component[t]++) << r.text;
        }
        EXPECT_EQ(r.thread_id, ids[t]) << r.text;
    }
}

TEST_F(LoggerTest, HandlerOnMainThreadMayLogThroughTheLibrary) {
    // The worker waits for the main thread while its line is delivered; the main thread's
    // handler logs through the library meanwhile, which must not wait for the worker.
    auto record = logger->OnLog;
    logger->OnLog = [&](TObject* sender, uint32_t tid, TLogLevel level, const std::string& msg) {
        record(sender, tid, level, msg);
        if (msg == "from worker") LibLog(nullptr, AV_LOG_INFO, "%s", "from handler\n");
    };
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        LibLog(nullptr, AV_LOG_INFO, "%s", "from worker\n");
        finished = true;
    });
    const bool done = PumpUntil([&] { return finished.load(); });
    worker.join();
    ASSERT_TRUE(done);
    EXPECT_THAT(Texts(), ::testing::ElementsAre("from worker", "from handler"));
}

TEST_F(LoggerTest, PartialLinesOfTwoThreadsDoNotMix) {
    logger->TriggerEventInMainThread = false;
    AVClass cls_a{}, cls_b{};
    cls_a.class_name = "a";
    cls_b.class_name = "b";
    FakeContext ctx_a{&cls_a, nullptr}, ctx_b{&cls_b, nullptr};

    // Each step waits for the other thread's previous step, so the pieces interleave. Both
    // lines end with the same piece, which is no repeated line.
    std::promise<void> a_started, b_started, a_done;
    uint32_t id_a = 0, id_b = 0;
    std::thread a([&] {
        id_a = CurrentThreadId();
        LibLog(&ctx_a, AV_LOG_INFO, "%s", "alpha-");
        a_started.set_value();
        b_started.get_future().wait();
        LibLog(&ctx_a, AV_LOG_INFO, "%s", "end\n");
        a_done.set_value();
    });
    std::thread b([&] {
        id_b = CurrentThreadId();
        a_started.get_future().wait();
        LibLog(&ctx_b, AV_LOG_INFO, "%s", "beta-");
        b_started.set_value();
        a_done.get_future().wait();
        LibLog(&ctx_b, AV_LOG_INFO, "%s", "end\n");
    });
    a.join();
    b.join();

    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, "[a @ " + Hex(&ctx_a) + "]alpha-end");
    EXPECT_EQ(records[0].thread_id, id_a);
    EXPECT_FALSE(records[0].on_main);
    EXPECT_EQ(records[1].text, "[b @ " + Hex(&ctx_b) + "]beta-end");
    EXPECT_EQ(records[1].thread_id, id_b);
}

TEST_F(LoggerTest, OnlyOneInstance) {
    try {
        TFFLogger second;
        FAIL() << "a second logger was created";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Message(), "Allow creating only one instance of TFFLogger.");
    }
    EXPECT_EQ(&FFLogger(), logger.get());
    logger->Log(nullptr, llInfo, "still here");
    EXPECT_THAT(Texts(), ::testing::ElementsAre("still here"));
}

TEST_F(LoggerTest, HandlerExceptions) {
    logger->OnLog = [](TObject*, uint32_t, TLogLevel, const std::string&) {
        throw Exception("handler failed");
    };
    // A component caller sees the handler's failure; the library never does.
    EXPECT_THROW(logger->Log(nullptr, llInfo, "x"), Exception);
    EXPECT_NO_THROW(LibLog(nullptr, AV_LOG_INFO, "%s", "y\n"));
}

TEST(LoggerLifecycle, AutoCreatedLoggerIsReplacedByTheHost) {
    TFFLogger& automatic = FFLogger();
    EXPECT_TRUE(automatic.AutoCreated());
    EXPECT_EQ(automatic.LogLevel(), llInfo);
    EXPECT_TRUE(automatic.TriggerEventInMainThread);
    EXPECT_EQ(&FFLogger(), &automatic);
    automatic.Log(nullptr, llError, "goes nowhere"); // no handler: nothing to deliver to

    {
        TFFLogger host; // frees the automatic one
        EXPECT_FALSE(host.AutoCreated());
        EXPECT_EQ(&FFLogger(), &host);
    }
    // Without a host logger, the next use creates a new automatic one (freed at program end).
    EXPECT_TRUE(FFLogger().AutoCreated());
}

} // namespace
