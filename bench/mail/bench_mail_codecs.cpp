// Body encoders against reference encoders on 16 MB inputs, in one run:
// base64 against OpenSSL's EVP encoder (64-character lines) and GMime's
// step encoder; quoted-printable against GMime's step encoder. The
// references write their own line layout; ours must keep its exact form and
// still not be slower.
#include <benchmark/benchmark.h>

#include <gmime/gmime.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "mail/mime/content_coding.h"

using zelmar::mail::ContentCoding;

namespace {

constexpr std::size_t kSize = 16u << 20;

const std::string& binaryInput() {
    static const std::string data = [] {
        std::mt19937_64 rng(12345);
        std::string s(kSize, '\0');
        for (std::size_t i = 0; i < s.size(); i += 8) {
            std::uint64_t v = rng();
            for (std::size_t k = 0; k < 8 && i + k < s.size(); ++k) s[i + k] = static_cast<char>(v >> (8 * k));
        }
        return s;
    }();
    return data;
}

// Mail-like text: words, punctuation, CRLF lines of varying length, a few
// 8-bit letters, the odd "=" and line-start "." or "From ".
const std::string& textInput() {
    static const std::string data = [] {
        std::mt19937 rng(777);
        const char* words[] = {"the", "address", "changed", "to", "192.168.1.20", "and", "From", "server",
                               "caf\xC3\xA9", "=", "status:", "online.", "Gr\xC3\xBC\xC3\x9F" "e", "a", "refresh",
                               "notification"};
        std::string s;
        s.reserve(kSize + 200);
        std::size_t line = 0;
        while (s.size() < kSize) {
            if (line > 40 + rng() % 60) {
                s += "\r\n";
                line = 0;
                if (rng() % 50 == 0) s += ".";
                continue;
            }
            const char* w = words[rng() % std::size(words)];
            if (line) {
                s += ' ';
                ++line;
            }
            s += w;
            line += std::char_traits<char>::length(w);
        }
        s.resize(kSize);
        return s;
    }();
    return data;
}

void setBytes(benchmark::State& state, std::size_t n) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(n));
}

void BM_Base64Body_Zelmar(benchmark::State& state) {
    const std::string& in = binaryInput();
    ContentCoding cc;
    std::string out;
    out.reserve(in.size() * 4 / 3 + in.size() / 27 + 16);
    for (auto _ : state) {
        out.clear();
        cc.encodeBase64Body(in, out);
        benchmark::DoNotOptimize(out.data());
    }
    setBytes(state, in.size());
}
BENCHMARK(BM_Base64Body_Zelmar)->Unit(benchmark::kMillisecond);

void BM_Base64Body_OpenSslEvp(benchmark::State& state) {
    const std::string& in = binaryInput();
    std::vector<unsigned char> out(in.size() * 4 / 3 + in.size() / 48 + 1024);
    for (auto _ : state) {
        EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
        EVP_EncodeInit(ctx);
        int len = 0, total = 0;
        // EVP_EncodeUpdate takes an int length; feed it in 1 MB steps.
        for (std::size_t off = 0; off < in.size(); off += 1u << 20) {
            EVP_EncodeUpdate(ctx, out.data() + total, &len,
                             reinterpret_cast<const unsigned char*>(in.data()) + off, 1 << 20);
            total += len;
        }
        EVP_EncodeFinal(ctx, out.data() + total, &len);
        EVP_ENCODE_CTX_free(ctx);
        benchmark::DoNotOptimize(out.data());
    }
    setBytes(state, in.size());
}
BENCHMARK(BM_Base64Body_OpenSslEvp)->Unit(benchmark::kMillisecond);

void gmimeEncode(benchmark::State& state, const std::string& in, GMimeContentEncoding enc) {
    GMimeEncoding codec;
    std::vector<char> out;
    for (auto _ : state) {
        g_mime_encoding_init_encode(&codec, enc);
        out.resize(g_mime_encoding_outlen(&codec, in.size()) + 64);
        std::size_t n = g_mime_encoding_step(&codec, in.data(), in.size(), out.data());
        n += g_mime_encoding_flush(&codec, nullptr, 0, out.data() + n);
        benchmark::DoNotOptimize(n);
    }
    setBytes(state, in.size());
}

void BM_Base64Body_GMime(benchmark::State& state) { gmimeEncode(state, binaryInput(), GMIME_CONTENT_ENCODING_BASE64); }
BENCHMARK(BM_Base64Body_GMime)->Unit(benchmark::kMillisecond);

void BM_QuotedPrintableText_Zelmar(benchmark::State& state) {
    const std::string& in = textInput();
    ContentCoding cc;
    std::string out;
    out.reserve(in.size() * 3 + in.size() / 20);
    for (auto _ : state) {
        out.clear();
        cc.encodeQuotedPrintable(in, out);
        benchmark::DoNotOptimize(out.data());
    }
    setBytes(state, in.size());
}
BENCHMARK(BM_QuotedPrintableText_Zelmar)->Unit(benchmark::kMillisecond);

void BM_QuotedPrintableText_GMime(benchmark::State& state) {
    gmimeEncode(state, textInput(), GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
}
BENCHMARK(BM_QuotedPrintableText_GMime)->Unit(benchmark::kMillisecond);

void BM_QuotedPrintableBinary_Zelmar(benchmark::State& state) {
    const std::string& in = binaryInput();
    ContentCoding cc;
    std::string out;
    out.reserve(in.size() * 4);
    for (auto _ : state) {
        out.clear();
        cc.encodeQuotedPrintable(in, out);
        benchmark::DoNotOptimize(out.data());
    }
    setBytes(state, in.size());
}
BENCHMARK(BM_QuotedPrintableBinary_Zelmar)->Unit(benchmark::kMillisecond);

void BM_QuotedPrintableBinary_GMime(benchmark::State& state) {
    gmimeEncode(state, binaryInput(), GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
}
BENCHMARK(BM_QuotedPrintableBinary_GMime)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    g_mime_init();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_mime_shutdown();
    return 0;
}
