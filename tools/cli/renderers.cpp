#include "cli/renderers.h"

#include "cli/timing_diagram.h"
#include "config/config_file.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ostream>

namespace cashdrawer::cli {
namespace {

using nlohmann::json;

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

double Ms(uint64_t micros) { return static_cast<double>(micros) / 1000.0; }

class TextRenderer final : public Renderer {
public:
    explicit TextRenderer(std::ostream& out) : out_(out) {}

    void List(const std::vector<ListRow>& rows) override {
        out_ << "MODEL     DRAWER ID        METHOD                        OpenCash   GetCashStatus\n";
        for (const ListRow& row : rows) {
            char line[160];
            std::snprintf(line, sizeof line, "%-9s %-16s %-29s %-10s %s\n", row.model.c_str(), row.drawerId, row.method,
                          row.kicks ? "kicks" : "-1", row.reads ? "reads" : "-1");
            out_ << line;
        }
    }

    void Call(const CallReport& report) override {
        const std::string call = report.function + "(\"" + report.drawerId + "\")";
        if (report.simulated) {
            out_ << call << " on the simulated terminal:\n";
            for (const sim::AccessRecord& access : report.accesses) {
                out_ << "  " << sim::FormatAccess(access, report.originMicros) << "\n";
            }
        }
        out_ << call << " = " << report.result << ": " << report.outcome.meaning << "\n";
        if (report.driveLine) {
            out_ << "\n"
                 << DrawTimingDiagram(FollowDriveLine(report.accesses, *report.driveLine), report.originMicros,
                                      report.endMicros, *report.driveLine);
        }
    }

    void NoneChosen(const DefaultReport& report) override {
        out_ << report.function << "() = " << report.result << ": no drawer chosen; the defaults were written to "
             << report.file << " (the next call acts on " << kDefaultChosenDrawer << ")\n";
    }

    void WatchChange(const WatchLine& line) override {
        out_ << line.time << "  " << line.drawerId << "  " << line.result << " (" << line.outcome.meaning << ")\n";
        out_.flush();
    }

    void Config(const ConfigReport& report) override {
        out_ << "File:        " << report.file << "\n";
        out_ << "Chosen key:  " << (report.chosenKey.empty() ? "(none)" : report.chosenKey) << "   ["
             << kMachineSection << "] " << kChosenKey << "\n";
        if (report.drawerId && !report.drawerId->empty()) {
            out_ << "Drawer:      " << *report.drawerId << "   [" << kListSection << "] " << report.chosenKey << "\n";
        }
        out_ << "Resolves to: " << report.resolution << "\n";
        if (report.serial) {
            const SerialSettingsReport& serial = *report.serial;
            out_ << "Serial port: " << serial.port << " at " << serial.baudRate << " baud ([" << *report.drawerId
                 << "] ComNuM=" << serial.comNuM << ", Baudint=" << serial.baudint << ")\n";
        }
    }

    void ConfigWritten(const ConfigInitReport& report) override {
        out_ << "Wrote the default entries to " << report.file << " (" << kChosenKey << "=" << kDefaultChosenKey
             << ")\n";
    }

    // The health check's object as indented lines, one a value.
    void Doctor(const DoctorReport& report) override {
        out_ << "Health of " << (report.drawerId.empty() ? "the whole terminal" : report.drawerId) << ": "
             << (report.result == 1 ? "all is well" : report.result == -1 ? "unknown drawer" : "something is missing")
             << "\n";
        const auto parsed = nlohmann::ordered_json::parse(report.json, nullptr, false);
        if (!parsed.is_discarded()) {
            PrintTree(parsed, 1);
        } else if (!report.json.empty()) {
            out_ << "  " << report.json << "\n"; // a report the tool cannot read is shown as it came
        }
    }


private:
    void PrintTree(const nlohmann::ordered_json& object, int depth) {
        for (const auto& [key, value] : object.items()) {
            out_ << std::string(static_cast<std::size_t>(depth) * 2, ' ') << key << ":";
            if (value.is_object()) {
                out_ << "\n";
                PrintTree(value, depth + 1);
            } else {
                out_ << " " << (value.is_string() ? value.get<std::string>() : value.dump()) << "\n";
            }
        }
    }

    std::ostream& out_;
};

json AccessJson(const sim::AccessRecord& access, uint64_t origin) {
    json item{{"timeMs", Ms(access.timeMicros - origin)}};
    switch (access.op) {
    case sim::AccessOp::Initialize: item["op"] = "InitializeWinIo"; break;
    case sim::AccessOp::Shutdown: item["op"] = "ShutdownWinIo"; break;
    case sim::AccessOp::Read:
    case sim::AccessOp::Write:
        item["op"] = access.op == sim::AccessOp::Read ? "read" : "write";
        item["port"] = Hex(access.port, 4);
        item["width"] = access.width;
        item["value"] = Hex(access.value, access.width == 4 ? 8 : 2);
        break;
    case sim::AccessOp::Pause: item["op"] = "pause"; item["ms"] = access.value; break;
    case sim::AccessOp::BoardOpen: item["op"] = "olvexioOpen"; item["handle"] = access.value; break;
    case sim::AccessOp::BoardClose: item["op"] = "olvexioClose"; break;
    case sim::AccessOp::MemRead:
    case sim::AccessOp::MemWrite:
        item["op"] = access.op == sim::AccessOp::MemRead ? "memRead" : "memWrite";
        item["address"] = Hex(access.address, 8);
        item["value"] = Hex(access.value, 8);
        break;
    case sim::AccessOp::BusClaim: item["op"] = "superIoClaim"; item["claimed"] = access.value != 0; break;
    case sim::AccessOp::BusRelease: item["op"] = "superIoRelease"; break;
    }
    return item;
}

class JsonRenderer final : public Renderer {
public:
    explicit JsonRenderer(std::ostream& out) : out_(out) {}

    void List(const std::vector<ListRow>& rows) override {
        json all = json::array();
        for (const ListRow& row : rows) {
            all.push_back({{"model", row.model},
                           {"drawerId", row.drawerId},
                           {"method", row.method},
                           {"openCash", row.kicks ? "kicks" : "known, no drive line (-1)"},
                           {"getCashStatus", row.reads ? "reads" : "unknown (-1)"}});
        }
        Print(all);
    }

    void Call(const CallReport& report) override {
        json out{{"function", report.function}, {"drawerId", report.drawerId}, {"result", report.result},
                 {"meaning", report.outcome.meaning}, {"simulated", report.simulated}};
        if (report.simulated) {
            json items = json::array();
            for (const sim::AccessRecord& access : report.accesses) {
                items.push_back(AccessJson(access, report.originMicros));
            }
            out["accesses"] = items;
        }
        if (report.driveLine) {
            json pulses = json::array();
            for (const Pulse& pulse : PulsesOf(FollowDriveLine(report.accesses, *report.driveLine))) {
                pulses.push_back({{"level", pulse.level},
                                  {"fromMs", Ms(pulse.fromMicros - report.originMicros)},
                                  {"lengthMs", Ms(pulse.lengthMicros)}});
            }
            out["driveLine"] = {{"where", DescribeDriveLine(*report.driveLine)}, {"pulses", pulses}};
        }
        Print(out);
    }

    void NoneChosen(const DefaultReport& report) override {
        Print({{"function", report.function}, {"result", report.result}, {"meaning", "no drawer chosen"},
               {"file", report.file}});
    }

    // One line a change, so a script can read the stream as it comes.
    void WatchChange(const WatchLine& line) override {
        out_ << Dumped(json{{"time", line.time}, {"drawerId", line.drawerId}, {"result", line.result}}, -1) << "\n";
        out_.flush();
    }

    void Config(const ConfigReport& report) override {
        json out{{"file", report.file},
                 {"chosenKey", report.chosenKey},
                 {"drawerId", report.drawerId.value_or("")},
                 {"resolution", report.resolution}};
        if (report.serial) {
            out["serial"] = {{"port", report.serial->port},
                             {"ComNuM", report.serial->comNuM},
                             {"Baudint", report.serial->baudint},
                             {"baudRate", report.serial->baudRate}};
        }
        Print(out);
    }

    void ConfigWritten(const ConfigInitReport& report) override {
        Print({{"file", report.file}, {"written", report.written}});
    }

    void Doctor(const DoctorReport& report) override {
        nlohmann::ordered_json out{{"result", report.result}};
        const auto parsed = nlohmann::ordered_json::parse(report.json, nullptr, false);
        // A report that is not JSON is handed on as its text.
        out["health"] = parsed.is_discarded() ? nlohmann::ordered_json(report.json) : parsed;
        if (!report.libraryError.empty()) {
            out["error"] = report.libraryError;
        }
        out_ << Dumped(out, 2) << "\n";
    }


private:
    // Text that is not UTF-8 (an identifier typed in another code page, a
    // library's words) comes out with U+FFFD in place of the bad bytes:
    // the tool prints, whatever it was given.
    template <typename Json>
    static std::string Dumped(const Json& value, int indent) {
        return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    void Print(const json& value) { out_ << Dumped(value, 2) << "\n"; }

    std::ostream& out_;
};

} // namespace

std::unique_ptr<Renderer> MakeTextRenderer(std::ostream& out) { return std::make_unique<TextRenderer>(out); }
std::unique_ptr<Renderer> MakeJsonRenderer(std::ostream& out) { return std::make_unique<JsonRenderer>(out); }

} // namespace cashdrawer::cli
