#include "app/page/snapshot_page.h"

#include "app/publish/ftp_page_settings.h"
#include <ctime>

#include "app/core/shared_state.h"
#include "app/publish/ftp_page_settings.h"

namespace zelmar {

PageValues PageValuesFor(const RefreshSnapshot& snapshot, const Settings& settings) {
    PageValues values;
    values.wanAddress = snapshot.current.wan.Shown();
    values.lanAddress = snapshot.current.lan.Shown();
    values.siteName = FtpPageOf(settings).ftp.SiteName;
    values.statusWord = snapshot.online() ? "Online" : "Offline";
    const std::time_t when = std::chrono::system_clock::to_time_t(snapshot.time);
    localtime_r(&when, &values.time);
    values.programWords.reserve(snapshot.programs.size());
    for (const ProgramStatusEntry& program : snapshot.programs) values.programWords.push_back(program.statusWord);
    values.braceValues = {{"wan", snapshot.current.wan.Shown()},
                          {"lan", snapshot.current.lan.Shown()},
                          {"wan6", snapshot.current.wan6.Shown()},
                          {"lan6", snapshot.current.lan6.Shown()}};
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
