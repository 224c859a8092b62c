#pragma once

// The records exchanged over the control socket between the application and zidire.
// Each record lists its fields once, in `describe`, so that encoding and decoding can never
// disagree about names, order or presence. Field names are the camel-case names; the wire keys
// are derived from them (see ControlCodec.h).

#include <QList>
#include <QString>

#include <optional>

namespace ControlCommand {
inline constexpr char getStatus[] = "GetStatus";
inline constexpr char setConfig[] = "SetConfig";
inline constexpr char setCredentials[] = "SetCredentials";
inline constexpr char testSend[] = "TestSend";
inline constexpr char retryNow[] = "RetryNow";
inline constexpr char getLog[] = "GetLog";
inline constexpr char getDevicePassword[] = "GetDevicePassword";
} // namespace ControlCommand

namespace ProviderKey {
inline constexpr char m365[] = "m365";
inline constexpr char gmail[] = "gmail";
} // namespace ProviderKey

struct SenderUpdate {
    QString provider{};
    QString fromAddress{};

    bool operator==(const SenderUpdate&) const = default;
    template <class Self, class Visit> static void describe(Self& r, Visit&& field) {
        field("provider", r.provider);
        field("fromAddress", r.fromAddress);
    }
};

struct DeviceUserUpdate {
    QString username{};
    QString password{};

    bool operator==(const DeviceUserUpdate&) const = default;
    template <class Self, class Visit> static void describe(Self& r, Visit&& field) {
        field("username", r.username);
        field("password", r.password);
    }
};

struct GoogleAppUpdate {
    QString clientId{};
    QString clientSecret{};

    bool operator==(const GoogleAppUpdate&) const = default;
    template <class Self, class Visit> static void describe(Self& r, Visit&& field) {
        field("clientId", r.clientId);
        field("clientSecret", r.clientSecret);
    }
};

struct AzureAppUpdate {
    QString clientId{};
    QString clientSecret{};
    QString tenantId{};

    bool operator==(const AzureAppUpdate&) const = default;
    template <class Self, class Visit> static void describe(Self& r, Visit&& field) {
        field("clientId", r.clientId);
        field("clientSecret", r.clientSecret);
        field("tenantId", r.tenantId);
    }
};

struct OAuthUpdate {
    std::optional<GoogleAppUpdate> gmail{};
    std::optional<AzureAppUpdate> m365{};

    bool operator==(const OAuthUpdate&) const = default;
    template <class Self, class Visit> static void describe(Self& r, Visit&& field) {
        field("gmail", r.gmail);
        field("m365", r.m365);
    }
};

struct ControlRequest {
    QString command{};
    std::optional<QString> provider{};
    std::optional<QString> email{};
    std::optional<QString> refreshToken{};
    std::optional<SenderUpdate> sender{};
    std::optional<OAuthUpdate> oauth{};
    std::optional<DeviceUserUpdate> deviceUser{};
    std::optional<QString> listenHost{};
    std::optional<QString> authorization{};
    std::optional<QString> to{};

    bool operator==(const ControlRequest&) const = default;
    template <class Self, class Visit> static void describe(Self& r, Visit&& field) {
        field("command", r.command);
        field("provider", r.provider);
        field("email", r.email);
        field("refreshToken", r.refreshToken);
        field("sender", r.sender);
        field("oauth", r.oauth);
        field("deviceUser", r.deviceUser);
        field("listenHost", r.listenHost);
        field("authorization", r.authorization);
        field("to", r.to);
    }
};

struct ListenerInfo {
    QString address{};
    QString tls{};
    std::optional<QString> error{};

    bool operator==(const ListenerInfo&) const = default;
    template <class Self, class Visit> static void describe(Self& r, Visit&& field) {
        field("address", r.address);
        field("tls", r.tls);
        field("error", r.error);
    }
};

struct ControlStatus {
    QString version{};
    QString provider{};
    QString fromAddress{};
    bool authenticated = false;
    std::optional<QString> signedInEmail{};
    QString deviceUsername{};
    bool devicePasswordStored = false;
    qint64 spoolDepth = 0;
    double uptimeSeconds = 0;
    std::optional<QString> lastError{};
    std::optional<double> lastErrorAgeSeconds{};
    QList<ListenerInfo> listeners{};

    bool operator==(const ControlStatus&) const = default;
    template <class Self, class Visit> static void describe(Self& r, Visit&& field) {
        field("version", r.version);
        field("provider", r.provider);
        field("fromAddress", r.fromAddress);
        field("authenticated", r.authenticated);
        field("signedInEmail", r.signedInEmail);
        field("deviceUsername", r.deviceUsername);
        field("devicePasswordStored", r.devicePasswordStored);
        field("spoolDepth", r.spoolDepth);
        field("uptimeSeconds", r.uptimeSeconds);
        field("lastError", r.lastError);
        field("lastErrorAgeSeconds", r.lastErrorAgeSeconds);
        field("listeners", r.listeners);
    }
};

struct ControlResponse {
    bool ok = false;
    std::optional<QString> error{};
    std::optional<ControlStatus> status{};
    std::optional<QString> devicePassword{};
    std::optional<QString> logTail{};

    bool operator==(const ControlResponse&) const = default;
    template <class Self, class Visit> static void describe(Self& r, Visit&& field) {
        field("ok", r.ok);
        field("error", r.error);
        field("status", r.status);
        field("devicePassword", r.devicePassword);
        field("logTail", r.logTail);
    }
};
