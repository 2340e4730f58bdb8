// A page or mail text made in a refresh: every value comes from the
// refresh's snapshot and the settings, nothing from shared state.
#pragma once

#include <string>

#include "app/page/status_page.h"
#include "app/refresh/delivery_channel.h"

namespace zelmar {

// The tokens' values: the addresses, the state word ("Online", or "Offline"
// for the exit's publication), the site name, the time and the programs'
// words of the snapshot. The "%{wan}", "%{lan}", "%{wan6}" and "%{lan6}"
// tokens give "N/A" for an address that is not known.
PageValues PageValuesFor(const RefreshSnapshot& snapshot, const Settings& settings);

// The job for one page, with the local copies the settings name.
PageJob SnapshotPageJob(const RefreshSnapshot& snapshot, const Settings& settings, const std::string& startFolder,
                        const std::string& templatePath, const std::string& outputPath);

// The page generator's reports, through a channel's reporter.
class ChannelPageReporter : public PageReporter {
public:
    explicit ChannelPageReporter(Reporter& reporter) : reporter_(reporter) {}
    void Post(StatusMessage message) override { reporter_.Post(std::move(message)); }
    void ErrorBox(const MessageBoxRequest& box) override { reporter_.ErrorBox(box); }
    void MessageBox(const MessageBoxRequest& box) override { reporter_.MessageBox(box); }

private:
    Reporter& reporter_;
};

}  // namespace zelmar
