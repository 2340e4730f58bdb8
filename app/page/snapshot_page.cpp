#include "app/page/snapshot_page.h"

#include <ctime>

#include "app/core/shared_state.h"

namespace zelmar {

PageValues PageValuesFor(const RefreshSnapshot& snapshot, const Settings& settings) {
    PageValues values;
    values.wanAddress = snapshot.current.wan;
    values.lanAddress = snapshot.current.lan;
    values.siteName = settings.ftp.SiteName;
    values.statusWord = snapshot.online() ? "Online" : "Offline";
    const std::time_t when = std::chrono::system_clock::to_time_t(snapshot.time);
    localtime_r(&when, &values.time);
    values.programWords.reserve(snapshot.programs.size());
    for (const ProgramStatusEntry& program : snapshot.programs) values.programWords.push_back(program.statusWord);
    values.braceValues = {{"wan", AddressOrNa(snapshot.current.wan)},
                          {"lan", AddressOrNa(snapshot.current.lan)},
                          {"wan6", AddressOrNa(snapshot.current.wan6)},
                          {"lan6", AddressOrNa(snapshot.current.lan6)}};
    return values;
}

PageJob SnapshotPageJob(const RefreshSnapshot& snapshot, const Settings& settings, const std::string& startFolder,
                        const std::string& templatePath, const std::string& outputPath) {
    PageJob job;
    job.startFolder = startFolder;
    job.templatePath = templatePath;
    job.outputPath = outputPath;
    job.saveFileHtml = settings.SaveFileHTML;
    job.saveFileAscii = settings.SaveFileASCII;
    job.values = PageValuesFor(snapshot, settings);
    return job;
}

}  // namespace zelmar
