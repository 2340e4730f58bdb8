#include "mail/base/r250.h"

#include <sys/random.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace zelmar::mail {

namespace {

bool fillFromPlatform(unsigned char* p, std::size_t n) {
    std::size_t got = 0;
    for (int tries = 0; got < n && tries < 8; ++tries) {
        ssize_t r = getrandom(p + got, n - got, 0);
        if (r > 0) got += static_cast<std::size_t>(r);
    }
    return got == n;
}

// The standard generator seeded with the tick count; each word from three
// of its 15-bit outputs.
void fillFromFallback(unsigned char* p, std::size_t n) {
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    std::srand(static_cast<unsigned>(ticks));
    for (std::size_t i = 0; i + 4 <= n; i += 4) {
        std::uint32_t w = (static_cast<std::uint32_t>(std::rand() & 0x7FFF) << 17) ^
                          (static_cast<std::uint32_t>(std::rand() & 0x7FFF) << 2) ^
                          static_cast<std::uint32_t>(std::rand() & 0x7FFF);
        std::memcpy(p + i, &w, 4);
    }
}

std::mutex g_mutex;
bool g_reseeded = false;

R250& shared() {
    static R250 gen;  // constructed (and seeded) on first use
    return gen;
}

}  // namespace

R250::R250() { seed(); }

void R250::seed() {
    unsigned char bytes[kWords * 4];
    if (!fillFromPlatform(bytes, sizeof bytes)) fillFromFallback(bytes, sizeof bytes);
    seedFromBytes(bytes);
}

void R250::seedFromBytes(const unsigned char (&bytes)[kWords * 4]) {
    for (int i = 0; i < kWords; ++i) std::memcpy(&table_[static_cast<std::size_t>(i)], bytes + 4 * i, 4);
    std::uint32_t mask = 0xFFFFFFFFu, msb = 0x80000000u;
    for (int j = 0; j < 32; ++j) {
        auto& w = table_[static_cast<std::size_t>(7 * j + 3)];
        w = (w & mask) | msb;
        mask >>= 1;
        msb >>= 1;
    }
    index_ = 0;
}

std::uint32_t R250::next() {
    int j = index_ + kLag;
    if (j >= kWords) j -= kWords;
    const std::uint32_t v = table_[static_cast<std::size_t>(index_)] ^ table_[static_cast<std::size_t>(j)];
    table_[static_cast<std::size_t>(index_)] = v;
    if (++index_ >= kWords) index_ = 0;
    return v;
}

std::uint32_t sharedRandom32() {
    std::lock_guard lock(g_mutex);
    return shared().next();
}

void reseedSharedRandomOnce() {
    std::lock_guard lock(g_mutex);
    if (g_reseeded) return;
    g_reseeded = true;
    shared().seed();
}

}  // namespace zelmar::mail
