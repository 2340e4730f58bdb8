#include "app/services.h"

#include "app/core/core.h"

namespace zelmar {

void InstallServices(Core& core) {
    RefreshServices services;
    core.SetServices(std::move(services));
}

}  // namespace zelmar
