#include "app/core/headless_host.h"

#include "app/core/event_log.h"
#include "app/core/messages.h"

namespace zelmar {

HeadlessHost::~HeadlessHost() { JoinWorkers(); }

void HeadlessHost::StartWorker(std::function<void()> fn) {
    if (inlineWorkers_) {
        fn();
        return;
    }
    // The loop is woken after each worker, so that whoever waits for the
    // worker's end sees it.
    workers_.Start(std::move(fn), [this] { loop_.Post([] {}); });
}

void HeadlessHost::JoinWorkers() { workers_.JoinAll(); }

bool HeadlessHost::SetTimer(int id, std::chrono::milliseconds interval) {
    // A window timer never fires faster than every 10 ms.
    if (interval < std::chrono::milliseconds(10)) interval = std::chrono::milliseconds(10);
    loop_.SetTimer(id, interval);
    return true;
}

MbAnswer HeadlessHost::MessageBox(const MessageBoxRequest& request) {
    std::fprintf(err_, "%s: %s\n", request.caption.empty() ? "Zelmar" : request.caption.c_str(),
                 request.text.c_str());
    std::fflush(err_);
    return request.defaultAnswer;
}

void HeadlessHost::StatusLine(const StatusMessage&, const std::string& displayText) {
    std::fprintf(out_, "%s%s\n", TimeDisplay(Now()).c_str(), displayText.c_str());
    std::fflush(out_);
}

void HeadlessHost::ShowShutdownWindow(bool visible) {
    // Without a window the "Shutdown In Progress" window becomes its text.
    if (visible) {
        std::fprintf(out_, "%s%s\n", TimeDisplay(Now()).c_str(), Text<Msg::ShutdownWait>().c_str());
        std::fflush(out_);
    }
}

}  // namespace zelmar
