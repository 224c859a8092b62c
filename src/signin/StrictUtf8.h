#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The text of `bytes`, or none when they are not valid UTF-8 (a truncated sequence included).
std::optional<QString> decodeStrictUtf8(const QByteArray& bytes);
