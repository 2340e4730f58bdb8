// The status page of the running program: the values of this refresh taken
// from the core (addresses, status word, site name, the program words looked
// up now, the host's clock) and the reports sent back through it. Publishing
// and the notification e-mail both make their page this way.
#pragma once

#include <string>

#include "app/page/status_page.h"

namespace zelmar {

class Core;

// The job for one page: the core's start folder, its settings' copies and the
// values as they stand now.
PageJob PageJobFor(Core& core, const std::string& templatePath, const std::string& outputPath);

// Reports through the core: the message goes the status road, the boxes to
// the main loop (the error box obeys "SuppressError").
class CorePageReporter : public PageReporter {
public:
    explicit CorePageReporter(Core& core) : core_(core) {}
    void Post(StatusMessage message) override;
    void ErrorBox(const MessageBoxRequest& box) override;
    void MessageBox(const MessageBoxRequest& box) override;

private:
    Core& core_;
};

// PageJobFor and GenerateStatusPage with a CorePageReporter, in one call.
int GenerateStatusPage(Core& core, const std::string& templatePath, const std::string& outputPath);

}  // namespace zelmar
