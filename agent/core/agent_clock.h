// The agent's two times: a steady one for intervals (poll schedule, how
// long a drawer stayed open) and the calendar time its journal lines carry.
// Tests run the agent on a virtual one.
#pragma once

#include <chrono>
#include <cstdint>

namespace cashdrawer::agent {

class AgentClock {
public:
    virtual ~AgentClock() = default;
    virtual int64_t SteadyMicros() = 0;
    virtual int64_t UnixMillis() = 0;
};

class SystemAgentClock final : public AgentClock {
public:
    int64_t SteadyMicros() override {
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    int64_t UnixMillis() override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
};

} // namespace cashdrawer::agent
