#include "watch/drawer_board.h"

#include "core/json_text.h"

namespace cashdrawer::agent {

Json DrawerView::ToJson() const {
    Json json{{"id", id}, {"state", state}, {"raw", raw >= 0 ? Json(raw) : Json(nullptr)}, {"reachable", reachable}};
    if (!reason.empty()) {
        json["reason"] = reason;
    }
    json["lastSeq"] = lastSeq;
    return json;
}

DrawerBoard::DrawerBoard(const std::vector<WatchedDrawer>& watched) {
    for (const WatchedDrawer& drawer : watched) {
        order_.push_back(drawer.id);
        views_[drawer.id].id = drawer.id;
    }
}

void DrawerBoard::Add(const JournalledEvent& event) {
    const auto drawer = event.fields.find("drawer");
    if (drawer == event.fields.end() || !drawer->is_string()) {
        return;
    }
    const auto found = views_.find(drawer->get<std::string>());
    if (found == views_.end()) {
        return;
    }
    DrawerView& view = found->second;
    view.lastSeq = event.seq;
    if (event.kind == kind::kOpened || event.kind == kind::kClosed || event.kind == kind::kStateChanged) {
        view.state = event.kind == kind::kOpened ? "open" : event.kind == kind::kClosed ? "closed" : "unknown";
        view.raw = FieldOr(event.fields, "raw", -1);
        view.reachable = true;
        view.reason.clear();
    } else if (event.kind == kind::kUnreachable) {
        view.reachable = false;
        view.reason = FieldOr(event.fields, "reason", std::string());
    } else if (event.kind == kind::kReachable) {
        view.reachable = true;
        view.reason.clear();
    }
}

std::vector<DrawerView> DrawerBoard::All() const {
    std::vector<DrawerView> all;
    for (const std::string& id : order_) {
        all.push_back(views_.at(id));
    }
    return all;
}

const DrawerView* DrawerBoard::Find(const std::string& id) const {
    const auto found = views_.find(id);
    return found == views_.end() ? nullptr : &found->second;
}

std::string DescribeDrawerView(const DrawerView& view) {
    if (!view.reachable) {
        return view.id + ": " + (view.reason.empty() ? "not read yet" : "unreachable: " + view.reason);
    }
    return view.id + ": " + view.state + " (raw " + std::to_string(view.raw) + "), since seq " +
           std::to_string(view.lastSeq);
}

} // namespace cashdrawer::agent
