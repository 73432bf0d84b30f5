// What the bridge tells of each watched drawer, built from the journalled
// events alone (the agent's own state is its thread's): the state, whether
// the library reaches it and why not, and the seq of its last event, which
// a page compares with the events it has seen.
#pragma once

#include "core/event.h"
#include "core/settings.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cashdrawer::agent {

struct DrawerView {
    std::string id;
    std::string state = "unknown"; // "open", "closed", "unknown"
    int raw = -1;                  // the state bit, -1 before the first read
    bool reachable = false;        // false also before the first read
    std::string reason;            // why the library does not reach it
    uint64_t lastSeq = 0;

    Json ToJson() const;
};

// "RN340_CashA: open (raw 1), since seq 12", as a technician reads it.
std::string DescribeDrawerView(const DrawerView& view);

class DrawerBoard {
public:
    explicit DrawerBoard(const std::vector<WatchedDrawer>& watched);

    // Takes an event in journal order; events of drawers not watched, and
    // those without a drawer, change nothing.
    void Add(const JournalledEvent& event);

    std::vector<DrawerView> All() const;
    const DrawerView* Find(const std::string& id) const;

private:
    std::vector<std::string> order_;
    std::map<std::string, DrawerView> views_;
};

} // namespace cashdrawer::agent
