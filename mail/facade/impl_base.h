// Base of the facade's implementation objects: each owns the operation log
// that its public calls write.
#pragma once

#include "mail/base/component_object.h"
#include "mail/base/logger.h"

namespace zelmar::mail {

// The build date recorded as "DllDate" by every public call (the sources'
// date or the version: see CMakeLists.txt).
const char* componentBuildDate();

class ImplBase : public ComponentObject {
public:
    ImplBase() = default;
    ~ImplBase() override;
    ImplBase(const ImplBase&) = delete;
    ImplBase& operator=(const ImplBase&) = delete;

    Logger& log() { return log_; }

protected:
    // The start of every public call: a fresh log, the call's context (the
    // guard closes it on every return path) and the build date.
    class PublicCall {
    public:
        PublicCall(ImplBase& impl, const char* name) : log_(impl.log_) {
            log_.clearLog();
            log_.enterContext(name, 1);
            log_.logData("DllDate", componentBuildDate());
        }
        ~PublicCall() { log_.leaveContext(); }
        PublicCall(const PublicCall&) = delete;
        PublicCall& operator=(const PublicCall&) = delete;

    private:
        Logger& log_;
    };

    Logger log_;
};

}  // namespace zelmar::mail
