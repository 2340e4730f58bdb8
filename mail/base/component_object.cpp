#include "mail/base/component_object.h"

#include <atomic>

namespace zelmar::mail {

namespace {
std::atomic<std::uint64_t> g_nextSerial{1};
}

ComponentObject::ComponentObject() : serial_(g_nextSerial.fetch_add(1, std::memory_order_relaxed)) {}

// A copy is a new object and so gets a serial number of its own.
ComponentObject::ComponentObject(const ComponentObject&) : ComponentObject() {}

ComponentObject::~ComponentObject() = default;

}  // namespace zelmar::mail
