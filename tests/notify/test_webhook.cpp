// Webhooks against a real HTTP(S) receiver on loopback that records what it
// got, and the rules for what may be sent at all.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <tuple>

#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "app/notify/webhook.h"
#include "app/notify/webhook_secret.h"
#include "app/refresh/channel_record.h"
#include "app/refresh/refresh_pipeline.h"
#include "tests/support/peer_process.h"

namespace zelmar {
namespace {

using nlohmann::json;
using test::ChildProcess;
using test::ScratchDir;

struct Lines : Reporter {
    std::vector<std::string> lines;
    void Post(StatusMessage m) override { lines.push_back(m.Line()); }
    MbAnswer ErrorBox(const MessageBoxRequest& r) override { return r.defaultAnswer; }
    bool Closing() const override { return false; }
    std::string All() const {
        std::string all;
        for (const auto& l : lines) all += l + "\n";
        return all;
    }
};

RefreshSnapshot Snapshot(std::string wan, std::string oldWan = "203.0.113.7") {
    RefreshSnapshot s;
    s.current = {std::move(wan), "192.168.1.20", "2001:db8::9", "fd00::20"};
    s.previous = {std::move(oldWan), "192.168.1.20", "2001:db8::7", "fd00::20"};
    s.time = std::chrono::system_clock::now();
    return s;
}

WebhookConfig Hook(std::string url, std::string body = R"({"text":"%{old_wan} → %{wan}"})") {
    WebhookConfig h;
    h.name = "t";
    h.url = std::move(url);
    h.body = std::move(body);
    h.timeoutSeconds = 5;
    return h;
}

// Values land escaped for their place, and nothing else of the template
// changes; a JSON reader gives the value back byte for byte.
TEST(WebhookRequest, ValuesAreEscapedForWhereTheyLand) {
    const std::string hostile = "a\"b\\c\nd}{&x=1 %WI %{secret} \x01";
    struct Row {
        const char* url;
        const char* wantUrl;
    } rows[] = {
        {"https://h.test/p/%{wan}?q=%{wan}&k=v", "https://h.test/p/203.0.113.9?q=203.0.113.9&k=v"},
        {"https://h.test/send?text=%{site}#%{wan}", "https://h.test/send?text=a%22b%5Cc%0Ad%7D%7B%26x%3D1%20%25WI%20%25%7Bsecret%7D%20%01#203.0.113.9"},
    };
    for (const Row& r : rows) {
        WebhookConfig h = Hook(r.url, R"({"site":"%{site}","wan":"%WI","day":"%d","s":"%{secret}"})");
        h.secret = "tok\"en";
        PageValues v = WebhookPageValues(Snapshot("203.0.113.9"), "site");
        v.braceValues["site"] = hostile;
        WebhookRequest req;
        std::string error;
        ASSERT_TRUE(BuildWebhookRequest(h, v, req, error)) << error;
        EXPECT_EQ(req.url, r.wantUrl);
        const json body = json::parse(req.body);
        EXPECT_EQ(body["site"], hostile);  // "%WI" inside the value stays as it came
        EXPECT_EQ(body["wan"], "203.0.113.9");
        EXPECT_EQ(body["s"], "tok\"en");
        EXPECT_EQ(body["day"].get<std::string>().size(), 2u);
    }
}

TEST(WebhookRequest, RefusesWhatMustNotBeSent) {
    struct Row {
        const char* what;
        WebhookConfig hook;
        std::string wan;
        const char* error;  // nullptr: accepted
    } rows[] = {
        {"unquoted address", Hook("http://h.test/", R"({"ip": %{wan}})"), "203.0.113.9", "not valid JSON"},
        {"a number is valid JSON", Hook("http://h.test/", R"({"n": %{wan}})"), "7", nullptr},
        {"broken template", Hook("http://h.test/", R"({"ip": "%{wan}")"), "203.0.113.9", "at byte 21"},
        {"an empty body is a trigger", Hook("http://h.test/", " "), "1", nullptr},
        {"text body is not checked", [] { auto h = Hook("http://h.test/", "ip %{wan} {"); h.contentType = "text/plain"; return h; }(), "x", nullptr},
        {"GET sends no body", [] { auto h = Hook("http://h.test/?ip=%{wan}", "{"); h.method = "GET"; return h; }(), "1", nullptr},
        {"header split by a value", [] { auto h = Hook("http://h.test/"); h.headers = "X-Ip: %{wan}"; return h; }(), "1\r\nX-Evil: 1", "line break"},
        {"header without a colon", [] { auto h = Hook("http://h.test/"); h.headers = "Title %{wan}"; return h; }(), "1", "Name: value"},
        {"method", [] { auto h = Hook("http://h.test/"); h.method = "DELETE"; return h; }(), "1", "GET, POST or PUT"},
        {"scheme", Hook("ftp://h.test/"), "1", "http://"},
        {"blank in the address part", Hook("http://h.test/%{wan}"), "a b", "blanks"},
    };
    for (const Row& r : rows) {
        WebhookRequest req;
        std::string error;
        const bool ok = BuildWebhookRequest(r.hook, WebhookPageValues(Snapshot(r.wan), "s"), req, error);
        if (!r.error) {
            EXPECT_TRUE(ok) << r.what << ": " << error;
        } else {
            EXPECT_FALSE(ok) << r.what;
            EXPECT_NE(error.find(r.error), std::string::npos) << r.what << ": " << error;
        }
    }
}

// The receivers: plain HTTP, HTTPS with a certificate of our test CA for
// 127.0.0.1, and HTTPS with a certificate of the same CA for another name.
class WebhookPeer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir;
        const std::string d = dir_->path();
        const std::string script =
            "cd " + d + " && exec >/dev/null 2>&1 && "
            "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=ZelmarTestCA && "
            "for n in good:IP:127.0.0.1 other:DNS:other.test; do "
            "  name=${n%%:*}; san=${n#*:}; "
            "  openssl req -newkey rsa:2048 -nodes -keyout $name.key -out $name.csr -subj /CN=$name && "
            "  printf 'subjectAltName=%s\\n' $san > $name.ext && "
            "  openssl x509 -req -in $name.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out $name.pem -extfile $name.ext || exit 1; "
            "done";
        ASSERT_EQ(std::system(script.c_str()), 0);
        const std::string receiver = ZELMAR_WEBHOOK_RECEIVER;
        for (int i = 0; i < 3; ++i) {
            ports_[i] = test::FreePort();
            std::vector<std::string> argv = {test::kSystemPython, receiver, std::to_string(ports_[i]), d + "/got.jsonl"};
            if (i == 1) argv.insert(argv.end(), {d + "/good.pem", d + "/good.key"});
            if (i == 2) argv.insert(argv.end(), {d + "/other.pem", d + "/other.key"});
            servers_[i] = new ChildProcess(argv, d + "/server.log");
            ASSERT_TRUE(test::WaitForPort(ports_[i]));
        }
    }
    static void TearDownTestSuite() {
        for (auto*& s : servers_) delete s, s = nullptr;
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override { test::WriteFile(*dir_ / "got.jsonl", ""); }

    static std::string Url(int i, const std::string& path) {
        return std::string(i == 0 ? "http" : "https") + "://127.0.0.1:" + std::to_string(ports_[i]) + path;
    }
    static std::vector<json> Got() {
        std::vector<json> got;
        std::ifstream in(*dir_ / "got.jsonl");
        for (std::string line; std::getline(in, line);) got.push_back(json::parse(line));
        return got;
    }
    static std::string Ca() { return *dir_ / "ca.pem"; }

    static inline ScratchDir* dir_ = nullptr;
    static inline int ports_[3] = {};
    static inline ChildProcess* servers_[3] = {};
};

TEST_F(WebhookPeer, DeliversTheChangeWithHeadersAndSecret) {
    WebhookConfig h = Hook(Url(0, "/hook?token=%{secret}&ip=%{wan}"), R"({"text":"%{old_wan} → %{wan}","key":"%{secret}"})");
    h.headers = "Authorization: Bearer %{secret}|Title: %{wan}";
    h.secret = "s3cr&t";
    WebhookChannel channel(h, "site");
    Lines lines;
    const DeliveryResult r = channel.Deliver(Snapshot("203.0.113.9"), lines);
    ASSERT_TRUE(r.ok()) << lines.All();
    const auto got = Got();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]["method"], "POST");
    EXPECT_EQ(got[0]["path"], "/hook?token=s3cr%26t&ip=203.0.113.9");
    EXPECT_EQ(got[0]["headers"]["authorization"], "Bearer s3cr&t");
    EXPECT_EQ(got[0]["headers"]["title"], "203.0.113.9");
    EXPECT_EQ(got[0]["headers"]["content-type"], "application/json");
    EXPECT_EQ(json::parse(got[0]["body"].get<std::string>())["text"], "203.0.113.7 → 203.0.113.9");
    EXPECT_EQ(lines.All().find("s3cr"), std::string::npos);
}

TEST_F(WebhookPeer, MethodsGetAndPut) {
    for (const char* method : {"GET", "PUT"}) {
        SetUp();
        WebhookConfig h = Hook(Url(0, "/m?ip=%{wan}"), "%{wan}");
        h.method = method;
        h.contentType = "text/plain";
        Lines lines;
        ASSERT_TRUE(WebhookChannel(h, "s").Deliver(Snapshot("203.0.113.9"), lines).ok()) << lines.All();
        const auto got = Got();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0]["method"], method);
        EXPECT_EQ(got[0]["body"], std::string(method) == "PUT" ? "203.0.113.9" : "");
    }
}

// Only a 2xx answer counts; a refusal logs the answer's first line with its
// control characters masked, and never the secret.
TEST_F(WebhookPeer, AnswersOutside2xxFail) {
    for (const char* status : {"299", "300", "404", "500"}) {
        WebhookConfig h = Hook(Url(0, std::string("/status/") + status + "?k=%{secret}"));
        h.secret = "hush";
        Lines lines;
        const DeliveryResult r = WebhookChannel(h, "s").Deliver(Snapshot("203.0.113.9"), lines);
        if (std::string(status) == "299") {
            EXPECT_TRUE(r.ok());
            continue;
        }
        EXPECT_EQ(r.outcome, DeliveryOutcome::Failed) << status;
        EXPECT_EQ(r.code, status);
        EXPECT_EQ(r.serverReply, "refused ?[31m by the receiver");
        EXPECT_NE(lines.All().find("HTTP " + std::string(status) + ": refused ?[31m by the receiver"), std::string::npos)
            << lines.All();
        EXPECT_EQ(lines.All().find("second line"), std::string::npos);
        EXPECT_EQ(lines.All().find("hush"), std::string::npos);
    }
}

// A refusal (401, 500) waits for the dynamic-DNS back-off; a refresh the
// user asks for does not wait.
TEST_F(WebhookPeer, ARefusalWaitsForTheBackOff) {
    for (const char* status : {"401", "500"}) {
        SetUp();
        ScratchDir dir;
        IniFile ini(dir / "Zelmar.ini");
        WebhookChannel channel(Hook(Url(0, std::string("/status/") + status)), "s");
        Lines lines;
        RefreshSnapshot at = Snapshot("203.0.113.9");
        const std::int64_t start = EpochSeconds(at.time);
        // {seconds after the first try, trigger, requests received then, RetryAt - start}
        for (const auto& [after, trigger, requests, retryAt] :
             {std::tuple{0, RefreshTrigger::Timer, 1u, 300}, {299, RefreshTrigger::Timer, 1u, 300},
              {300, RefreshTrigger::Timer, 2u, 900}, {302, RefreshTrigger::Manual, 3u, 302 + 1200}}) {
            at.time = std::chrono::system_clock::time_point(std::chrono::seconds(start + after));
            at.trigger = trigger;
            RefreshPipeline::RunChannel(ini, channel, at, lines);
            EXPECT_EQ(Got().size(), requests) << status << " +" << after;
            EXPECT_EQ(LoadChannelRecord(ini, channel.Name()).retryAt - start, retryAt) << status << " +" << after;
        }
    }
}

// An echo of the request shows the secret percent-encoded, across the point
// where the logged answer is cut: it is masked before the cut.
TEST_F(WebhookPeer, AnEchoedSecretIsMaskedBeforeTheAnswerIsCut) {
    WebhookConfig h = Hook(Url(0, "/echo?k=%{secret}"));
    h.secret = "0123456789/abcdefghij/0123456789";
    Lines lines;
    EXPECT_EQ(WebhookChannel(h, "s").Deliver(Snapshot("203.0.113.9"), lines).code, "400");
    for (const char* part : {"0123", "abcd", "%2F"})
        EXPECT_EQ(lines.All().find(part), std::string::npos) << lines.All();
}

TEST_F(WebhookPeer, InvalidJsonIsRefusedBeforeSending) {
    Lines lines;
    const DeliveryResult r = WebhookChannel(Hook(Url(0, "/x"), R"({"ip": %{wan}})"), "s").Deliver(Snapshot("203.0.113.9"), lines);
    EXPECT_EQ(r.outcome, DeliveryOutcome::FailedPermanently);
    EXPECT_TRUE(Got().empty());
    EXPECT_NE(lines.All().find("Webhook t: not sent: the body is not valid JSON"), std::string::npos) << lines.All();
}

// TLS: verified against the given CA, and the name checked too.
TEST_F(WebhookPeer, HttpsIsVerified) {
    struct Row {
        int server;
        bool withCa;
        bool delivered;
    } rows[] = {{1, true, true}, {1, false, false}, {2, true, false}};
    for (const Row& r : rows) {
        WebhookConfig h = Hook(Url(r.server, "/tls"));
        if (r.withCa) h.caFile = Ca();
        Lines lines;
        EXPECT_EQ(WebhookChannel(h, "s").Deliver(Snapshot("203.0.113.9"), lines).ok(), r.delivered)
            << r.server << " " << r.withCa << " " << lines.All();
    }
}

TEST_F(WebhookPeer, ASlowReceiverTimesOut) {
    WebhookConfig h = Hook(Url(0, "/slow"));
    h.timeoutSeconds = 1;
    Lines lines;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WebhookChannel(h, "s").Deliver(Snapshot("203.0.113.9"), lines).ok());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// The settings file: sections found by their prefix, disabled ones left
// out, the secret stored scrambled and read back.
TEST(WebhookSettings, SectionsAndSecret) {
    ScratchDir dir;
    test::WriteFile(dir / "Zelmar.ini",
                    "[Preferences]\nTimeout=9\n[Webhook ntfy]\nURL=https://ntfy.test/t\n"
                    "[webhook off]\nURL=http://x.test/\nEnabled=0\n[Webhooks]\nURL=x\n"
                    "[Webhook slow]\nURL=http://y.test/\nTimeout=3\nMethod=get\nOnChangeOnly=0\n");
    IniFile ini(dir / "Zelmar.ini");
    const std::string key = ScrambleKeyFor("ab");
    std::string error;
    EXPECT_FALSE(StoreWebhookSecret(ini, "missing", "x", key, error));
    EXPECT_NE(error.find("[Webhook missing]"), std::string::npos);
    EXPECT_FALSE(StoreWebhookSecret(ini, "ntfy", "", key, error));
    ASSERT_TRUE(StoreWebhookSecret(ini, "ntfy", "tk_0123456789", key, error)) << error;
    EXPECT_EQ(test::ReadFile(dir / "Zelmar.ini").find("tk_0123456789"), std::string::npos);

    const auto hooks = ReadWebhooks(ini, key, 9);
    ASSERT_EQ(hooks.size(), 3u);
    EXPECT_EQ(hooks[0].secret, "tk_0123456789");
    EXPECT_EQ(hooks[0].timeoutSeconds, 9);
    EXPECT_FALSE(hooks[1].enabled);
    EXPECT_EQ(hooks[2].method, "GET");
    EXPECT_EQ(hooks[2].timeoutSeconds, 3);

    Settings s;
    const std::string start = dir.path();
    const auto channels = MakeWebhookChannels(ChannelContext{s, ini, start, key});
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_EQ(channels[0]->Name(), "Webhook ntfy");
    EXPECT_EQ(channels[1]->Name(), "Webhook slow");

    // Due: a change since the last delivery, a forced refresh, or always
    // when OnChangeOnly is 0.
    RefreshSnapshot same = Snapshot("203.0.113.9");
    ChannelRecord record;
    record.delivered = same.current;
    EXPECT_FALSE(channels[0]->Due(same, record));
    EXPECT_TRUE(channels[1]->Due(same, record));
    same.trigger = RefreshTrigger::Manual;
    EXPECT_TRUE(channels[0]->Due(same, record));
    EXPECT_TRUE(channels[0]->Due(Snapshot("203.0.113.10"), record));
}

}  // namespace
}  // namespace zelmar

namespace zelmar {
namespace {

// The program itself: the secret read from standard input, stored scrambled,
// and a missing section refused with the file unchanged.
TEST(WebhookSettings, SetWebhookSecretFromTheCommandLine) {
    ScratchDir dir;
    const std::string ini = "[LocalSettings]\nFTPServer=x\n[Webhook ntfy]\nURL=https://ntfy.test/t\n";
    test::WriteFile(dir / "Zelmar.ini", ini);
    const auto run = [&](const std::string& name) {
        return std::system(("cd '" + dir.path() + "' && printf 'tk_s3cret\\n' | " ZELMAR_BINARY
                            " --set-webhook-secret '" + name + "' 2>/dev/null").c_str());
    };
    EXPECT_NE(run("nope"), 0);
    EXPECT_EQ(test::ReadFile(dir / "Zelmar.ini"), ini);
    ASSERT_EQ(run("ntfy"), 0);
    EXPECT_EQ(test::ReadFile(dir / "Zelmar.ini").find("tk_s3cret"), std::string::npos);
    IniFile file(dir / "Zelmar.ini");
    EXPECT_EQ(ReadWebhookSecret(file, "ntfy", ScrambleKey()), "tk_s3cret");
}

}  // namespace
}  // namespace zelmar
