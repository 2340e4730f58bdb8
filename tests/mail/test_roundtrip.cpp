// Round trips through an independent decoder: what we encode, Python's
// base64, binascii and email modules must decode back to the input.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "mail/mime/charset.h"
#include "mail/mime/content_coding.h"

using namespace zelmar::mail;
namespace fs = std::filesystem;

#ifndef ZELMAR_PY_DECODER
#error "ZELMAR_PY_DECODER must name the decoder script"
#endif

namespace {

constexpr const char* kPython = "/usr/bin/python3";

std::string readFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void writeFile(const fs::path& p, std::string_view s) {
    std::ofstream f(p, std::ios::binary);
    f.write(s.data(), static_cast<std::streamsize>(s.size()));
}

struct Job {
    std::string kind;
    std::string encoded;
    std::string expect;
};

// Runs every job through one Python process and checks each result.
void runJobs(const std::vector<Job>& jobs) {
    if (access(kPython, X_OK) != 0) GTEST_SKIP() << "no " << kPython;
    fs::path dir = fs::temp_directory_path() / ("zelmar_rt_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string list;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        writeFile(dir / ("in" + std::to_string(i)), jobs[i].encoded);
        list += jobs[i].kind + " " + (dir / ("in" + std::to_string(i))).string() + " " +
                (dir / ("out" + std::to_string(i))).string() + "\n";
    }
    writeFile(dir / "list", list);
    std::string cmd = std::string(kPython) + " " + ZELMAR_PY_DECODER + " < " + (dir / "list").string();
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    for (std::size_t i = 0; i < jobs.size(); ++i)
        EXPECT_EQ(readFile(dir / ("out" + std::to_string(i))), jobs[i].expect) << jobs[i].kind << " job " << i;
    fs::remove_all(dir);
}

std::string randomBytes(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string randomText(std::mt19937& rng, std::size_t n) {
    const char* pieces[] = {"a", "Z", " ", "\t", "\r\n", ".", "From ", "=", "?", "_", "\xC3\xA9", "\xE2\x82\xAC",
                            "\xF0\x9F\x98\x80", "\xD0\x96", "\xE3\x81\x82", "\r", "\n", "\x01"};
    std::string s;
    while (s.size() < n) s += pieces[rng() % std::size(pieces)];
    return s;
}

}  // namespace

TEST(RoundTripPython, Base64Body) {
    std::mt19937 rng(1);
    std::vector<Job> jobs;
    for (std::size_t n : {0u, 1u, 2u, 3u, 53u, 54u, 55u, 1000u, 65537u}) {
        std::string in = randomBytes(rng, n);
        std::string enc;
        ContentCoding().encodeBase64Body(in, enc);
        jobs.push_back({"b64", enc, in});
        jobs.push_back({"b64", ContentCoding::encodeBase64(in), in});
    }
    runJobs(jobs);
}

TEST(RoundTripPython, QuotedPrintable) {
    std::mt19937 rng(2);
    std::vector<Job> jobs;
    for (int round = 0; round < 40; ++round) {
        std::size_t n = rng() % 3000;
        std::string in = round % 4 == 0 ? randomBytes(rng, n) : randomText(rng, n);
        std::string enc;
        ContentCoding().encodeQuotedPrintable(in, enc);
        jobs.push_back({"qp", enc, in});
    }
    runJobs(jobs);
}

TEST(RoundTripPython, EncodedWords) {
    std::mt19937 rng(3);
    std::vector<Job> jobs;
    for (int round = 0; round < 60; ++round) {
        // Printable text only: a header word carries no line breaks.
        std::string in;
        for (std::string t = randomText(rng, rng() % 120); char c : t)
            if (c != '\r' && c != '\n' && c != '\t' && c != '\x01') in += c;
        std::string enc;
        if (round % 2) ContentCoding::encodeQWord(in, "utf-8", enc);
        else ContentCoding::encodeBWord(in, "utf-8", enc);
        jobs.push_back({"word", enc, in});
        // The same through a legacy charset where the text fits.
        std::string latin;
        if (EncodingConvert::convert(65001, 28591, in, latin)) {
            std::string enc2;
            ContentCoding::encodeQWord(latin, "iso-8859-1", enc2);
            jobs.push_back({"word", enc2, in});
        }
    }
    runJobs(jobs);
}

TEST(RoundTripPython, OurDecoderAgreesOnOurWords) {
    std::mt19937 rng(4);
    for (int round = 0; round < 200; ++round) {
        std::string in;
        for (std::string t = randomText(rng, rng() % 200); char c : t)
            if (c != '\r' && c != '\n') in += c;
        std::string enc;
        ContentCoding::encodeBWord(in, "utf-8", enc);
        EXPECT_EQ(ContentCoding::decodeEncodedWords(enc), in);
        enc.clear();
        ContentCoding::encodeQWord(in, "utf-8", enc);
        EXPECT_EQ(ContentCoding::decodeEncodedWords(enc), in);
    }
}
