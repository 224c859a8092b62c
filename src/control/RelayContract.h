#pragma once

// What the application and zidire must agree on beyond the control records: the names of the files
// zidire leaves in its state and log directories, the size of an authority token, and which socket
// paths both sides accept.

#include <QString>

#include <optional>
#include <sys/un.h>

namespace RelayContract {

// In zidire's state directory while it runs: its process id, for stopping a local zidire.
inline constexpr char pidFileName[] = "zidire.pid";
// In zidire's log directory.
inline constexpr char logFileName[] = "zidire.log";

// The random bytes of an administrator's authority token; its file is named by their hex.
inline constexpr qsizetype authorityTokenBytes = 32;

// The portable limit: the smallest sun_path in use (104 bytes) less its terminating zero. Linux
// would take 107, but a path that works here must work on every system the relay supports.
inline constexpr qsizetype maxSocketPathBytes = 103;

// The address of the socket at `path`, or nothing when the path is longer than the limit.
std::optional<sockaddr_un> socketAddress(const QString& path);

} // namespace RelayContract
