#include "journal/journal_line.h"

#include "core/json_text.h"

#include "journal/sha256.h"
#include "os/random.h"

#include <algorithm>
#include <cstdio>

namespace cashdrawer::agent {
namespace {

constexpr std::string_view kHashKey = ",\"hash\":\"";
// `,"hash":"` + 64 hex digits + `"}`.
constexpr std::size_t kHashTailLength = kHashKey.size() + 64 + 2;

std::string Dump(const Json& value) {
    // Bytes that are not UTF-8 (from a settings file, a library message)
    // become U+FFFD rather than an exception that would lose the event.
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool IsLowerHex(std::string_view text) {
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string ComposeLine(uint64_t seq, std::string_view time, const Event& event, std::string_view prev) {
    Json object = Json::object();
    object["seq"] = seq;
    object["time"] = time;
    object["kind"] = event.kind;
    for (const auto& [key, value] : event.fields.items()) {
        object[key] = value;
    }
    object["prev"] = prev;
    std::string withoutHash = Dump(object);
    const std::string hash = Sha256Hex(withoutHash);
    withoutHash.pop_back(); // the closing brace: the hash goes before it
    return withoutHash + std::string(kHashKey) + hash + "\"}";
}

std::optional<uint64_t> PeekSeq(std::string_view line) {
    constexpr std::string_view kStart = "{\"seq\":";
    if (line.substr(0, kStart.size()) != kStart) {
        return std::nullopt;
    }
    uint64_t seq = 0;
    std::size_t at = kStart.size();
    const std::size_t digitsEnd = std::min(line.size(), at + 16); // kMaxSeq has 16 digits
    for (; at < digitsEnd && line[at] >= '0' && line[at] <= '9'; ++at) {
        seq = seq * 10 + static_cast<uint64_t>(line[at] - '0');
    }
    if (at == kStart.size() || at == line.size() || line[at] != ',') {
        return std::nullopt;
    }
    return seq;
}

LineProblem CheckLine(std::string_view line, ParsedLine& parsed) {
    if (line.size() < kHashTailLength || line.substr(line.size() - 2) != "\"}" ||
        line.substr(line.size() - kHashTailLength, kHashKey.size()) != kHashKey) {
        return LineProblem::NotJournalLine;
    }
    const std::string_view hash = line.substr(line.size() - 66, 64);
    if (!IsLowerHex(hash)) {
        return LineProblem::NotJournalLine;
    }
    Json object = ParseJsonText(line);
    if (object.is_discarded() || !object.is_object() || !object.contains("seq") || !object["seq"].is_number_unsigned() ||
        !object.contains("time") || !object["time"].is_string() || !object.contains("kind") ||
        !object["kind"].is_string() || !object.contains("prev") || !object["prev"].is_string()) {
        return LineProblem::NotJournalLine;
    }
    parsed.hash = std::string(hash);
    parsed.prev = object["prev"].get<std::string>();
    parsed.event.seq = object["seq"].get<uint64_t>();
    parsed.event.time = object["time"].get<std::string>();
    parsed.event.kind = object["kind"].get<std::string>();
    parsed.event.line = std::string(line);
    parsed.event.fields = Json::object();
    for (const auto& [key, value] : object.items()) {
        if (key != "seq" && key != "time" && key != "kind" && key != "prev" && key != "hash") {
            parsed.event.fields[key] = value;
        }
    }
    std::string signedText(line.substr(0, line.size() - kHashTailLength));
    signedText += '}';
    if (Sha256Hex(signedText) != hash) {
        return LineProblem::HashMismatch;
    }
    return LineProblem::None;
}

Link LinkOf(uint64_t prevSeq, std::string_view prevHash, const ParsedLine& line) {
    const uint64_t seq = line.event.seq;
    if (line.prev != prevHash || seq > kMaxSeq || seq <= prevSeq) {
        return Link::Broken;
    }
    if (seq == prevSeq + 1) {
        return Link::Follows;
    }
    return IsJournalAlarm(line.event.kind) ? Link::DeclaredBreak : Link::Broken;
}

bool IsJournalAlarm(std::string_view kind) { return kind == kind::kJournalCut || kind == kind::kJournalAltered; }

std::string ChainIdOf(const JournalledEvent& firstLine) {
    const auto chain = firstLine.fields.find("chain");
    if (chain != firstLine.fields.end() && chain->is_string() && chain->get<std::string>().size() == 32 &&
        IsLowerHex(chain->get<std::string>())) {
        return chain->get<std::string>();
    }
    const std::size_t size = firstLine.line.size();
    return size >= 66 ? firstLine.line.substr(size - 66, 32) : "";
}

std::string NewChainId() { return RandomHex(16); }

std::string FormatUtcMillis(int64_t unixMillis) {
    // Days to a civil date in the proleptic Gregorian calendar (H. Hinnant's
    // days_from_civil, inverted): no time zone database, no C library call
    // that differs between systems.
    int64_t millis = unixMillis % 1000;
    int64_t seconds = unixMillis / 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    int64_t days = seconds / 86400;
    int64_t secondOfDay = seconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        days -= 1;
    }
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    char text[96]; // room for any 64-bit year, though only four digits are meant
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<long long>(secondOfDay / 3600), static_cast<long long>(secondOfDay / 60 % 60),
                  static_cast<long long>(secondOfDay % 60), static_cast<long long>(millis));
    return text;
}

} // namespace cashdrawer::agent
