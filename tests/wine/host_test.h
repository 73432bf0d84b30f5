// A small test harness for the Windows test host. (GoogleTest needs
// std::mutex, which the mingw win32 thread model does not have.)
//
// HOST_TEST(Name) { ... } registers a test; SERIAL_HOST_TEST(Name, "options")
// one that runs with the simulated serial drawer device behind COM12,
// started with those options. CHECK(cond) and CHECK_EQ(a, b) record a
// failure with its line and go on; REQUIRE(cond) ends the test.
// `host.exe Name` runs one test, `host.exe` alone runs every test in this
// one process, and `host.exe --list` names them all, one a line: the name,
// then for a serial test the word "serial" and the device's options.
#pragma once

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace host_test {

struct TestCase {
    const char* name;
    void (*body)();
    const char* serialDevice; // the device's options; null: no device
};

inline std::vector<TestCase>& Registry() {
    static std::vector<TestCase> tests;
    return tests;
}

inline int& Failures() {
    static int failures = 0;
    return failures;
}

// Whether the running test has recorded a failure yet.
inline int& FailuresAtStart() {
    static int failures = 0;
    return failures;
}

struct Registrar {
    Registrar(const char* name, void (*body)(), const char* serialDevice = nullptr) {
        Registry().push_back({name, body, serialDevice});
    }
};

struct Abort {};

inline void Fail(const char* file, int line, const std::string& what) {
    ++Failures();
    std::printf("%s:%d: failure: %s\n", file, line, what.c_str());
}

template <typename A, typename B>
void CheckEqual(const A& actual, const B& expected, const char* actualText, const char* expectedText, const char* file,
                int line) {
    if (!(actual == expected)) {
        std::ostringstream what;
        what << actualText << " is " << actual << ", expected " << expectedText << " = " << expected;
        Fail(file, line, what.str());
    }
}

inline bool RunOne(const TestCase& test) {
    const int before = Failures();
    FailuresAtStart() = before;
    std::printf("[ RUN      ] %s\n", test.name);
    try {
        test.body();
    } catch (const Abort&) {
    }
    const bool passed = Failures() == before;
    std::printf("[ %s ] %s\n", passed ? "      OK" : " FAILED ", test.name);
    return passed;
}

inline int Main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc > 1 && std::strcmp(argv[1], "--list") == 0) {
        for (const TestCase& test : Registry()) {
            if (test.serialDevice != nullptr) {
                std::printf("%s serial %s\n", test.name, test.serialDevice);
            } else {
                std::printf("%s\n", test.name);
            }
        }
        return 0;
    }
    int passed = 0;
    int failed = 0;
    for (const TestCase& test : Registry()) {
        if (argc > 1 && std::strcmp(argv[1], test.name) != 0) {
            continue;
        }
        (RunOne(test) ? passed : failed)++;
    }
    if (passed + failed == 0) {
        std::printf("no test named %s\n", argc > 1 ? argv[1] : "");
        return 2;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

} // namespace host_test

inline bool HasFailedSoFar() { return host_test::Failures() != host_test::FailuresAtStart(); }

#define HOST_TEST(name)                                                          \
    static void name();                                                          \
    static const host_test::Registrar name##_registrar(#name, &name);            \
    static void name()

#define SERIAL_HOST_TEST(name, deviceOptions)                                     \
    static void name();                                                          \
    static const host_test::Registrar name##_registrar(#name, &name, deviceOptions); \
    static void name()

#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) host_test::Fail(__FILE__, __LINE__, "CHECK(" #cond ")");    \
    } while (0)

#define REQUIRE(cond)                                                            \
    do {                                                                         \
        if (!(cond)) {                                                           \
            host_test::Fail(__FILE__, __LINE__, "REQUIRE(" #cond ")");           \
            throw host_test::Abort{};                                            \
        }                                                                        \
    } while (0)

#define CHECK_EQ(actual, expected)                                               \
    host_test::CheckEqual((actual), (expected), #actual, #expected, __FILE__, __LINE__)
