#include "app/page/core_page.h"

#include <chrono>
#include <ctime>

#include "app/core/core.h"
#include "app/monitor/program_monitor.h"

namespace zelmar {

PageJob PageJobFor(Core& core, const std::string& templatePath, const std::string& outputPath) {
    const Settings s = core.settings();
    SharedState& state = core.state();

    PageJob job;
    job.startFolder = core.startDirectory();
    job.templatePath = templatePath;
    job.outputPath = outputPath;
    job.saveFileHtml = s.SaveFileHTML;
    job.saveFileAscii = s.SaveFileASCII;

    PageValues& values = job.values;
    values.wanAddress = state.CurrentWanAddress.get();
    values.lanAddress = state.CurrentLanAddress.get();
    values.siteName = s.ftp.SiteName;
    values.statusWord = state.StatusWord.get();
    const std::time_t now = std::chrono::system_clock::to_time_t(core.host().Now());
    localtime_r(&now, &values.time);

    // Each program's window is looked up afresh: the page tells how things
    // stand now, not at the last check.
    const std::size_t programs = core.programTable().size();
    values.programWords.reserve(programs);
    for (std::size_t i = 0; i < programs; ++i)
        values.programWords.push_back(GetProgramStatusWord(core, "%P" + std::to_string(i)));
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
