// Message rendering: time against attachment size (1, 4 and 10 MB, which
// must grow linearly), and building plus rendering the notification e-mail
// with a 10 KB attachment next to GMime 3 doing the same, in one run.
#include <benchmark/benchmark.h>

#ifdef ZELMAR_HAVE_GMIME
#include <gmime/gmime.h>
#endif

#include <random>
#include <string>

#include "mail/base/log_base.h"
#include "mail/mime/email2.h"

using namespace zelmar::mail;

namespace {

std::string randomBytes(std::size_t n) {
    std::mt19937_64 rng(4242);
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t v = rng();
        for (std::size_t k = 0; k < 8 && i + k < n; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
    }
    return s;
}

constexpr const char* kBody = "Your address changed.\r\nLAN 192.168.1.20\r\nWAN 203.0.113.7\r\n";

// The program's message: attachment, body, subject, two To, From.
std::unique_ptr<Email2> buildOurs(const std::string& attachment) {
    auto m = std::make_unique<Email2>();
    m->addDataAttachment("report.bin", "", attachment);
    m->setTextBody(kBody, false);
    m->setHeaderField("Subject", "IP address changed");
    m->addTo("", "a@x.test");
    m->addTo("Bob B", "b@x.test");
    m->setFrom("Zelmar <z@x.test>");
    return m;
}

void BM_RenderAttachment(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0)) << 20;
    const std::string data = randomBytes(size);
    auto m = buildOurs(data);
    LogNull log;
    std::string out;
    for (auto _ : state) {
        out.clear();
        m->renderMime(out, "ZMX-", log);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    state.SetComplexityN(static_cast<benchmark::IterationCount>(size));
}
BENCHMARK(BM_RenderAttachment)->Arg(1)->Arg(4)->Arg(10)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

const std::string& tenKb() {
    static const std::string s = randomBytes(10 * 1024);
    return s;
}

void BM_Email2_BuildAndRender10KB(benchmark::State& state) {
    LogNull log;
    for (auto _ : state) {
        auto m = buildOurs(tenKb());
        std::string out;
        m->renderMime(out, "ZMX-", log);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_Email2_BuildAndRender10KB);

// What the session sends: the hand-over copy with a fresh Message-ID.
void BM_Email2_BuildCopyAndRender10KB(benchmark::State& state) {
    LogNull log;
    for (auto _ : state) {
        auto m = buildOurs(tenKb());
        auto copy = m->makeSendCopy(nullptr, log);
        copy->newMessageId();
        std::string out;
        copy->renderMime(out, "ZMX-", log);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_Email2_BuildCopyAndRender10KB);

#ifdef ZELMAR_HAVE_GMIME
void BM_GMime_BuildAndRender10KB(benchmark::State& state) {
    static const bool ready = [] {
        g_mime_init();
        return true;
    }();
    (void)ready;
    const std::string& data = tenKb();
    for (auto _ : state) {
        GMimeMessage* message = g_mime_message_new(TRUE);
        GDateTime* now = g_date_time_new_now_local();
        g_mime_message_set_date(message, now);
        g_date_time_unref(now);
        char* mid = g_mime_utils_generate_message_id("host.test");
        g_mime_message_set_message_id(message, mid);
        g_free(mid);

        GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
        GMimeTextPart* text = g_mime_text_part_new_with_subtype("plain");
        g_mime_text_part_set_text(text, kBody);
        g_mime_part_set_content_encoding(GMIME_PART(text), GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
        g_mime_multipart_add(mixed, GMIME_OBJECT(text));
        g_object_unref(text);

        GMimePart* att = g_mime_part_new_with_type("application", "octet-stream");
        g_mime_part_set_filename(att, "report.bin");
        GMimeStream* stream = g_mime_stream_mem_new_with_buffer(data.data(), data.size());
        GMimeDataWrapper* content = g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
        g_object_unref(stream);
        g_mime_part_set_content(att, content);
        g_object_unref(content);
        g_mime_part_set_content_encoding(att, GMIME_CONTENT_ENCODING_BASE64);
        g_mime_multipart_add(mixed, GMIME_OBJECT(att));
        g_object_unref(att);

        g_mime_message_set_mime_part(message, GMIME_OBJECT(mixed));
        g_object_unref(mixed);
        g_mime_message_set_subject(message, "IP address changed", nullptr);
        g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_TO, "", "a@x.test");
        g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_TO, "Bob B", "b@x.test");
        g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_FROM, "Zelmar", "z@x.test");

        char* out = g_mime_object_to_string(GMIME_OBJECT(message), nullptr);
        benchmark::DoNotOptimize(out);
        g_free(out);
        g_object_unref(message);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_GMime_BuildAndRender10KB);
#endif

}  // namespace

BENCHMARK_MAIN();
