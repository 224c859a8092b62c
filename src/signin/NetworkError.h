#pragma once

#include "PlatformError.h"

// A failure of Qt's network layer (the loopback listener, the HTTP client), carrying Qt's own
// text. It passes through the sign-in unchanged.
class NetworkError : public PlatformError {
public:
    using PlatformError::PlatformError;
};
