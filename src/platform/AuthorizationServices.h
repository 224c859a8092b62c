#pragma once

// Authorization Services, the four calls this application makes, with their status codes. An
// authorization obtains the right "system.privilege.admin" after an administrator confirmed it; its
// 32-byte external form is what zidire checks before it reveals a secret.

#include <cstddef>
#include <cstdint>

using OSStatus = std::int32_t;
using AuthorizationFlags = std::uint32_t;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInteractionNotAllowed = -60007;
inline constexpr OSStatus errAuthorizationInternal = -60008;

inline constexpr AuthorizationFlags kAuthorizationFlagDefaults = 0;
inline constexpr AuthorizationFlags kAuthorizationFlagInteractionAllowed = 0x1;
inline constexpr AuthorizationFlags kAuthorizationFlagExtendRights = 0x2;
inline constexpr AuthorizationFlags kAuthorizationFlagPreAuthorize = 0x10;

// The one right there is: an administrator confirmed the request.
inline constexpr char adminRightName[] = "system.privilege.admin";

struct AuthorizationItem {
    const char* name;
    std::size_t valueLength;
    void* value;
    std::uint32_t flags;
};

struct AuthorizationItemSet {
    std::uint32_t count;
    AuthorizationItem* items;
};
using AuthorizationRights = AuthorizationItemSet;

inline constexpr std::size_t kAuthorizationExternalFormLength = 32;
struct AuthorizationExternalForm {
    char bytes[kAuthorizationExternalFormLength];
};

// What a reference points to; each backend keeps its own state behind it.
struct AuthorizationOpaqueRef {
    virtual ~AuthorizationOpaqueRef() = default;
};
using AuthorizationRef = AuthorizationOpaqueRef*;

// Every call blocks; copyRights may wait for a person to answer a password dialog, so none of them
// runs on the main thread. A reference is used by one thread at a time and must be freed exactly
// once, with the services that created it.
class AuthorizationServices {
public:
    virtual ~AuthorizationServices() = default;
    // A new reference without rights.
    virtual OSStatus create(AuthorizationFlags flags, AuthorizationRef* authorization) = 0;
    virtual OSStatus copyRights(AuthorizationRef authorization, const AuthorizationRights& rights,
                                AuthorizationFlags flags) = 0;
    virtual OSStatus makeExternalForm(AuthorizationRef authorization,
                                      AuthorizationExternalForm* externalForm) = 0;
    virtual OSStatus free(AuthorizationRef authorization, AuthorizationFlags flags) = 0;
};
