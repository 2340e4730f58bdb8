// Common base of the mail component's objects.
//
// Every object carries a serial number drawn from one process-wide counter,
// which makes objects easy to tell apart in logs and debugging sessions.
#pragma once

#include <cstdint>

namespace zelmar::mail {

class ComponentObject {
public:
    ComponentObject();
    ComponentObject(const ComponentObject&);
    ComponentObject& operator=(const ComponentObject&) { return *this; }  // keeps own serial
    virtual ~ComponentObject();

    std::uint64_t serialNumber() const { return serial_; }

private:
    std::uint64_t serial_;
};

}  // namespace zelmar::mail
