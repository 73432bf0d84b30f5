// pairings.json and pairing-code.json as the agent reads them from its
// folder: entries of any type or shape are skipped, never fatal, and no
// token opens anything unless its hash is stored for that origin.
#include "bridge/pairing.h"

#include "journal/sha256.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz_input.h"

using cashdrawer::fuzz::Require;

namespace {

const std::string& Folder() {
    static const std::string folder = [] {
        // (In memory where the system has it: a file read each run.)
        char pattern[] = "/dev/shm/fuzz-pairings-XXXXXX";
        return std::string(::mkdtemp(pattern));
    }();
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace cashdrawer::agent;
    cashdrawer::fuzz::FuzzInput input(data, size);
    const std::string token = input.Until(0);
    const std::string code = input.Until(0);
    std::ofstream(Folder() + "/pairing-code.json", std::ios::binary | std::ios::trunc) << code;
    std::ofstream(Folder() + "/pairings.json", std::ios::binary | std::ios::trunc) << input.Rest();
    auto store = MakeFolderPairingStore(Folder());
    PairingDesk desk(*store);
    const auto paired = store->Paired();
    const auto origin = desk.OriginOf(token);
    if (origin) {
        bool stored = false;
        for (const PairedOrigin& entry : paired) {
            stored = stored || (entry.origin == *origin && entry.tokenHash == Sha256Hex(token));
        }
        Require(stored);
    }
    desk.IsPaired("https://till.example");
    store->Code();
    return 0;
}
