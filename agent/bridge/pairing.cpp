#include "bridge/pairing.h"

#include "bridge/bridge_access.h"
#include "core/event.h"
#include "core/json_text.h"
#include "os/durable_files.h"
#include "os/owner_only_file.h"
#include "os/random.h"
#include "journal/sha256.h"

#include <algorithm>

namespace cashdrawer::agent {
namespace {

class FolderPairingStore final : public PairingStore {
public:
    explicit FolderPairingStore(std::string folder)
        : codeFile_(folder + "/pairing-code.json"), pairedFile_(folder + "/pairings.json") {}

    std::optional<PairingCode> Code() override {
        const Json json = ReadJson(codeFile_);
        const std::string codeHash = FieldOr(json, "codeHash", std::string());
        const int64_t expires = FieldOr(json, "expires", int64_t{-1});
        if (codeHash.empty() || expires < 0) {
            return std::nullopt; // no code, or none this agent wrote: nothing to pair with
        }
        return PairingCode{codeHash, expires};
    }
    bool SetCode(const PairingCode& code, std::string& error) override {
        return WriteOwnerOnlyFile(codeFile_, Json{{"codeHash", code.codeHash}, {"expires", code.expiresUnixMillis}}.dump(),
                                  error);
    }
    void RemoveCode() override { RemoveFileIfThere(codeFile_); }

    std::vector<PairedOrigin> Paired() override {
        std::vector<PairedOrigin> paired;
        const Json json = ReadJson(pairedFile_);
        if (!json.is_object() || !json.contains("paired") || !json["paired"].is_array()) {
            return paired;
        }
        for (const Json& entry : json["paired"]) {
            // An entry of another shape is skipped: it pairs nobody, and
            // the others still serve.
            PairedOrigin origin{FieldOr(entry, "origin", std::string()), FieldOr(entry, "tokenHash", std::string()),
                                FieldOr(entry, "paired", int64_t{0})};
            if (!origin.origin.empty() && !origin.tokenHash.empty()) {
                paired.push_back(std::move(origin));
            }
        }
        return paired;
    }
    bool SetPaired(const std::vector<PairedOrigin>& paired, std::string& error) override {
        Json list = Json::array();
        for (const PairedOrigin& entry : paired) {
            list.push_back(Json{{"origin", entry.origin}, {"tokenHash", entry.tokenHash}, {"paired", entry.pairedUnixMillis}});
        }
        return WriteOwnerOnlyFile(pairedFile_, Json{{"paired", list}}.dump(2) + "\n", error);
    }

private:
    // A file that is missing or no JSON reads as nothing paired: the agent
    // then refuses every token, which is the safe side.
    static Json ReadJson(const std::string& file) {
        const auto text = ReadFileBytes(file, kMaxSmallFileBytes);
        return text ? ParseJsonText(*text) : Json();
    }

    std::string codeFile_;
    std::string pairedFile_;
};

} // namespace

std::unique_ptr<PairingStore> MakeFolderPairingStore(const std::string& folder) {
    return std::make_unique<FolderPairingStore>(folder);
}

std::optional<std::string> IssuePairingCode(PairingStore& store, int64_t nowUnixMillis, std::string& error) {
    std::string code = RandomDigits(kPairingCodeDigits);
    if (!store.SetCode(PairingCode{Sha256Hex(code), nowUnixMillis + kPairingCodeLifeMillis}, error)) {
        return std::nullopt;
    }
    return code;
}

bool RevokePairing(PairingStore& store, const std::string& origin, std::string& error) {
    std::vector<PairedOrigin> paired = store.Paired();
    const auto kept = std::erase_if(paired, [&](const PairedOrigin& entry) { return entry.origin == origin; });
    if (kept == 0) {
        error = origin + " is not paired";
        return false;
    }
    return store.SetPaired(paired, error);
}

PairingDesk::Attempt PairingDesk::Pair(const std::string& origin, std::string_view code, int64_t nowUnixMillis,
                                       int64_t nowSteadyMillis) {
    Attempt attempt;
    if (lockedUntilSteadyMillis_ && nowSteadyMillis < *lockedUntilSteadyMillis_) {
        attempt.outcome = Outcome::LockedOut;
        attempt.retryAfterMillis = *lockedUntilSteadyMillis_ - nowSteadyMillis;
        return attempt;
    }
    const auto pending = store_.Code();
    const bool right = pending && nowUnixMillis < pending->expiresUnixMillis &&
                       EqualInConstantTime(Sha256Hex(code), pending->codeHash);
    if (!right) {
        if (++wrongCodes_ >= kWrongCodesBeforeLockOut) {
            wrongCodes_ = 0;
            lockedUntilSteadyMillis_ = nowSteadyMillis + kLockOutMillis;
        }
        attempt.outcome = Outcome::WrongCode;
        return attempt;
    }
    wrongCodes_ = 0;
    store_.RemoveCode(); // one page, one use
    std::string token = RandomHex(32);
    std::vector<PairedOrigin> paired = store_.Paired();
    std::erase_if(paired, [&](const PairedOrigin& entry) { return entry.origin == origin; });
    paired.push_back(PairedOrigin{origin, Sha256Hex(token), nowUnixMillis});
    if (!store_.SetPaired(paired, attempt.error)) {
        attempt.outcome = Outcome::NotStored;
        return attempt;
    }
    attempt.outcome = Outcome::Paired;
    attempt.token = std::move(token);
    return attempt;
}

std::optional<std::string> PairingDesk::OriginOf(std::string_view token) {
    const std::string hash = Sha256Hex(token);
    std::optional<std::string> origin;
    for (const PairedOrigin& entry : store_.Paired()) {
        if (EqualInConstantTime(hash, entry.tokenHash) && !origin) {
            origin = entry.origin;
        }
    }
    return origin;
}

bool PairingDesk::IsPaired(const std::string& origin) {
    const auto paired = store_.Paired();
    return std::any_of(paired.begin(), paired.end(), [&](const PairedOrigin& entry) { return entry.origin == origin; });
}

} // namespace cashdrawer::agent
