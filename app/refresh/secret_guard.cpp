#include "app/refresh/secret_guard.h"
#include "app/core/messages.h"

namespace zelmar {

namespace {

class SecretGuard : public DeliveryChannel {
public:
    SecretGuard(std::unique_ptr<DeliveryChannel> inner, std::string problem)
        : inner_(std::move(inner)), problem_(std::move(problem)) {}
    std::string Name() const override { return inner_->Name(); }
    bool Due(const RefreshSnapshot& snapshot, const ChannelRecord& record) const override {
        return inner_->Due(snapshot, record);
    }
    DeliveryResult Deliver(const RefreshSnapshot&, Reporter& reporter) override {
        reporter.Post(Message<Msg::HeldForSecret>(Name(), problem_));
        return {DeliveryOutcome::Failed, "keyring", "secret", problem_, 0};
    }
    std::string SettingsFingerprint() const override { return inner_->SettingsFingerprint(); }
    bool DecidesOnlineState() const override { return inner_->DecidesOnlineState(); }
    // It only says why it sends nothing.
    std::chrono::seconds Deadline(std::chrono::seconds) const override { return std::chrono::seconds(0); }
    void Skipped(const RefreshSnapshot& snapshot) override { inner_->Skipped(snapshot); }

private:
    std::unique_ptr<DeliveryChannel> inner_;
    std::string problem_;
};

}  // namespace

std::unique_ptr<DeliveryChannel> HeldForSecret(std::unique_ptr<DeliveryChannel> channel, std::string problem) {
    return std::make_unique<SecretGuard>(std::move(channel), std::move(problem));
}

}  // namespace zelmar
