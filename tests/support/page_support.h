// A status page made the way a refresh makes it (app/page/snapshot_page.h),
// from the addresses a test chose, with the program words looked up now and
// the reports going the core's status road.
#pragma once

#include <string>

#include "app/core/core.h"
#include "app/monitor/program_monitor.h"
#include "app/page/snapshot_page.h"
#include "app/refresh/refresh_pipeline.h"

namespace zelmar::test {

inline int GeneratePageOf(Core& core, const AddressSet& found, const std::string& templatePath,
                          const std::string& outputPath) {
    RefreshSnapshot snapshot;
    snapshot.current = found;
    snapshot.time = core.host().Now();
    snapshot.programs = CurrentProgramWords(core);
    CoreReporter reporter(core);
    ChannelPageReporter lines(reporter);
    return GenerateStatusPage(SnapshotPageJob(snapshot, core.settings(), core.startDirectory(), templatePath, outputPath),
                              lines);
}

}  // namespace zelmar::test
