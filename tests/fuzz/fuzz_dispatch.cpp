// The identifier dispatch of both exports, on the simulated terminal and a
// virtual clock. Each input is a few calls, each with an identifier and
// what the hardware does. Whatever comes, every result is one of the
// documented values, each port I/O bracket and each bus claim is closed,
// each board handle is given back, and the Super I/O chip is never left in
// configuration mode.

#include "cash_drawer.h"
#include "sim/sim_terminal.h"

#include <cstdlib>
#include <map>
#include <cstring>
#include <memory>

#include "fuzz_input.h"

using cashdrawer::fuzz::Require;

namespace {

using cashdrawer::Result;
using cashdrawer::PortWidth;
using cashdrawer::sim::AccessOp;

bool Documented(int result, bool status) {
    if (status) {
        return result == 1 || result == 0 || result == CASH_DRAWER_UNKNOWN_ID || result == CASH_DRAWER_UNREACHABLE;
    }
    return result == CASH_DRAWER_KICKED || result == CASH_DRAWER_UNKNOWN_ID || result == CASH_DRAWER_UNREACHABLE;
}

// Every opening in the log has its closing, in order, and nothing is left open.
void RequireBalanced(const cashdrawer::sim::AccessLog& log) {
    int bracket = 0;
    int bus = 0;
    int board = 0;
    for (const auto& record : log.Records()) {
        switch (record.op) {
        case AccessOp::Initialize: Require(++bracket == 1); break;
        case AccessOp::Shutdown: Require(--bracket == 0); break;
        case AccessOp::BusClaim: bus += record.value != 0 ? 1 : 0; Require(bus <= 1); break;
        case AccessOp::BusRelease: Require(--bus == 0); break;
        case AccessOp::BoardOpen: board += record.value != 0 ? 1 : 0; Require(board <= 1); break;
        case AccessOp::BoardClose: Require(--board == 0); break;
        default: break;
        }
    }
    Require(bracket == 0 && bus == 0 && board == 0);
}

// The configuration as keys and values, without the file's text: the INI
// rules have a target of their own, and rewriting a 38-line file for each
// default write would cost this one most of its speed.
class KeyValueStore final : public cashdrawer::ProfileStore {
public:
    std::string CurrentDirectory() override { return "C:\\POS"; }
    char PathSeparator() const override { return '\\'; }
    std::string ReadString(const std::string&, const std::string& section, const std::string& key) override {
        const auto found = values_.find(Name(section, key));
        return found == values_.end() ? std::string() : found->second;
    }
    void WriteString(const std::string&, const std::string& section, const std::string& key,
                     const std::string& value) override {
        values_[Name(section, key)] = value;
    }
    void Clear() { values_.clear(); }

private:
    static std::string Name(const std::string& section, const std::string& key) {
        std::string name = section + '\0' + key;
        for (char& c : name) {
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        }
        return name;
    }
    std::map<std::string, std::string> values_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    cashdrawer::fuzz::FuzzInput input(data, size);
    cashdrawer::sim::BasicSimTerminal<cashdrawer::sim::VirtualClock, KeyValueStore> terminal;
    terminal.profiles.WriteString("", "DL470_CashA", "ComNuM", "3");
    for (int call = 0; call < 8 && !input.Empty(); ++call) {
        const uint8_t control = input.Byte();
        const uint8_t portValue = input.Byte();
        // What the hardware does on this call.
        terminal.ports.SetStart((control & 0x04) != 0 ? Result::LibraryFailed : Result::Ok);
        terminal.board.SetOpenFails((control & 0x08) != 0);
        terminal.superIo.SetGpioPins(portValue);
        terminal.ports.Poke(static_cast<uint16_t>(0x500 + (control & 0xF0)), portValue, PortWidth::Byte);
        terminal.serial.QueueInput({portValue, 0, 0, 0});
        terminal.serial.QueueInput({});
        if ((control & 0x10) != 0 && terminal.monitor.Started()) {
            terminal.monitor.RunStep();
            terminal.monitor.RunStep();
        }
        // The identifier in a block of its exact size: reading one byte past
        // its terminator is an AddressSanitizer report.
        const std::string text = input.Until('\n');
        auto identifier = std::make_unique<char[]>(text.size() + 1);
        std::memcpy(identifier.get(), text.c_str(), text.size() + 1);
        const char* id = (control & 0x20) != 0 && text.empty() ? nullptr : identifier.get();

        int result = 0;
        const bool status = (control & 0x01) != 0;
        if ((control & 0x02) != 0) {
            // The identifier reaches the Default exports through the file.
            // Otherwise the file stays as it is: the first time it chooses
            // nothing and the defaults are written (once per input: they
            // cost as much as the rest of it).
            if ((control & 0x40) == 0) {
                terminal.profiles.WriteString("", "CashDrawer_Machine", "CurrentCashDrawer", "Till");
                terminal.profiles.WriteString("", "CashDrawerList", "Till", text);
            } else if ((control & 0x80) != 0) {
                terminal.profiles.Clear(); // no file: the defaults are written
            }
            result = status ? terminal.library.GetCashStatusDefault() : terminal.library.OpenCashDefault();
            Require(result == 0 || Documented(result, status));
        } else {
            result = status ? terminal.library.GetCashStatus(id) : terminal.library.OpenCash(id);
            Require(Documented(result, status));
        }
        RequireBalanced(terminal.log);
        Require(!terminal.superIo.InConfigMode());
    }
    terminal.library.OnUnload(false);
    Require(!terminal.serial.IsOpen());
    return 0;
}
