// The ways of telling about a change besides the page and the mail, put
// into a refresh pipeline for one core: the webhooks (with the history's
// tokens), the address history beside the settings, and the command hook.
// They need the core's start folder and status road, which the pipeline's
// observers are not handed, so they are added where the core is known.
#pragma once

namespace zelmar {

class Core;
class RefreshPipeline;

// Reads the history now (a file that cannot be used is reported after the
// first refresh) and adds the webhook channels and the two observers.
void AddChangeNotifications(RefreshPipeline& pipeline, Core& core);

}  // namespace zelmar
