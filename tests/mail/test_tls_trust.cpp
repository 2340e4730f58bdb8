// How the session trusts a server's certificate, against aiosmtpd with TLS:
// verified (trusted root and the right name), trusted on first use, pinned,
// or refused. The certificates come from a test CA handed to the channel,
// so "trusted but issued for another name" can be told from "trusted".
#include <gtest/gtest.h>

#include "tests/mail/smtp_test_support.h"

namespace zelmar::test {
namespace {

using mail::Logger;
using mail::SmtpConnImpl;
using mail::TlsChannel;
using Trust = TlsChannel::Trust;

enum class Pin { None, Same, Other };

struct TrustRow {
    const char* name;
    const char* host;            // the name the session connects to
    const char* subjectAltName;  // what the certificate is issued for
    bool caGiven;                // the test CA is a trusted root
    bool requireVerified;
    Pin pin;
    bool startTls;
    bool connects;
    Trust trust;
    int lastError;
};

void PrintTo(const TrustRow& r, std::ostream* os) { *os << r.name; }

const TrustRow kTrustRows[] = {
    {"TrustedForThisName", "localhost", "DNS:localhost", true, true, Pin::None, false, true, Trust::Verified, 0},
    {"TrustedForThisAddress", "127.0.0.1", "IP:127.0.0.1", true, true, Pin::None, false, true, Trust::Verified, 0},
    // The host-name check: a trusted root, but issued for another name.
    {"TrustedButForAnotherName", "localhost", "DNS:other.test", true, false, Pin::None, false, true, Trust::FirstUse, 0},
    {"TrustedButForAnotherNameRequired", "localhost", "DNS:other.test", true, true, Pin::None, false, false, Trust::None,
     TlsChannel::kErrVerifyRequired},
    {"TrustedButForAnotherAddress", "127.0.0.1", "IP:127.0.0.2", true, false, Pin::None, false, true, Trust::FirstUse, 0},
    {"UntrustedRootFirstUse", "localhost", "DNS:localhost", false, false, Pin::None, true, true, Trust::FirstUse, 0},
    {"UntrustedRootPinned", "localhost", "DNS:localhost", false, false, Pin::Same, true, true, Trust::Pinned, 0},
    {"UntrustedRootChanged", "localhost", "DNS:localhost", false, false, Pin::Other, true, false, Trust::None,
     TlsChannel::kErrPinMismatch},
    {"UntrustedRootRequired", "localhost", "DNS:localhost", false, true, Pin::Same, true, false, Trust::None,
     TlsChannel::kErrVerifyRequired},
};

class TlsTrust : public ::testing::TestWithParam<TrustRow> {};

TEST_P(TlsTrust, TrustsOrRefusesBeforeTheLogin) {
    const TrustRow& row = GetParam();
    ScratchDir dir;
    ASSERT_TRUE(MakeCaSignedCert(dir.path(), row.subjectAltName));
    SmtpPeer::Options o;
    o.login = "user:pw";
    o.startTls = row.startTls;
    o.implicitTls = !row.startTls;
    o.certDir = o.outDir = dir.path();
    SmtpPeer server(o);
    ASSERT_TRUE(server.ok()) << server.Log();
    const std::string fingerprint = CertFingerprint(dir / "cert.pem");
    ASSERT_EQ(fingerprint.size(), 64u);

    Logger log;
    SmtpConnImpl session;
    session.setHeloName("client.test");
    session.setImplicitTls(!row.startTls);
    session.setStartTls(row.startTls);
    TlsChannel& channel = session.connection().channel();
    if (row.caGiven) channel.setCaFile(dir / "ca.pem");
    channel.setRequireVerified(row.requireVerified);
    channel.setExpectedPin(row.pin == Pin::Same ? fingerprint : row.pin == Pin::Other ? std::string(64, '0') : "");
    const std::string user = "user", password = "pw";
    bool timedOut = false, aborted = false;
    EXPECT_EQ(session.connectSmtp(row.host, server.port(), &user, &password, "", "", 5, 5000, nullptr, log, nullptr,
                                  timedOut, aborted),
              row.connects)
        << LogText(log);
    EXPECT_EQ(static_cast<int>(channel.trust()), static_cast<int>(row.trust));
    EXPECT_EQ(channel.peerFingerprint(), fingerprint);
    EXPECT_EQ(channel.lastError(), row.lastError);
    // A refused certificate ends the session before any login is tried.
    if (!row.connects) {
        EXPECT_EQ(LogText(log).find("login_method"), std::string::npos) << LogText(log);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, TlsTrust, ::testing::ValuesIn(kTrustRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelmar::test
