// Connects the refresh cycle to the parts of the program that do its work:
// address lookups, program monitor, notification e-mail and the upload.
#pragma once

namespace zelmar {
class Core;
void InstallServices(Core& core);
// Start-up of the services that hold a connection of their own (the
// desktop's windows); headless, a missing display is reported on stderr.
void StartServices(bool headless);
}  // namespace zelmar
