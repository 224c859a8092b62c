#pragma once

// The message as the provider gets it. Copiers send from addresses of their own (often none that
// exists); the provider sends only from the signed-in account or a mailbox it may send as. So the
// From header becomes the configured sender, a real original sender stays reachable as Reply-To,
// and every envelope recipient that the headers don't name is added as Bcc, since the providers
// deliver to the header recipients only.

#include "spool/Spool.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

namespace zidire {

QByteArray prepareForProvider(const Spool::Message& message, const QString& senderAddress);

// A short plain-text message for "TestSend".
QByteArray testMessage(const QString& senderAddress, const QString& to, const QString& providerName,
                       const QDateTime& now);

// The addr-specs in an address-list header value (RFC 5322 3.4): display names, comments,
// quoted strings and groups skipped. Elements without an "@" are left out.
QList<QByteArray> addressesIn(QByteArrayView headerValue);

} // namespace zidire
