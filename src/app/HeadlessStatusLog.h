#pragma once

// Until the application has its windows: the model's state on standard error, one line whenever
// something a person would see changes.

#include "AppState.h"

#include <QObject>
#include <QString>

class HeadlessStatusLog : public QObject {
    Q_OBJECT

public:
    explicit HeadlessStatusLog(AppState& state);

private:
    // Prints `line` unless it is what `last` printed; an empty line prints nothing.
    static void report(QString& last, const QString& line);

    AppState& m_state;
    QString m_service;
    QString m_relay;
    QString m_connectivity;
    QString m_error;
    QString m_info;
};
