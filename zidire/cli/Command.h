#pragma once

#include "ControlClient.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace zidire {

// One command for a running relay, as the command line gives it.
struct Command {
    QString name;
    QStringList arguments; // after the name
    QString socketPath;    // the relay's control socket
    bool json = false;
    bool noBrowser = false;
    std::optional<QString> clientId;
    std::optional<QString> clientSecret;

    // A command has nothing else to do meanwhile, so it gives the relay longer to answer than
    // the application does.
    ControlClient relay() const { return ControlClient(socketPath, 10.0); }
};

} // namespace zidire
