#pragma once

#include <QString>

namespace zidire {

// A password typed at the terminal without echo, after `prompt` on standard error; or, when
// standard input is not a terminal, its first line. The terminal is put back as it was on every
// way out, Ctrl+C included. Throws UsageError when the password is empty.
QString readPassword(const QString& prompt);

} // namespace zidire
