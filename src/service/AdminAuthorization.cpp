#include "AdminAuthorization.h"

#include <utility>

namespace {

// Frees the reference unless it was handed on: every failure after it was created frees it,
// exactly once.
class ReferenceGuard {
public:
    ReferenceGuard(AuthorizationServices& services, AuthorizationRef ref)
        : m_services(services)
        , m_ref(ref) {}
    ~ReferenceGuard() {
        if (m_ref)
            m_services.free(m_ref, kAuthorizationFlagDefaults);
    }
    ReferenceGuard(const ReferenceGuard&) = delete;
    ReferenceGuard& operator=(const ReferenceGuard&) = delete;

    AuthorizationRef release() { return std::exchange(m_ref, nullptr); }

private:
    AuthorizationServices& m_services;
    AuthorizationRef m_ref;
};

} // namespace

AdminAuthorization::AdminAuthorization(std::shared_ptr<AuthorizationServices> services)
    : m_services(std::move(services)) {
    AuthorizationRef ref = nullptr;
    const OSStatus created = m_services->create(kAuthorizationFlagDefaults, &ref);
    // A reference that came with a failure is still the caller's to free.
    ReferenceGuard guard(*m_services, ref);
    if (created != errAuthorizationSuccess || !ref)
        throw AdminAuthorizationError::failed(created);

    AuthorizationItem adminRight{adminRightName, 0, nullptr, 0};
    const AuthorizationRights rights{1, &adminRight};
    const OSStatus copied = m_services->copyRights(ref, rights, rightsFlags);
    if (copied == errAuthorizationCanceled)
        throw AdminAuthorizationError::canceled();
    if (copied != errAuthorizationSuccess)
        throw AdminAuthorizationError::failed(copied);

    AuthorizationExternalForm externalForm{};
    const OSStatus made = m_services->makeExternalForm(ref, &externalForm);
    if (made != errAuthorizationSuccess)
        throw AdminAuthorizationError::failed(made);

    m_externalForm = QByteArray(externalForm.bytes, sizeof externalForm.bytes);
    m_ref = guard.release();
}

AdminAuthorization::~AdminAuthorization() {
    m_services->free(m_ref, kAuthorizationFlagDefaults);
}

ControlRequest devicePasswordRequest(const AdminAuthorization& authorization) {
    return {.command = QString::fromLatin1(ControlCommand::getDevicePassword),
            .authorization = QString::fromLatin1(authorization.externalForm().toBase64())};
}
