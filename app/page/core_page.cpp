#include "app/page/core_page.h"

#include "app/core/core.h"
#include "app/monitor/program_monitor.h"
#include "app/page/snapshot_page.h"

namespace zelmar {

PageJob PageJobFor(Core& core, const std::string& templatePath, const std::string& outputPath) {
    const Settings s = core.settings();
    SharedState& state = core.state();
    // The page as the core's state stands now, made the way a refresh makes
    // it from its snapshot.
    RefreshSnapshot snapshot;
    snapshot.current.wan = state.CurrentWanAddress.get();
    snapshot.current.lan = state.CurrentLanAddress.get();
    snapshot.current.wan6 = state.CurrentWan6Address.get();
    snapshot.current.lan6 = state.CurrentLan6Address.get();
    snapshot.trigger = state.StatusWord.get() == "Offline" ? RefreshTrigger::Exit : RefreshTrigger::Timer;
    snapshot.time = core.host().Now();
    snapshot.programs = CurrentProgramWords(core);
    PageJob job = SnapshotPageJob(snapshot, s, core.startDirectory(), templatePath, outputPath);
    // A status word of another text (none before the first refresh) is
    // shown as it stands.
    job.values.statusWord = state.StatusWord.get();
    return job;
}

void CorePageReporter::Post(StatusMessage message) { core_.PostStatusMessage(std::move(message)); }

void CorePageReporter::ErrorBox(const MessageBoxRequest& box) { core_.ErrorBox(box); }

void CorePageReporter::MessageBox(const MessageBoxRequest& box) { core_.MessageBox(box); }

int GenerateStatusPage(Core& core, const std::string& templatePath, const std::string& outputPath) {
    CorePageReporter reporter(core);
    return GenerateStatusPage(PageJobFor(core, templatePath, outputPath), reporter);
}

}  // namespace zelmar
