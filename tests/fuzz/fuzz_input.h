// Takes a fuzzer's bytes apart into the pieces a target needs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace cashdrawer::fuzz {

// A broken invariant: the run ends as a crash, which the fuzzer keeps.
inline void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Bytes up to the next `separator` (not included) or the end.
    std::string Until(uint8_t separator) {
        std::string text;
        while (at_ < size_ && data_[at_] != separator) {
            text.push_back(static_cast<char>(data_[at_++]));
        }
        if (at_ < size_) {
            ++at_;
        }
        return text;
    }
    // The next `count` bytes, or as many as are left.
    std::string Bytes(std::size_t count) {
        count = std::min(count, size_ - at_);
        std::string text(reinterpret_cast<const char*>(data_ + at_), count);
        at_ += count;
        return text;
    }
    std::string Rest() {
        std::string text(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
        at_ = size_;
        return text;
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

} // namespace cashdrawer::fuzz
