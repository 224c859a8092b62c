#include "HeadlessStatusLog.h"

#include <cstdio>

namespace {

QString serviceLine(ServiceStatus status) {
    switch (status) {
    case ServiceStatus::notRegistered:
    case ServiceStatus::notFound:
        return QStringLiteral("background service: not installed");
    case ServiceStatus::enabled:
        return QStringLiteral("background service: installed");
    case ServiceStatus::requiresApproval:
        return QStringLiteral("background service: waiting for an administrator's approval");
    }
    return {};
}

QString relayLine(const std::optional<ControlStatus>& status) {
    if (!status)
        return QStringLiteral("zidire: not answering");
    return QStringLiteral("zidire %1: running, %2 queued message(s)")
        .arg(status->version)
        .arg(status->spoolDepth);
}

QString prefixed(const char* prefix, const std::optional<QString>& text) {
    return text ? QLatin1String(prefix) + *text : QString();
}

} // namespace

HeadlessStatusLog::HeadlessStatusLog(AppState& state)
    : m_state(state) {
    connect(&state, &AppState::daemonStatusChanged, this,
            [this] { report(m_service, serviceLine(m_state.daemonStatus())); });
    connect(&state, &AppState::controlStatusChanged, this,
            [this] { report(m_relay, relayLine(m_state.controlStatus())); });
    connect(&state, &AppState::connectivityErrorChanged, this, [this] {
        report(m_connectivity, prefixed("connection problem: ", m_state.connectivityError()));
    });
    connect(&state, &AppState::lastErrorChanged, this,
            [this] { report(m_error, prefixed("error: ", m_state.lastError())); });
    connect(&state, &AppState::infoMessageChanged, this,
            [this] { report(m_info, prefixed("", m_state.infoMessage())); });
}

void HeadlessStatusLog::report(QString& last, const QString& line) {
    if (line == last)
        return;
    last = line;
    if (!line.isEmpty())
        std::fprintf(stderr, "moxtrel: %s\n", line.toUtf8().constData());
}
