// Pairing: how a web till's origin gets its token. The terminal shows a
// one-time code (`cashdrawer-agent pair`); the page sends it with its
// Origin, and gets a token that works for that origin alone. Codes and
// tokens are kept only as SHA-256 hashes, in files only the agent's
// account can read, so that a copy of the files opens no drawer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cashdrawer::agent {

struct PairingCode {
    std::string codeHash;
    int64_t expiresUnixMillis = 0;
};

struct PairedOrigin {
    std::string origin;
    std::string tokenHash;
    int64_t pairedUnixMillis = 0;
};

// Where the code and the pairings are kept; the pair command and the agent
// are two processes, so both go through files.
class PairingStore {
public:
    virtual ~PairingStore() = default;
    virtual std::optional<PairingCode> Code() = 0;
    virtual bool SetCode(const PairingCode& code, std::string& error) = 0;
    virtual void RemoveCode() = 0;
    virtual std::vector<PairedOrigin> Paired() = 0;
    virtual bool SetPaired(const std::vector<PairedOrigin>& paired, std::string& error) = 0;
};

// pairing-code.json and pairings.json in `folder`.
std::unique_ptr<PairingStore> MakeFolderPairingStore(const std::string& folder);

inline constexpr std::size_t kPairingCodeDigits = 8;
inline constexpr int64_t kPairingCodeLifeMillis = 2 * 60 * 1000;

// A fresh code, replacing any earlier one; nothing, with `error`, when it
// cannot be stored.
std::optional<std::string> IssuePairingCode(PairingStore& store, int64_t nowUnixMillis, std::string& error);

// Forgets the origin's token; false when the origin was not paired.
bool RevokePairing(PairingStore& store, const std::string& origin, std::string& error);

class PairingDesk {
public:
    static constexpr int kWrongCodesBeforeLockOut = 5;
    static constexpr int64_t kLockOutMillis = 60 * 1000;

    explicit PairingDesk(PairingStore& store) : store_(store) {}

    enum class Outcome { Paired, WrongCode, LockedOut, NotStored };
    struct Attempt {
        Outcome outcome = Outcome::WrongCode;
        std::string token;            // when paired
        int64_t retryAfterMillis = 0; // when locked out (read for no other outcome)
        std::string error;            // when the pairing could not be stored
    };
    // Pairs `origin` (canonical) when `code` is the pending one, unexpired;
    // the code is used up. A later pairing of the same origin replaces its
    // token. The code's expiry is a calendar time (the pair command wrote
    // it); the lock-out runs on the steady clock, so that a clock set back
    // an hour cannot lock pairing for that hour, nor one set forward end it.
    Attempt Pair(const std::string& origin, std::string_view code, int64_t nowUnixMillis, int64_t nowSteadyMillis);

    // The origin the token was issued to; every stored hash is compared, in
    // constant time, whatever matched before it.
    std::optional<std::string> OriginOf(std::string_view token);
    bool IsPaired(const std::string& origin);

private:
    PairingStore& store_;
    int wrongCodes_ = 0;
    std::optional<int64_t> lockedUntilSteadyMillis_;
};

} // namespace cashdrawer::agent
