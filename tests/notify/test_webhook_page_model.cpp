// The "Notifications" page's working part: a webhook written, read back and
// removed with its secret and record; what it refuses; and the command
// hook's test run with the sample values.
#include <gtest/gtest.h>

#include "app/core/ini_file.h"
#include "app/core/secret_store.h"
#include "app/notify/webhook_page_model.h"
#include "app/notify/webhook_secret.h"
#include "tests/support/peer_process.h"

namespace zelmar {
namespace {

using test::ScratchDir;

TEST(WebhookPage, WritesReadsRefusesAndRemoves) {
    ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    ini.WriteString("Preferences", "SecretStore", "ini");
    SecretStore store(ini, "k", nullptr);
    WebhookPageModel model(ini, "k", store);
    WebhookConfig hook;
    hook.name = "ntfy";
    hook.url = "https://ntfy.example/%{secret}";
    hook.method = "put";
    hook.body = "{\"ip\":\"%WI\"}";
    hook.timeoutSeconds = 7;
    std::string error, notice;
    ASSERT_TRUE(model.Save(hook, "t0ken", true, error, notice)) << error;
    EXPECT_FALSE(model.Save(hook, "", true, error, notice)) << "the name is taken";
    const WebhookConfig back = model.Load("ntfy");
    EXPECT_EQ(back.method, "PUT");
    EXPECT_EQ(back.body, hook.body);
    EXPECT_EQ(back.timeoutSeconds, 7);
    EXPECT_TRUE(back.secret.empty()) << "never shown";
    EXPECT_EQ(ReadWebhookSecret(store, "ntfy"), "t0ken");
    ASSERT_TRUE(model.Save(back, "", false, error, notice)) << error;
    EXPECT_EQ(ReadWebhookSecret(store, "ntfy"), "t0ken") << "an empty field keeps the secret";
    ASSERT_EQ(model.Rows().size(), 1u);
    EXPECT_EQ(model.Rows()[0].lastOutcome, "never delivered");

    const std::pair<void (*)(WebhookConfig&), const char*> refused[] = {
        {[](WebhookConfig& h) { h.name = " x"; }, "A name"},
        {[](WebhookConfig& h) { h.url = "ftp://x/"; }, "The URL"},
        {[](WebhookConfig& h) { h.method = "DELETE"; }, "The method"},
    };
    for (const auto& [change, says] : refused) {
        WebhookConfig bad = back;
        change(bad);
        EXPECT_FALSE(model.Save(bad, "", false, error, notice)) << says;
        EXPECT_EQ(error.rfind(says, 0), 0u) << error;
    }
    EXPECT_TRUE(model.Remove("ntfy"));
    EXPECT_TRUE(model.Rows().empty());
    EXPECT_TRUE(ini.GetSection("Webhook ntfy").empty());
}

TEST(WebhookPage, CommandTestRunsWithTheSampleValues) {
    const std::vector<std::string> lines =
        TestCommandHook("sh -c 'echo $ZELMAR_EVENT $ZELMAR_WAN_IP; exit 3'", 10, "");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "OnChangeCommand: test 203.0.113.7");
    EXPECT_NE(lines[1].find("failed with exit code 3"), std::string::npos) << lines[1];
    EXPECT_EQ(TestCommandHook("true", 10, "").back(), "OnChangeCommand ran and ended well.");
}

}  // namespace
}  // namespace zelmar
