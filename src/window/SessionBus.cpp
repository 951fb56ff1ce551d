// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/SessionBus.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tavmar::window {

bool SessionBusNamed() noexcept {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0') {
        return true;
    }
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir == nullptr || *runtimeDir == '\0') {
        return false;
    }
    const std::string socket = std::string(runtimeDir) + "/bus";
    struct stat status {};
    return ::stat(socket.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
           status.st_uid == ::getuid();
}

void NeverAutolaunchASessionBus() noexcept {
    if (!SessionBusNamed()) {
        // An address type libdbus does not know fails at once, quietly; only
        // an unset address falls back to autolaunching.
        ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    }
}

} // namespace tavmar::window
