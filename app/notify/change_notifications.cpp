#include "app/notify/change_notifications.h"

#include "app/core/core.h"
#include "app/notify/address_history.h"
#include "app/notify/command_hook.h"
#include "app/notify/webhook.h"
#include "app/refresh/refresh_pipeline.h"
#include "app/core/messages.h"

namespace zelmar {

void AddChangeNotifications(RefreshPipeline& pipeline, Core& core) {
    auto history = std::make_shared<AddressHistory>(core.startDirectory() + "/" + kHistoryFileName);
    // Read at start, reported with the first refresh's lines: the status
    // road is not open yet while the program is being put together.
    auto loadError = std::make_shared<std::string>();
    history->Load(*loadError);
    const auto post = [&core](StatusMessage message) { core.PostStatusMessage(std::move(message)); };

    pipeline.SetHistory([history] { return history->Entries(); });
    pipeline.AddChannelFactory([](const ChannelContext& ctx) {
        return MakeWebhookChannels(ctx, [](const RefreshSnapshot& s) { return HistoryValues(s.history, s, false); });
    });
    pipeline.AddObserver([loadError, post](const RefreshSnapshot&, const std::vector<ChannelOutcome>&) {
        if (loadError->empty()) return;
        post(Message<Msg::HistoryProblem>(*loadError));
        loadError->clear();
    });
    pipeline.AddObserver(MakeHistoryObserver(history, post));
    pipeline.AddObserver(MakeCommandHookObserver(
        [&core] {
            const Settings settings = core.settings();
            return HookSettings{settings.OnChangeCommand, settings.Timeout, core.startDirectory()};
        },
        post));
}

}  // namespace zelmar
