#include "journal/journal_alarms.h"

#include "core/json_text.h"
#include "os/durable_files.h"
#include "os/owner_only_file.h"

#include <algorithm>
#include <filesystem>

namespace cashdrawer::agent {
namespace {

std::string AlarmsFile(const std::string& folder) {
    const std::u8string path = (std::filesystem::path(std::u8string(folder.begin(), folder.end())) / "journal-alarms.json").u8string();
    return std::string(path.begin(), path.end());
}

bool Write(const std::string& folder, const std::vector<JournalAlarm>& alarms, std::string& error) {
    Json list = Json::array();
    for (const JournalAlarm& alarm : alarms) {
        list.push_back(alarm.ToJson());
    }
    return WriteOwnerOnlyFile(AlarmsFile(folder), Json{{"alarms", list}}.dump(2, ' ', false, Json::error_handler_t::replace) + "\n",
                              error);
}

} // namespace

Json JournalAlarm::ToJson() const {
    Json json{{"seq", seq}, {"kind", kind}, {"time", time}, {"problem", problem}};
    if (!Open()) {
        json["acknowledgedBy"] = acknowledgedBy;
        json["acknowledgedTime"] = acknowledgedTime;
    }
    return json;
}

std::vector<JournalAlarm> ReadJournalAlarms(const std::string& folder) {
    std::vector<JournalAlarm> alarms;
    const auto text = ReadFileBytes(AlarmsFile(folder), kMaxSmallFileBytes);
    const Json json = text ? ParseJsonText(*text) : Json();
    if (!json.is_object() || !json.contains("alarms") || !json["alarms"].is_array()) {
        return alarms;
    }
    for (const Json& entry : json["alarms"]) {
        JournalAlarm alarm;
        alarm.seq = FieldOr(entry, "seq", uint64_t{0});
        alarm.kind = FieldOr(entry, "kind", std::string());
        alarm.time = FieldOr(entry, "time", std::string());
        alarm.problem = FieldOr(entry, "problem", std::string());
        alarm.acknowledgedBy = FieldOr(entry, "acknowledgedBy", std::string());
        alarm.acknowledgedTime = FieldOr(entry, "acknowledgedTime", std::string());
        if (alarm.seq != 0 && !alarm.kind.empty()) {
            alarms.push_back(std::move(alarm));
        }
    }
    std::sort(alarms.begin(), alarms.end(), [](const auto& a, const auto& b) { return a.seq < b.seq; });
    return alarms;
}

Json OpenJournalAlarms(const std::string& folder) {
    Json open = Json::array();
    for (const JournalAlarm& alarm : ReadJournalAlarms(folder)) {
        if (alarm.Open()) {
            open.push_back(alarm.ToJson());
        }
    }
    return open;
}

bool RecordJournalAlarm(const std::string& folder, const JournalledEvent& event, std::string& error) {
    std::vector<JournalAlarm> alarms = ReadJournalAlarms(folder);
    JournalAlarm alarm;
    alarm.seq = event.seq;
    alarm.kind = event.kind;
    alarm.time = event.time;
    alarm.problem = FieldOr(event.fields, "problem", std::string());
    alarms.push_back(std::move(alarm));
    return Write(folder, alarms, error);
}

Acknowledged AcknowledgeJournalAlarm(const std::string& folder, uint64_t seq, const std::string& by,
                                     const std::string& time, std::string& error) {
    std::vector<JournalAlarm> alarms = ReadJournalAlarms(folder);
    const auto found = std::find_if(alarms.begin(), alarms.end(), [seq](const JournalAlarm& a) { return a.seq == seq; });
    if (found == alarms.end()) {
        return Acknowledged::NoSuchAlarm;
    }
    if (!found->Open()) {
        return Acknowledged::AlreadyAcknowledged;
    }
    found->acknowledgedBy = by.empty() ? "?" : by;
    found->acknowledgedTime = time;
    return Write(folder, alarms, error) ? Acknowledged::Done : Acknowledged::Failed;
}

} // namespace cashdrawer::agent
