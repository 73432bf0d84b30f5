// What the agent's tests share: a temporary journal folder, a virtual
// clock, and drawers whose sensors follow a script.
#pragma once

#include "core/agent_clock.h"
#include "watch/drawer_access.h"
#include "journal/journal.h"
#include "bridge/pairing.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace cashdrawer::agent::testing {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cashdrawer-agent-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

inline std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line + "\n";
    }
    return text;
}

class VirtualAgentClock final : public AgentClock {
public:
    int64_t SteadyMicros() override { return steadyMicros; }
    int64_t UnixMillis() override { return unixMillis + steadyMicros / 1000; }
    void AdvanceMs(int64_t ms) { steadyMicros += ms * 1000; }

    std::atomic<int64_t> steadyMicros{5'000'000}; // (a test may read it from a second thread)
    int64_t unixMillis = 1796733296789; // 2026-12-08T12:34:51.789Z at steady 0
};

// Drawers whose state reads come from a per-drawer script (the last value
// repeats), and whose kicks answer what the test set.
class ScriptedDrawers final : public DrawerAccess {
public:
    int GetCashStatus(const std::string& id) override {
        if (++reads > readLimit) {
            throw std::runtime_error("more status reads than the test allows");
        }
        auto& script = readings[id];
        if (script.empty()) {
            return -1;
        }
        const int value = script.front();
        if (script.size() > 1) {
            script.pop_front();
        }
        if (value < 0) {
            lastError = "the drawer's hardware cannot be reached";
        }
        return value;
    }
    int OpenCash(const std::string& id) override {
        calls.push_back("OpenCash " + id);
        return kickResult;
    }
    int OpenCashConfirmed(const std::string& id, int timeoutMs) override {
        calls.push_back("OpenCashConfirmed " + id + " " + std::to_string(timeoutMs));
        if (onKick) {
            onKick();
        }
        return kickResult;
    }
    std::string LastError() override { return lastError; }
    std::string Version() override { return "9.8.7"; }
    std::string Location() const override { return "/scripted/libcashdrawer.so.0"; }

    std::map<std::string, std::deque<int>> readings;
    int kickResult = 1;
    std::string lastError;
    std::vector<std::string> calls;
    std::function<void()> onKick; // what a confirmed kick does meanwhile (the time it takes)
    int reads = 0;
    int readLimit = 100000;
};

inline std::unique_ptr<Journal> OpenJournal(const std::string& folder, uint64_t fileBytes = 8u << 20) {
    Journal::OpenStatus status{};
    std::string error;
    auto journal = Journal::Open(JournalOptions{folder, fileBytes}, status, error);
    EXPECT_TRUE(journal) << error;
    return journal;
}

// Every event the journal holds, in order.
inline std::vector<JournalledEvent> ReadAll(const std::string& folder, JournalReport* report = nullptr) {
    std::vector<JournalledEvent> events;
    const JournalReport read = ReadJournal(folder, [&](const JournalledEvent& e) { events.push_back(e); });
    if (report != nullptr) {
        *report = read;
    } else {
        EXPECT_TRUE(read.ok) << read.Describe();
    }
    return events;
}

inline std::vector<std::string> KindsOf(const std::vector<JournalledEvent>& events) {
    std::vector<std::string> kinds;
    for (const auto& event : events) {
        kinds.push_back(event.kind);
    }
    return kinds;
}

// RLIMIT_FSIZE stands in for a full disk: the write that would pass it
// fails with EFBIG (SIGXFSZ is ignored), as one on a full disk fails with
// ENOSPC.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

private:
    rlimit saved_{};
};

// Pairings kept in memory; its writes fail when the test says so.
class MemoryPairingStore final : public PairingStore {
public:
    std::optional<PairingCode> Code() override { return code; }
    bool SetCode(const PairingCode& made, std::string&) override {
        code = made;
        return true;
    }
    void RemoveCode() override { code.reset(); }
    std::vector<PairedOrigin> Paired() override { return paired; }
    bool SetPaired(const std::vector<PairedOrigin>& list, std::string& error) override {
        if (failWrites) {
            error = "disk full";
            return false;
        }
        paired = list;
        return true;
    }

    std::optional<PairingCode> code;
    std::vector<PairedOrigin> paired;
    bool failWrites = false;
};

} // namespace cashdrawer::agent::testing
