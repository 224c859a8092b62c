#pragma once

#include "UrlOpener.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrlQuery>

// Stands in for the user's browser: remembers the page it was asked to open and follows the
// provider's redirect to the loopback port over real HTTP.
class FakeBrowser final : public UrlOpener {
public:
    // The redirect's query; "{state}" stands for the request's state. Empty: the user never
    // finishes.
    QString redirectQuery;
    QUrl opened;
    QByteArray page; // what the loopback server answered

    void open(const QUrl& url) override {
        opened = url;
        if (redirectQuery.isEmpty())
            return;
        QString query = redirectQuery;
        query.replace("{state}", QUrlQuery(url).queryItemValue("state"));
        QNetworkReply* reply = m_network.get(QNetworkRequest(
            QStringLiteral("http://127.0.0.1:%1/?%2").arg(listenerPort()).arg(query)));
        QObject::connect(reply, &QNetworkReply::finished,
                         [this, reply] { page = reply->readAll(); });
    }

    quint16 listenerPort() const {
        return quint16(QUrl(QUrlQuery(opened).queryItemValue("redirect_uri")).port());
    }

private:
    QNetworkAccessManager m_network;
};
