#include "FakeAuthorizationServices.h"

#include <cstring>

FakeAuthorizationServices::FakeAuthorizationServices()
    : FakeAuthorizationServices(Script{}) {}

FakeAuthorizationServices::FakeAuthorizationServices(Script script)
    : m_script(std::move(script)) {}

FakeAuthorizationServices::~FakeAuthorizationServices() {
    for (AuthorizationRef leaked : m_live)
        delete leaked;
}

QByteArray FakeAuthorizationServices::sampleExternalForm() {
    QByteArray bytes;
    for (int i = 0; i < 32; ++i)
        bytes.append(char(0xe0 + i));
    return bytes;
}

OSStatus FakeAuthorizationServices::create(AuthorizationFlags flags,
                                           AuthorizationRef* authorization) {
    m_createFlags.append(flags);
    *authorization = nullptr;
    if (m_script.createGivesReference) {
        *authorization = new AuthorizationOpaqueRef;
        m_live.insert(*authorization);
        ++m_created;
    }
    return m_script.create;
}

OSStatus FakeAuthorizationServices::copyRights(AuthorizationRef authorization,
                                               const AuthorizationRights& rights,
                                               AuthorizationFlags flags) {
    if (!m_live.count(authorization))
        return errAuthorizationInvalidRef;
    RightsRequest request{{}, flags};
    for (std::uint32_t i = 0; i < rights.count; ++i)
        request.items.append(rights.items[i]);
    m_rightsRequests.append(request);
    return m_script.copyRights;
}

OSStatus FakeAuthorizationServices::makeExternalForm(AuthorizationRef authorization,
                                                     AuthorizationExternalForm* externalForm) {
    if (!m_live.count(authorization))
        return errAuthorizationInvalidRef;
    if (m_script.makeExternalForm == errAuthorizationSuccess)
        std::memcpy(externalForm->bytes, m_script.externalForm.constData(),
                    sizeof externalForm->bytes);
    return m_script.makeExternalForm;
}

OSStatus FakeAuthorizationServices::free(AuthorizationRef authorization, AuthorizationFlags flags) {
    m_freeFlags.append(flags);
    if (!m_live.erase(authorization)) {
        ++m_badFrees;
        return errAuthorizationInvalidRef;
    }
    delete authorization;
    ++m_freed;
    return errAuthorizationSuccess;
}
