#pragma once

// zidire's SMTP intake alone in this process, for tests and benchmarks: its log and spool in
// `directory`, the device login copier/secret, and the three listeners on 127.0.0.1 on ports the
// system picks. `adjust` changes the options before it listens.

#include "log/Log.h"
#include "smtp/SmtpService.h"
#include "spool/Spool.h"

#include <QDir>

#include <functional>

struct LoopbackSmtp {
    using Adjust = std::function<void(zidire::SmtpOptions&)>;

    explicit LoopbackSmtp(const QString& directory, const Adjust& adjust = {})
        : log(QDir(directory).filePath(QStringLiteral("zidire.log")), false)
        , spool(QDir(directory).filePath(QStringLiteral("spool")), log)
        , service(options(directory, adjust), spool, log, [] {
            return std::optional(
                zidire::DeviceLogin{QStringLiteral("copier"), QStringLiteral("secret")});
        }) {
        service.listen(QHostAddress::LocalHost);
    }

    // The port of the listener at `index`: plain, STARTTLS, implicit TLS.
    quint16 port(int index = 0) const {
        return quint16(service.listeners().at(index).address.section(u':', -1).toUInt());
    }

    zidire::Log log;
    zidire::Spool spool;
    zidire::SmtpService service;

private:
    static zidire::SmtpOptions options(const QString& directory, const Adjust& adjust) {
        zidire::SmtpOptions options;
        options.plainPort = options.starttlsPort = options.implicitTlsPort = 0;
        options.certificateDirectory = QDir(directory).filePath(QStringLiteral("tls"));
        options.minFreeDiskBytes = 0;
        if (adjust)
            adjust(options);
        return options;
    }
};
