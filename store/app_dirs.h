#pragma once
// Per-user folders of the program. On Linux: Roaming = $XDG_CONFIG_HOME (default ~/.config),
// Local = $XDG_DATA_HOME (default ~/.local/share), each + "/OstrelOps/control-app".
#include <filesystem>

namespace ostrel {

enum class KnownFolder { Roaming, Local };

// Creates the folder with its parents (mode 0700); empty when the base folder cannot be resolved.
std::filesystem::path appDataDir(KnownFolder folder);

}  // namespace ostrel
