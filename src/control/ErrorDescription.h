#pragma once

// The text shown after a fixed prefix for any error an operation raised. Every error type of the
// application returns its fixed description from what(), and platform errors their own text.

#include <QString>

#include <exception>

QString errorDescription(const std::exception_ptr& error);
