// The fuzz targets' stand-in for libFuzzer in builds without it: mutated
// seeds fed to LLVMFuzzerTestOneInput, so that every normal test run still
// pushes a few thousand hostile inputs through each parser. Header-only, as
// each fuzz target is a program of its own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace zelmar::test {

struct FuzzReplay {
    std::vector<std::string> seeds;
    // Bytes that mean something to the parser, for the replacing edit.
    std::string_view pieces;
    unsigned rngSeed = 2026;
    // Leading bytes of a seed that only steer the target (how it splits the
    // input, say): left out when the seed is spliced into another input.
    std::size_t controlBytes = 0;
};

// argv[1], when given, is the number of inputs (20,000 otherwise).
inline int ReplayMutatedSeeds(int argc, char** argv, const FuzzReplay& r) {
    const long iterations = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20000;
    std::mt19937 rng(r.rngSeed);
    for (long i = 0; i < iterations; ++i) {
        std::string s = r.seeds[rng() % r.seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; ++e) {
            const std::size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
            switch (rng() % 4) {
                case 0: s.insert(pos, 1, static_cast<char>(rng() & 0xFF)); break;
                case 1:
                    if (pos < s.size()) s.erase(pos, 1 + rng() % 4);
                    break;
                case 2: {
                    const std::string& other = r.seeds[rng() % r.seeds.size()];
                    s.insert(pos, other.substr(std::min(r.controlBytes, other.size())));
                    break;
                }
                default:
                    if (pos < s.size() && !r.pieces.empty()) s[pos] = r.pieces[rng() % r.pieces.size()];
            }
        }
        if (s.size() > 4096) s.resize(4096);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    }
    std::printf("%ld inputs, no findings\n", iterations);
    return 0;
}

}  // namespace zelmar::test
