#pragma once

// What zidire accepts on its control socket beyond the JSON shape: which members each command
// needs and which values are valid. Pure functions, so the rules can be checked (and fuzzed)
// without a running daemon.

#include "ControlMessages.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace zidire {

// A request read off a connection: either a request that may be carried out, or why not.
struct ControlRequestReading {
    std::optional<ControlRequest> request;
    QString problem; // set when `request` is absent; short, says what was wrong
};

// Decodes one complete JSON object and checks it against the command rules.
ControlRequestReading readControlRequest(const QByteArray& object);

// Why `request` can't be carried out, or nothing when it can.
std::optional<QString> requestProblem(const ControlRequest& request);

// The refusal of "GetDevicePassword" for any failed authorization check, given without detail so
// that a caller learns nothing about the tokens that exist.
inline constexpr char authorizationRequired[] = "administrator authorization required";

bool isMailAddress(const QString& text);
bool isDottedDecimalIPv4(const QString& text);

} // namespace zidire
