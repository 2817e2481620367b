#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace velunto {

// Where providers' sockets live: $XDG_RUNTIME_DIR/velunto/cmio, or /tmp/velunto-<uid>/cmio.
std::string CMIOSocketDirectory();
// Makes the directory (mode 0700) if needed; false if it cannot be made or is not ours.
bool CMIOEnsureSocketDirectory(const std::string& directory);
// "<pid>.sock" and "<pid>-<n>.sock"; names starting with '.' are sockets not ready yet.
std::string CMIOSocketName(pid_t pid, unsigned index);
// The process that owns a socket by its name, or nothing for a name that is not a provider's socket.
std::optional<pid_t> CMIOSocketOwner(const std::string& name);

}  // namespace velunto
