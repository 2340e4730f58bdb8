// Token substitution of the status page generator on templates as large as
// it accepts. A full template with a thousand tokens should expand in well
// under a millisecond; every pass is one linear walk over the text.
#include <benchmark/benchmark.h>

#include <string>

#include "app/page/status_page.h"

namespace {

using zelmar::ExpandPageTemplate;
using zelmar::kMaxTemplateBytes;
using zelmar::PageValues;

PageValues Values(int programs) {
    PageValues v;
    v.wanAddress = "203.0.113.7";
    v.lanAddress = "192.168.1.20";
    v.siteName = "My FTP Site";
    v.statusWord = "Online";
    v.time.tm_year = 126;
    v.time.tm_mon = 2;
    v.time.tm_mday = 7;
    v.time.tm_hour = 15;
    v.time.tm_min = 4;
    v.time.tm_sec = 5;
    v.time.tm_wday = 6;
    for (int i = 0; i < programs; ++i) v.programWords.push_back(i % 2 ? "RUNNING" : "NOT RUNNING");
    return v;
}

// kMaxTemplateBytes of HTML-ish filler with `tokens` tokens spread evenly,
// cycling through every kind (program tokens up to "%P19").
std::string Template(int tokens) {
    static const char* const kinds[] = {"%WI", "%I",  "%D", "%T", "%24T", "%W",  "%H",
                                        "%S",  "%m",  "%d", "%y", "%P0",  "%P7", "%P19"};
    const std::string filler = "<td class=\"c\">text</td>\r\n";
    std::string t;
    t.reserve(kMaxTemplateBytes);
    const std::size_t gap = kMaxTemplateBytes / static_cast<std::size_t>(tokens);
    for (int i = 0; i < tokens; ++i) {
        const std::size_t end = t.size() + gap - 4;
        while (t.size() < end) t += filler[t.size() % filler.size()];
        t += kinds[i % (sizeof kinds / sizeof kinds[0])];
    }
    while (t.size() < kMaxTemplateBytes) t += ' ';
    t.resize(kMaxTemplateBytes);
    return t;
}

void BM_ExpandFullTemplate(benchmark::State& state) {
    const int tokens = static_cast<int>(state.range(0));
    const int programs = static_cast<int>(state.range(1));
    const std::string templ = Template(tokens);
    const PageValues values = Values(programs);
    for (auto _ : state) {
        std::string page = ExpandPageTemplate(templ, values);
        benchmark::DoNotOptimize(page);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(templ.size()));
}
BENCHMARK(BM_ExpandFullTemplate)
    ->Args({1000, 0})
    ->Args({1000, 20})
    ->Args({10, 20})
    ->Unit(benchmark::kMicrosecond);

// A template full of nothing but tokens: the worst case for growth.
void BM_ExpandOnlyTokens(benchmark::State& state) {
    std::string templ;
    while (templ.size() + 2 <= kMaxTemplateBytes) templ += "%S";
    const PageValues values = Values(20);
    for (auto _ : state) {
        std::string page = ExpandPageTemplate(templ, values);
        benchmark::DoNotOptimize(page);
    }
}
BENCHMARK(BM_ExpandOnlyTokens)->Unit(benchmark::kMicrosecond);

}  // namespace
