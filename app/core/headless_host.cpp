#include "app/core/headless_host.h"

#include "app/core/event_log.h"

namespace zelmar {

HeadlessHost::~HeadlessHost() { JoinWorkers(); }

void HeadlessHost::StartWorker(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(workersMutex_);
    // Finished workers are joined here, so a program that runs for months
    // does not keep a thread (and its stack) per refresh.
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back({std::thread([this, done, fn = std::move(fn)] {
                            fn();
                            done->store(true);
                            // Wake the loop so that whoever waits for the
                            // worker's end sees it.
                            loop_.Post([] {});
                        }),
                        done});
}

void HeadlessHost::JoinWorkers() {
    std::vector<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(workersMutex_);
        workers.swap(workers_);
    }
    for (auto& w : workers)
        if (w.thread.joinable()) w.thread.join();
}

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
        std::fprintf(out_, "%sPlease wait while Zelmar contacts remote server.\n", TimeDisplay(Now()).c_str());
        std::fflush(out_);
    }
}

}  // namespace zelmar
