#pragma once

// Text that a client or a provider chose, made safe for one log line. Everything such a party
// sends passes through here once, before the line is formatted: it cannot start a line of its own
// (CR, LF, U+2028, U+2029 and every other control or separator character become "\xNN" or
// "\uNNNN"), cannot grow a line without bound, and, because it is escaped before it goes into a
// single multi-argument QString::arg, cannot carry placeholders into the format.

#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace zidire {

// At most `maxCharacters` of `text`, escaped; a cut is marked with "…".
QString logText(QStringView text, qsizetype maxCharacters = 256);
// Bytes as UTF-8 (invalid sequences escaped byte by byte).
QString logText(QByteArrayView bytes, qsizetype maxCharacters = 256);

} // namespace zidire
