// The R250 shift-register generator behind the component's random
// identifiers (Message-IDs, MIME boundaries).
//
// 250 words; each number is the XOR of two table words 103 apart, stored
// back. The table is filled from the platform's cryptographic source
// (getrandom), or from the standard generator seeded with the tick count if
// that fails; then, as usual for R250, every 7th word gets one bit set and
// the bits above it cleared, which keeps the words linearly independent.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

namespace zelmar::mail {

class R250 {
public:
    static constexpr int kWords = 250;
    static constexpr int kLag = 103;

    R250();

    // Refills the table (from getrandom, else the fallback).
    void seed();
    // Fills the table from the given 1000 bytes (tests, the fallback).
    void seedFromBytes(const unsigned char (&bytes)[kWords * 4]);
    std::uint32_t next();

private:
    std::array<std::uint32_t, kWords> table_{};
    int index_ = 0;
};

// The process-wide generator, guarded by a mutex; filled on first use.
// reseedSharedRandomOnce refills it once more (the first Message-ID does).
std::uint32_t sharedRandom32();
void reseedSharedRandomOnce();

}  // namespace zelmar::mail
