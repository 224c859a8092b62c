#pragma once

// Proof for zidire that an administrator approved the request at hand: an authorization holding
// the administrator right, and its 32-byte external form, which zidire checks. One instance
// serves one request; its authorization is freed when it goes.

#include "AdminAuthorizationError.h"
#include "AuthorizationServices.h"
#include "ControlMessages.h"

#include <QByteArray>

#include <memory>

class AdminAuthorization {
public:
    // Obtains the right, which may show the administrator password dialog and wait for the
    // person: never call it on the main thread. Throws AdminAuthorizationError.
    explicit AdminAuthorization(std::shared_ptr<AuthorizationServices> services);
    ~AdminAuthorization();
    AdminAuthorization(const AdminAuthorization&) = delete;
    AdminAuthorization& operator=(const AdminAuthorization&) = delete;

    // Always kAuthorizationExternalFormLength bytes.
    const QByteArray& externalForm() const { return m_externalForm; }

    // Flags of the rights request: interaction allowed, extend rights, pre-authorize.
    static constexpr AuthorizationFlags rightsFlags = kAuthorizationFlagInteractionAllowed |
                                                      kAuthorizationFlagExtendRights |
                                                      kAuthorizationFlagPreAuthorize;

private:
    std::shared_ptr<AuthorizationServices> m_services;
    AuthorizationRef m_ref = nullptr;
    QByteArray m_externalForm;
};

// The "GetDevicePassword" request that this authorization allows: its external form in standard
// Base64 as the only field besides the command.
ControlRequest devicePasswordRequest(const AdminAuthorization& authorization);
