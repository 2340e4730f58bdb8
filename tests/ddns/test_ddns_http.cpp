// dyndns2, DuckDNS and Cloudflare against a scripted HTTPS provider that
// follows each published API (provider_server.py), with a test CA given to
// the entry through "CAFile": every answer of the tables, slow answers, HTML
// error pages, a 10 MB body and certificates that must not be accepted.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <set>

#include "app/ddns/ddns_channel.h"
#include "app/ddns/ddns_protocols.h"
#include "tests/ddns/ddns_test_support.h"
#include "tests/support/peer_process.h"
#include "tests/support/scripted_https.h"

namespace zelmar {
namespace {

using test::kTestNow;
using test::TestCa;
using test::ReadFile;
using test::WriteFile;

constexpr const char* kToken = "tok-3f9a7c1e55";
constexpr const char* kPassword = "pw-Secret-771";

class Provider {
public:
    Provider(const TestCa& ca, const std::string& cert) : port_(test::FreePort()) {
        server_ = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{test::kSystemPython, ZELMAR_PROVIDER_SCRIPT, std::to_string(port_),
                                     ca.dir / (cert + ".pem"), ca.dir / (cert + ".key"), state_.path()},
            state_ / "server.log");
        up_ = test::WaitForPort(port_);
    }
    bool up() const { return up_; }
    std::string url(const std::string& path = "") const { return "https://127.0.0.1:" + std::to_string(port_) + path; }
    void Reset(const std::string& fault = "null") {
        for (const char* f : {"requests.jsonl", "records.json", "dyndns2.json", "duckdns.json"})
            std::remove((state_ / f).c_str());
        WriteFile(state_ / "plan.json", std::string("{\"login\": \"zelmar\", \"password\": \"") + kPassword +
                                            "\", \"token\": \"" + kToken +
                                            "\", \"hosts\": [\"home.example.org\", \"home\"], \"zone\": "
                                            "\"example.org\", \"fault\": " + fault + "}");
    }
    std::string Requests() const { return ReadFile(state_ / "requests.jsonl"); }
    std::string State(const std::string& name) const { return ReadFile(state_ / name); }

private:
    test::ScratchDir state_;
    int port_;
    std::unique_ptr<test::ChildProcess> server_;
    bool up_ = false;
};

class DdnsHttp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ca_ = new TestCa;
        provider_ = new Provider(*ca_, "good");
    }
    static void TearDownTestSuite() {
        delete provider_;
        delete ca_;
    }
    void SetUp() override {
        if (!ca_->ok || !provider_->up()) GTEST_SKIP() << "no test CA or provider: " << ReadFile(ca_->dir / "openssl.log");
        provider_->Reset();
    }
    static DdnsEntry Entry(DdnsProtocol p) {
        DdnsEntry e;
        e.name = "home";
        e.protocol = p;
        e.hosts = {p == DdnsProtocol::DuckDns ? "home.duckdns.org" : "home.example.org"};
        e.server = provider_->url(p == DdnsProtocol::Cloudflare ? "/client/v4" : "");
        e.login = "zelmar";
        e.secret = p == DdnsProtocol::Dyndns2 ? kPassword : kToken;
        e.caFile = ca_->dir / "ca.pem";
        e.zone = "example.org";
        return e;
    }
    static DeliveryResult Deliver(const DdnsEntry& e, const DdnsAddresses& want = {"192.0.2.7", ""},
                                  int timeout = 5) {
        const DdnsAttempt t{2, kTestNow, timeout};
        switch (e.protocol) {
            case DdnsProtocol::Dyndns2: return Dyndns2Deliver(e, want, t);
            case DdnsProtocol::DuckDns: return DuckDnsDeliver(e, want, t);
            case DdnsProtocol::Cloudflare: return CloudflareDeliver(e, want, t);
            case DdnsProtocol::Rfc2136: break;
        }
        return {};
    }
    static TestCa* ca_;
    static Provider* provider_;
};
TestCa* DdnsHttp::ca_ = nullptr;
Provider* DdnsHttp::provider_ = nullptr;

// What each answer must lead to. Retry rows must carry the back-off (two
// failures before: 20 minutes); stop rows none.
enum Expect { Updated, Same, Retry, Stop };
struct FaultRow {
    DdnsProtocol protocol;
    const char* fault;  // the provider's answer, as plan.json's "fault"
    Expect expect;
    const char* code;
};

void PrintTo(const FaultRow& row, std::ostream* os) { *os << DdnsProtocolWord(row.protocol) << " " << row.fault; }

const FaultRow kFaults[] = {
    {DdnsProtocol::Dyndns2, R"({"body": "good 192.0.2.7"})", Updated, "good"},
    {DdnsProtocol::Dyndns2, R"({"body": "nochg 192.0.2.7"})", Same, "nochg"},
    {DdnsProtocol::Dyndns2, R"({"body": "badauth"})", Stop, "badauth"},
    {DdnsProtocol::Dyndns2, R"({"body": "!donator"})", Stop, "!donator"},
    {DdnsProtocol::Dyndns2, R"({"body": "notfqdn"})", Stop, "notfqdn"},
    {DdnsProtocol::Dyndns2, R"({"body": "nohost"})", Stop, "nohost"},
    {DdnsProtocol::Dyndns2, R"({"body": "numhost"})", Stop, "numhost"},
    {DdnsProtocol::Dyndns2, R"({"body": "abuse"})", Stop, "abuse"},
    {DdnsProtocol::Dyndns2, R"({"body": "badagent"})", Stop, "badagent"},
    {DdnsProtocol::Dyndns2, R"({"body": "!yours"})", Stop, "!yours"},
    {DdnsProtocol::Dyndns2, R"({"body": "dnserr"})", Retry, "dnserr"},
    {DdnsProtocol::Dyndns2, R"({"body": "911"})", Retry, "911"},
    // Two names: the graver answer decides.
    {DdnsProtocol::Dyndns2, R"({"body": "good 192.0.2.7\nabuse"})", Stop, "abuse"},
    {DdnsProtocol::Dyndns2, R"({"body": "<html><body>Bad Gateway</body></html>", "type": "text/html"})", Retry,
     "unexpected"},
    {DdnsProtocol::Dyndns2, R"({"status": 401, "body": "badauth"})", Stop, "HTTP 401"},
    {DdnsProtocol::Dyndns2, R"({"status": 302, "body": ""})", Stop, "HTTP 302"},
    {DdnsProtocol::Dyndns2, R"({"status": 429, "body": ""})", Retry, "HTTP 429"},
    {DdnsProtocol::Dyndns2, R"({"status": 500, "body": "<html>oops</html>"})", Retry, "HTTP 500"},
    {DdnsProtocol::Dyndns2, R"({"delay": 3, "body": "good 192.0.2.7"})", Retry, "timeout"},
    {DdnsProtocol::Dyndns2, R"({"bytes": 10485760, "body": "good"})", Retry, "toolong"},
    // An answer is read up to 64 KiB: on the limit it counts, one byte past it not.
    {DdnsProtocol::Dyndns2, R"({"bytes": 65536, "body": "good"})", Updated, "good"},
    {DdnsProtocol::Dyndns2, R"({"bytes": 65537, "body": "good"})", Retry, "toolong"},
    {DdnsProtocol::DuckDns, R"({"body": "OK"})", Updated, "OK"},
    {DdnsProtocol::DuckDns, R"({"body": "KO"})", Stop, "KO"},
    {DdnsProtocol::DuckDns, R"({"body": "<html>maintenance</html>"})", Retry, "unexpected"},
    {DdnsProtocol::DuckDns, R"({"status": 503, "body": "down"})", Retry, "HTTP 503"},
    {DdnsProtocol::DuckDns, R"({"bytes": 10485760, "body": "OK"})", Retry, "toolong"},
    {DdnsProtocol::Cloudflare, R"({"status": 401, "body": "{\"success\": false}"})", Stop, "HTTP 401"},
    {DdnsProtocol::Cloudflare, R"({"status": 403, "body": "{\"success\": false}"})", Stop, "HTTP 403"},
    {DdnsProtocol::Cloudflare, R"({"status": 200, "body": "{\"success\": false, \"errors\": []}"})", Stop,
     "failure"},
    {DdnsProtocol::Cloudflare, R"({"status": 500, "body": "<html>Internal</html>"})", Retry, "HTTP 500"},
    {DdnsProtocol::Cloudflare, R"({"status": 200, "body": "<html>captive portal</html>"})", Retry, "badjson"},
    {DdnsProtocol::Cloudflare, R"({"delay": 3, "body": "{}"})", Retry, "timeout"},
    {DdnsProtocol::Cloudflare, R"({"bytes": 10485760})", Retry, "toolong"},
};

class DdnsHttpFaults : public DdnsHttp, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(DdnsHttpFaults, EachAnswerUpdatesRetriesLaterOrStops) {
    const FaultRow& row = GetParam();
    provider_->Reset(row.fault);
    const DeliveryResult r = Deliver(Entry(row.protocol), {"192.0.2.7", ""}, 1);
    EXPECT_EQ(r.code, row.code) << r.serverReply;
    const DeliveryOutcome want[] = {DeliveryOutcome::Delivered, DeliveryOutcome::NothingToDo, DeliveryOutcome::Failed,
                                    DeliveryOutcome::FailedPermanently};
    EXPECT_EQ(r.outcome, want[row.expect]);
    EXPECT_EQ(r.retryAt, row.expect == Retry ? kTestNow + 1200 : 0);
    EXPECT_LE(r.serverReply.size(), 210u);
}

INSTANTIATE_TEST_SUITE_P(Provider, DdnsHttpFaults, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::to_string(info.index); });

// Every word a protocol's table knows is answered by some row above.
TEST(DdnsHttpTables, EveryAnswerOfTheTablesIsExercised) {
    for (const DdnsProtocol p : {DdnsProtocol::Dyndns2, DdnsProtocol::DuckDns}) {
        for (const AnswerRow& answer : DdnsAnswerTable(p)) {
            bool seen = false;
            for (const FaultRow& row : kFaults) seen = seen || (row.protocol == p && std::string(row.code) == answer.answer);
            EXPECT_TRUE(seen) << DdnsProtocolWord(p) << " " << answer.answer;
        }
    }
}

TEST_F(DdnsHttp, Dyndns2SendsLoginAgentAndAddressesThenSeesNoChange) {
    DdnsEntry e = Entry(DdnsProtocol::Dyndns2);
    EXPECT_EQ(Deliver(e, {"192.0.2.7", "2001:db8::7"}).code, "good");
    EXPECT_EQ(Deliver(e, {"192.0.2.7", "2001:db8::7"}).outcome, DeliveryOutcome::NothingToDo);
    const std::string requests = provider_->Requests();
    EXPECT_NE(requests.find(R"("hostname": ["home.example.org"], "myip": ["192.0.2.7,2001:db8::7"])"),
              std::string::npos)
        << requests;
    EXPECT_NE(requests.find(R"("agent": "Zelmar/)"), std::string::npos);
    e.secret = "wrong";
    EXPECT_EQ(Deliver(e).outcome, DeliveryOutcome::FailedPermanently);
}

TEST_F(DdnsHttp, DuckDnsSendsBareNamesTokenAndBothAddresses) {
    DdnsEntry e = Entry(DdnsProtocol::DuckDns);
    EXPECT_EQ(Deliver(e, {"192.0.2.7", "2001:db8::7"}).code, "OK");
    EXPECT_EQ(provider_->State("duckdns.json"), R"({"home": {"ip": "192.0.2.7", "ipv6": "2001:db8::7"}})");
    e.secret = "wrong";
    EXPECT_EQ(Deliver(e).code, "KO");
}

TEST_F(DdnsHttp, CloudflareCreatesThenPatchesThenLeavesTheRecordsAlone) {
    DdnsEntry e = Entry(DdnsProtocol::Cloudflare);
    EXPECT_EQ(Deliver(e, {"192.0.2.7", "2001:db8::7"}).outcome, DeliveryOutcome::Delivered);
    EXPECT_EQ(Deliver(e, {"192.0.2.8", "2001:db8::7"}).outcome, DeliveryOutcome::Delivered);
    EXPECT_EQ(Deliver(e, {"192.0.2.8", "2001:db8::7"}).outcome, DeliveryOutcome::NothingToDo);
    std::set<std::string> records;
    for (const auto& r : nlohmann::json::parse(provider_->State("records.json")))
        records.insert(r["type"].get<std::string>() + " " + r["name"].get<std::string>() + " " +
                       r["content"].get<std::string>());
    EXPECT_EQ(records, (std::set<std::string>{"A home.example.org 192.0.2.8", "AAAA home.example.org 2001:db8::7"}));
    const std::string requests = provider_->Requests();
    EXPECT_NE(requests.find(R"("method": "PATCH")"), std::string::npos);
    EXPECT_NE(requests.find(std::string("\"authorization\": \"Bearer ") + kToken + "\""), std::string::npos);
    EXPECT_NE(requests.find(R"("type": "application/json")"), std::string::npos);
    e.zone = "example.net";
    EXPECT_EQ(Deliver(e).code, "nozone");
    e.secret = "wrong";
    const DeliveryResult refused = Deliver(e);
    EXPECT_EQ(refused.outcome, DeliveryOutcome::FailedPermanently);
    EXPECT_EQ(refused.serverReply, "Invalid access token");
}

// A certificate the entry's CA did not sign, or one signed for another
// name, stops the request before the secret is sent.
TEST_F(DdnsHttp, OnlyTheTrustedCertificateForThisHostIsAccepted) {
    Provider otherName(*ca_, "other");
    ASSERT_TRUE(otherName.up());
    otherName.Reset();
    DdnsEntry e = Entry(DdnsProtocol::DuckDns);
    e.server = otherName.url();
    EXPECT_EQ(Deliver(e).code, "tls");
    EXPECT_EQ(otherName.Requests(), "");
    e = Entry(DdnsProtocol::DuckDns);
    e.caFile.clear();  // the system's authorities do not know the test CA
    EXPECT_EQ(Deliver(e).code, "tls");
    EXPECT_EQ(provider_->Requests(), "");
}

TEST_F(DdnsHttp, TheSecretNeverReachesTheStatusLine) {
    provider_->Reset(std::string(R"({"body": "KO token=)") + kToken + R"("})");
    const DdnsEntry e = Entry(DdnsProtocol::DuckDns);
    const DeliveryResult r = Deliver(e);
    const std::string line = DdnsStatusLine(e, r, "192.0.2.7");
    EXPECT_EQ(line.find(kToken), std::string::npos) << line;
    EXPECT_NE(line.find("KO token=****"), std::string::npos) << line;
    EXPECT_NE(line.find("stops updating until its settings change"), std::string::npos) << line;
}

}  // namespace
}  // namespace zelmar
