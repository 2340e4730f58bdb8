// The online upload as a refresh runs it, on the addresses the test chose:
// the FTP channel delivers the page, and its result decides the online
// state.
#pragma once

#include <optional>

#include "app/core/core.h"
#include "app/publish/publishing.h"
#include "tests/support/pipeline_support.h"

namespace zelmar::test {

inline void PublishOnlinePage(Core& core, const StubAddresses& addresses) {
    const Settings settings = core.ChannelSettings();
    FtpChannel channel(settings, core.startDirectory());
    CoreReporter reporter(core);
    RefreshSnapshot snapshot = SnapshotOf(core, addresses);
    snapshot.trigger = RefreshTrigger::Manual;
    core.EndUpload(channel.Deliver(snapshot, reporter).ok(), snapshot.current);
}

// A refresh's pipeline whose lookups report the addresses, with the FTP
// channel.
inline RefreshPipeline UploadPipeline(std::shared_ptr<const StubAddresses> addresses) {
    RefreshPipeline pipeline;
    pipeline.SetAddressLookup(LookupOf(std::move(addresses)));
    pipeline.AddChannelFactory(MakeFtpChannels);
    return pipeline;
}

}  // namespace zelmar::test
