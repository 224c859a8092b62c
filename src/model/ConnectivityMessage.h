#pragma once

// What the status window says when a poll could not reach zidire.

#include <QString>

#include <exception>
#include <optional>

// None when zidire simply isn't running (the service state explains that); otherwise the text
// for `connectivityError`. `error` is what the status request raised.
std::optional<QString> connectivityMessage(const std::exception_ptr& error);
