#pragma once

#include <QString>

#include <cstdio>

namespace zidire {

// Writes `text` and a line break unless it ends with one, at once (a person or a test may be
// waiting for it while the command goes on).
inline void printLine(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    if (!text.endsWith(u'\n'))
        std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace zidire
