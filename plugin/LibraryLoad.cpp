// Runs when the host loads the plug-in library.
#include "plugin/PluginState.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() {
    PluginState::OnLoad();
}

}  // namespace
