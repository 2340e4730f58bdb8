// The online upload as a refresh runs it, on the addresses the test put into
// the core: the FTP channel delivers the page, and its result decides the
// online state.
#pragma once

#include "app/core/core.h"
#include "app/publish/publishing.h"
#include "tests/support/pipeline_support.h"

namespace zelmar::test {

inline void PublishOnlinePage(Core& core) {
    Settings settings = core.settings();
    settings.UseProxy = core.state().UseProxySnapshot.load();
    FtpChannel channel(settings, core.startDirectory());
    CoreReporter reporter(core);
    RefreshSnapshot snapshot = SnapshotOfState(core);
    snapshot.trigger = RefreshTrigger::Manual;
    core.EndUpload(channel.Deliver(snapshot, reporter).ok());
}

// A refresh's pipeline whose lookups report the core's addresses, with the
// FTP channel.
inline RefreshPipeline UploadPipeline() {
    RefreshPipeline pipeline;
    pipeline.SetAddressLookup(AddressesInState);
    pipeline.AddChannelFactory(MakeFtpChannels);
    return pipeline;
}

}  // namespace zelmar::test
