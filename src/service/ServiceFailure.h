#pragma once

#include <QString>

#include <exception>

// The text that follows an operation's prefix when the service manager failed: the platform's own
// message for a ServiceManagementError, the error's text for anything else.
QString serviceFailureDescription(const std::exception_ptr& failure);
