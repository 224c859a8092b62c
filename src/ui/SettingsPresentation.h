#pragma once

// What the settings window shows, as pure functions of the model's values and of what the person
// has typed: button titles and their enabled rules, captions, the listening picker's options and
// the listener rows.

#include "Appearance.h"
#include "ControlMessages.h"
#include "LocalIPv4Address.h"

#include <QList>
#include <QString>

#include <optional>

// The "Signed in" row's value: a dot label in `tint` with `text`, the dot after the text when
// `dotTrailing`.
struct SignedInLabel {
    Tint tint;
    QString text;
    bool dotTrailing = false;
    bool operator==(const SignedInLabel&) const = default;
};
SignedInLabel signedInLabel(const std::optional<ControlStatus>& status);

QString signInButtonTitle(bool signingIn, const QString& provider);
// The caption under the sign-in button; none for Microsoft 365.
std::optional<QString> googleSignInCaption(const QString& provider, bool googleConfigured);
bool canSendTestEmail(const std::optional<ControlStatus>& status);

// One option of the "Listen on" picker.
struct ListenOption {
    QString title;
    QString value;
    bool operator==(const ListenOption&) const = default;
};
inline constexpr char allAddresses[] = "0.0.0.0";
// The picker is offered only when there is more than one address to choose from.
bool offersListenPicker(const QList<LocalIPv4Address>& addresses);
QList<ListenOption> listenOptions(const QList<LocalIPv4Address>& addresses,
                                  const QString& configuredHost);
// The host part of a listener's "host:port" address.
QString listenHostOf(const QString& listenerAddress);
// A listener's address as a copier should use it: the primary address for a wildcard host.
QString displayedListenerAddress(const QString& listenerAddress,
                                 const std::optional<QString>& primaryAddress);

// One row of the "Listening on" section: the address on the left; on the right its TLS mode, or
// a red "Not listening" with the reason as help text.
struct ListenerRow {
    QString title;
    bool listening = true;
    QString value;
    QString error;
    bool operator==(const ListenerRow&) const = default;
};
QList<ListenerRow> listenerRows(const std::optional<ControlStatus>& status,
                                const std::optional<QString>& primaryAddress);
QString listeningFooter(const QList<LocalIPv4Address>& addresses);
