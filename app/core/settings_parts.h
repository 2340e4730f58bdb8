// The settings a channel family keeps for itself, held inside Settings
// without the core knowing their types: one value per type, created with its
// defaults on first write.
//
// A copy of Settings copies every part, so a worker's copy never shares
// state with the main loop's.
#pragma once

#include <any>
#include <map>
#include <typeindex>

namespace zelmar {

class SettingsParts {
public:
    template <class T>
    T& Get() {
        std::any& slot = parts_[std::type_index(typeid(T))];
        if (!slot.has_value()) slot = T{};
        return std::any_cast<T&>(slot);
    }
    // A part never written reads as its defaults.
    template <class T>
    const T& Get() const {
        const auto at = parts_.find(std::type_index(typeid(T)));
        if (at == parts_.end()) {
            static const T defaults{};
            return defaults;
        }
        return std::any_cast<const T&>(at->second);
    }

private:
    std::map<std::type_index, std::any> parts_;
};

}  // namespace zelmar
