#pragma once

// The permissions a sign-in asks for. The application signs in with them and zidire asks for
// the same ones again when it renews an access token, so both take them from here.

namespace OAuthScope {
// Microsoft Graph's Mail.Send.Shared (send as the user or a mailbox shared with them), a refresh
// token, and the ID token's account address.
inline constexpr char m365[] =
    "https://graph.microsoft.com/Mail.Send.Shared offline_access openid profile email";
// Sending only.
inline constexpr char gmail[] = "https://www.googleapis.com/auth/gmail.send";
} // namespace OAuthScope
