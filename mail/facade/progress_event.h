// The send's progress and abort question, and the bridge from the
// application's optional event sink to them.
#pragma once

#include "mail/base/progress_monitor.h"

namespace zelmar::mail {

class MailSenderCallback;

// Internal event interface of a send.
class ProgressEvent {
public:
    virtual ~ProgressEvent();
    virtual void percentDone(int percent, bool& abort) = 0;
    virtual void abortCheck(bool& abort) = 0;
};

// Passes progress and abort questions on to the application's sink.
class MailSenderCallbackBridge final : public ProgressEvent {
public:
    explicit MailSenderCallbackBridge(MailSenderCallback& sink) : sink_(sink) {}
    void percentDone(int percent, bool& abort) override;
    void abortCheck(bool& abort) override;

private:
    MailSenderCallback& sink_;
};

// A ProgressMonitor that reports to an event interface (which may be
// absent: then nothing aborts and nobody hears of progress).
void connectMonitor(ProgressMonitor& pm, ProgressEvent* events);

}  // namespace zelmar::mail
