// Connects the refresh cycle to the parts of the program that do its work:
// address lookups, program monitor, notification e-mail and the upload.
#pragma once

namespace zelmar {
class Core;
void InstallServices(Core& core);
}  // namespace zelmar
