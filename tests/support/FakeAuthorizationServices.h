#pragma once

// Authorization Services for tests: every call answers with the status the test chose, the
// rights asked for are recorded, and each free is checked against the references handed out.

#include "AuthorizationServices.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <set>

class FakeAuthorizationServices : public AuthorizationServices {
public:
    struct Script {
        OSStatus create = errAuthorizationSuccess;
        bool createGivesReference = true;
        OSStatus copyRights = errAuthorizationSuccess;
        OSStatus makeExternalForm = errAuthorizationSuccess;
        QByteArray externalForm = sampleExternalForm();
    };

    struct RightsRequest {
        QList<AuthorizationItem> items;
        AuthorizationFlags flags = 0;
    };

    FakeAuthorizationServices();
    explicit FakeAuthorizationServices(Script script);
    ~FakeAuthorizationServices() override;

    OSStatus create(AuthorizationFlags flags, AuthorizationRef* authorization) override;
    OSStatus copyRights(AuthorizationRef authorization, const AuthorizationRights& rights,
                        AuthorizationFlags flags) override;
    OSStatus makeExternalForm(AuthorizationRef authorization,
                              AuthorizationExternalForm* externalForm) override;
    OSStatus free(AuthorizationRef authorization, AuthorizationFlags flags) override;

    int referencesCreated() const { return m_created; }
    int referencesFreed() const { return m_freed; }
    // Frees of a reference that was not live: freed before, or never handed out.
    int badFrees() const { return m_badFrees; }
    QList<AuthorizationFlags> freeFlags() const { return m_freeFlags; }
    QList<AuthorizationFlags> createFlags() const { return m_createFlags; }
    QList<RightsRequest> rightsRequests() const { return m_rightsRequests; }

    // 32 distinct bytes, 0xe0 … 0xff: every Base64 group of them differs.
    static QByteArray sampleExternalForm();

private:
    Script m_script;
    std::set<AuthorizationRef> m_live;
    int m_created = 0;
    int m_freed = 0;
    int m_badFrees = 0;
    QList<AuthorizationFlags> m_freeFlags;
    QList<AuthorizationFlags> m_createFlags;
    QList<RightsRequest> m_rightsRequests;
};
