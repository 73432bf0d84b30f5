// The shared objects as a Linux application loads them, with dlopen: the
// simulated flavour runs every golden trace, each in a fresh load, and the
// real one shows nothing but the C API.
#include "sim/golden_trace.h"

#include <dlfcn.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <fstream>
#include <sstream>
#include <string>

namespace cashdrawer::test {
namespace {

using DrawerFn = int (*)(const char*);
using SetPortFn = void (*)(unsigned, unsigned, unsigned);
using SetMemoryFn = void (*)(unsigned, unsigned);
using TraceFn = int (*)(char*, int);

template <typename Fn>
Fn Symbol(void* handle, const char* name) {
    return reinterpret_cast<Fn>(::dlsym(handle, name));
}

std::string Golden(const std::filesystem::path& file, sim::GoldenTrace& golden) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    auto parsed = sim::ParseGoldenTrace(text.str(), error);
    if (parsed) {
        golden = *parsed;
    }
    return error;
}

TEST(SharedObject, TheSimulatedLibraryMakesEveryGoldenSequenceInAFreshLoad) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(CASHDRAWER_GOLDEN_DIR)) {
        sim::GoldenTrace golden;
        ASSERT_EQ(Golden(entry.path(), golden), "") << entry.path();
        void* library = ::dlopen(CASHDRAWER_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << ::dlerror();
        const auto setPort = Symbol<SetPortFn>(library, "CashDrawerSimSetPort");
        const auto setMemory = Symbol<SetMemoryFn>(library, "CashDrawerSimSetMemory");
        const auto trace = Symbol<TraceFn>(library, "CashDrawerSimTrace");
        const auto call = Symbol<DrawerFn>(library, golden.function.c_str());
        ASSERT_TRUE(setPort && setMemory && trace && call);
        for (const auto& port : golden.ports) {
            setPort(port.port, port.value, port.width);
        }
        for (const auto& word : golden.memory) {
            setMemory(word.address, word.value);
        }
        EXPECT_EQ(call(golden.drawerId.c_str()), golden.result) << entry.path();
        std::string expected;
        for (const sim::AccessRecord& record : golden.accesses) {
            expected += sim::DescribeAccess(record) + "\n";
        }
        std::string actual(static_cast<std::size_t>(trace(nullptr, 0)) + 1, '\0');
        trace(actual.data(), static_cast<int>(actual.size()));
        actual.resize(actual.size() - 1);
        EXPECT_EQ(actual, expected) << entry.path();
        // The destructor gives everything back: the next load starts afresh
        // (the GPIO chip set-up, written once per process, shows it).
        EXPECT_EQ(::dlclose(library), 0);
        ++files;
    }
    EXPECT_GE(files, 15);
}

// A wait on the simulated library passes in real time, so another thread
// can move the sensor while it waits: the wait sees the change. Before, its
// pauses were only virtual: it spun through its reads at once, and a long
// one grew the trace without bound.
TEST(SharedObject, TheSimulatedLibrarysWaitSeesAnotherThreadMoveTheSensor) {
    void* library = ::dlopen(CASHDRAWER_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    using WaitFn = int (*)(const char*, int, int);
    const auto setPort = Symbol<SetPortFn>(library, "CashDrawerSimSetPort");
    const auto wait = Symbol<WaitFn>(library, "WaitCashStatus");
    const auto status = Symbol<DrawerFn>(library, "GetCashStatus");
    const auto trace = Symbol<TraceFn>(library, "CashDrawerSimTrace");
    ASSERT_TRUE(setPort && wait && status && trace);
    setPort(0x53A, 0x00, 1); // RN340 drawer A reads 1
    std::thread drawer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        setPort(0x53A, 0x04, 1); // and then 0
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait("RN340_CashA", 0, 60000), 1);
    const auto waited = std::chrono::steady_clock::now() - start;
    drawer.join();
    // The change comes after 150 ms; the time limit is a minute, so the
    // bound is loose enough for a machine with every core busy.
    EXPECT_LT(waited, std::chrono::seconds(30)) << "ended at the change, not at the time limit";

    // A long run keeps the newest accesses only: three records a read, and
    // past 65,536 the newest 32,768 are kept: after 21,846 reads 32,768,
    // then 8,154 more reads' worth.
    using ClearFn = void (*)();
    const auto clear = Symbol<ClearFn>(library, "CashDrawerSimClearTrace");
    ASSERT_TRUE(clear);
    clear();
    for (int read = 0; read < 30000; ++read) {
        ASSERT_EQ(status("RN340_CashA"), 0);
    }
    std::string text(static_cast<std::size_t>(trace(nullptr, 0)) + 1, '\0');
    trace(text.data(), static_cast<int>(text.size()));
    text.pop_back(); // the terminator
    const auto lines = std::count(text.begin(), text.end(), '\n');
    EXPECT_EQ(lines, 32768 + 8154 * 3);

    // The trace file moves aside past its size and starts anew: at most
    // twice its size on disk.
    const std::string file = (std::filesystem::temp_directory_path() / ("cashdrawer-trace-" + std::to_string(::getpid()))).string();
    ::setenv("CASHDRAWER_SIM_TRACE", file.c_str(), 1);
    ::setenv("CASHDRAWER_SIM_TRACE_MAX_BYTES", "4096", 1);
    for (int read = 0; read < 200; ++read) {
        ASSERT_EQ(status("RN340_CashA"), 0);
    }
    ::unsetenv("CASHDRAWER_SIM_TRACE");
    ::unsetenv("CASHDRAWER_SIM_TRACE_MAX_BYTES");
    const auto size = std::filesystem::file_size(file);
    const auto old = std::filesystem::file_size(file + ".old");
    EXPECT_LE(size, 4096u);
    EXPECT_GT(old, 4096u);
    EXPECT_LT(old, 4096u + 200u) << "one read's lines past the limit at most";
    std::filesystem::remove(file);
    std::filesystem::remove(file + ".old");
    EXPECT_EQ(text.substr(text.size() - 58), "InitializeWinIo\nread  0x053A -> 0x04 (byte)\nShutdownWinIo\n");
    EXPECT_EQ(::dlclose(library), 0);
}

// The simulated library's drawer springs open when kicked, stays open
// until pushed shut when told to, and shuts on its own in real time.
TEST(SharedObject, TheSimulatedDrawerOpensWhenKickedAndShuts) {
    void* library = ::dlopen(CASHDRAWER_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    using ClosesFn = void (*)(unsigned);
    const auto kick = Symbol<DrawerFn>(library, "OpenCash");
    const auto status = Symbol<DrawerFn>(library, "GetCashStatus");
    const auto pushShut = Symbol<DrawerFn>(library, "CashDrawerSimPushDrawerShut");
    const auto closesAfter = Symbol<ClosesFn>(library, "CashDrawerSimSetDrawerClosesAfter");
    ASSERT_TRUE(kick && status && pushShut && closesAfter);
    // The very first call of a fresh load may be the error text: empty.
    const auto lastError = Symbol<TraceFn>(library, "GetCashDrawerError");
    ASSERT_TRUE(lastError);
    EXPECT_EQ(lastError(nullptr, 0), 0);

    closesAfter(0);
    const int memoryRest = status("RN2180_CashB"); // unset memory reads 0: state 1
    ASSERT_EQ(memoryRest, 1);
    ASSERT_EQ(kick("RN2180_CashB"), 1);
    EXPECT_EQ(status("RN2180_CashB"), 0);
    EXPECT_EQ(pushShut("RN2180_CashB"), 1);
    EXPECT_EQ(status("RN2180_CashB"), 1);
    EXPECT_EQ(pushShut("RN2180_CashB"), 0);
    EXPECT_EQ(pushShut("KV7830_CashA"), -1);

    using JamFn = int (*)(const char*, int);
    const auto jam = Symbol<JamFn>(library, "CashDrawerSimJamDrawer");
    ASSERT_TRUE(jam);
    EXPECT_EQ(jam("RN2180_CashB", 1), 1);
    ASSERT_EQ(kick("RN2180_CashB"), 1);
    EXPECT_EQ(status("RN2180_CashB"), 1) << "a jammed drawer stays shut";
    EXPECT_EQ(jam("RN2180_CashB", 0), 1);
    ASSERT_EQ(kick("RN2180_CashB"), 1);
    EXPECT_EQ(status("RN2180_CashB"), 0);
    EXPECT_EQ(pushShut("RN2180_CashB"), 1);
    EXPECT_EQ(jam("KV7830_CashA", 1), -1);

    // The health check names the file the library was loaded from.
    using HealthFn = int (*)(const char*, char*, int);
    const auto health = Symbol<HealthFn>(library, "CheckCashDrawerHealth");
    ASSERT_TRUE(health);
    std::string report(16384, '\0');
    health("RN340_CashA", report.data(), static_cast<int>(report.size()));
    const std::string libraryFile = std::filesystem::canonical(CASHDRAWER_SIM_LIBRARY).string();
    const std::string named = std::filesystem::path(CASHDRAWER_SIM_LIBRARY).string();
    EXPECT_TRUE(report.find("\"library\":\"" + named + "\"") != std::string::npos ||
                report.find("\"library\":\"" + libraryFile + "\"") != std::string::npos)
        << report.c_str();

    closesAfter(20);
    ASSERT_EQ(status("RN340_CashA"), 0); // an unset port reads 0xFF: state 0
    ASSERT_EQ(kick("RN340_CashA"), 1);
    EXPECT_EQ(status("RN340_CashA"), 1);
    int state = 1;
    for (int tries = 0; tries < 500 && state == 1; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        state = status("RN340_CashA");
    }
    EXPECT_EQ(state, 0) << "shut on its own";
    EXPECT_EQ(::dlclose(library), 0);
}

} // namespace
} // namespace cashdrawer::test
