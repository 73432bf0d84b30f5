// How the fleet client comes back after a failure: how long it waits
// before each attempt, and the words that tell why the last one failed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace cashdrawer::agent {

// How long to wait before the next attempt after `failures` in a row:
// 1 s, doubled each time, 30 s at the most.
int64_t ReconnectDelayMs(unsigned failures);

// A broker that takes the connection and never answers it (a proxy, a
// broker stuck at its start) shows only as the client's keep-alive running
// out, which the client words as an unknown error: these words say what
// happened instead, when an attempt failed after `waitedMs` without an
// answer and nothing more telling was noted.
std::string SilentBrokerWords(int64_t waitedMs);

// The failures in a row since the last session the broker took, and the
// wait each one earns. Each wait is drawn between half and all of the
// delay (`share`, from 0.5 to 1): a fleet whose broker came back must not
// knock on its door all at the same instant.
class ReconnectBackoff {
public:
    int64_t WaitAfterFailureMs(double share) {
        return static_cast<int64_t>(static_cast<double>(ReconnectDelayMs(++failures_)) * share);
    }
    void SessionTaken() { failures_ = 0; }

private:
    unsigned failures_ = 0;
};

// The words that tell why an attempt failed. The first words of a failure
// win: a refusal's reason (the broker's CONNACK, or the client's TLS error)
// is not replaced by the "connection lost" that follows it. They tell that
// one attempt only: the next failure is told in its own words.
class FailureWords {
public:
    void Note(std::string words) {
        if (noted_.empty()) {
            noted_ = std::move(words);
        }
    }
    // What to tell of the failure just seen; the client's words when
    // nothing was noted before them.
    std::string Take(std::string clientWords) {
        std::string noted = std::exchange(noted_, std::string());
        return noted.empty() ? clientWords : noted;
    }
    void Forget() { noted_.clear(); }

private:
    std::string noted_;
};

} // namespace cashdrawer::agent
