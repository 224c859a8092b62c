#pragma once

// Where the relay keeps its socket, state and authority tokens. The application and zidire both
// compute these here, so the two can never look in different places.

#include <QString>

enum class RelayMode {
    system, // zidire runs as a system service, as root
    local,  // zidire runs as the user (`zidire --user`), e.g. for `make run`
};

namespace RelayPaths {

inline constexpr char systemControlSocket[] = "/Library/Application Support/Moxtrel/control.sock";

// The control socket; MOXTREL_CONTROL_SOCKET overrides the mode's default.
QString controlSocket(RelayMode mode);
// Directory for administrator-authorization tokens; MOXTREL_AUTHORITY_DIR overrides.
QString authorityDirectory(RelayMode mode);
// zidire's settings, secrets, spool and (in local mode) log.
QString stateDirectory(RelayMode mode);
QString logDirectory(RelayMode mode);

} // namespace RelayPaths
