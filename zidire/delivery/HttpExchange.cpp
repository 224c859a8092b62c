#include "HttpExchange.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace zidire {

namespace {

HttpResponse responseOf(QNetworkReply& reply, std::chrono::milliseconds transferTimeout) {
    HttpResponse response;
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        response.status = status.toInt();
        response.body = reply.readAll();
        response.retryAfter =
            parseRetryAfter(reply.rawHeader("Retry-After"), QDateTime::currentDateTimeUtc());
    } else if (reply.error() == QNetworkReply::OperationCanceledError) {
        // What Qt reports when the transfer time-out struck.
        response.transportError =
            QStringLiteral("no answer within %1 s").arg(transferTimeout.count() / 1000.0);
    } else {
        response.transportError = reply.errorString();
    }
    return response;
}

} // namespace

void postHttp(QNetworkAccessManager& network, const HttpRequest& request,
              std::chrono::milliseconds transferTimeout, QObject* owner,
              std::function<void(const HttpResponse&)> done) {
    QNetworkRequest timed = request.request;
    timed.setTransferTimeout(int(transferTimeout.count()));
    QNetworkReply* reply = network.post(timed, request.body);
    // Owned by `owner`, so that destroying it aborts the request and drops the answer.
    reply->setParent(owner);
    QObject::connect(reply, &QNetworkReply::finished, owner,
                     [reply, transferTimeout, done = std::move(done)] {
                         reply->deleteLater();
                         done(responseOf(*reply, transferTimeout));
                     });
}

std::optional<std::chrono::seconds> parseRetryAfter(const QByteArray& value, const QDateTime& now) {
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    bool isNumber = false;
    const qlonglong seconds = text.toLongLong(&isNumber);
    if (isNumber)
        return seconds < 0 ? std::nullopt : std::optional(std::chrono::seconds(seconds));
    // IMF-fixdate, the form senders must use: "Fri, 06 Dec 2024 08:31:00 GMT". Qt reads it with
    // a numeric zone only.
    QString date = QString::fromLatin1(text);
    if (date.endsWith(QLatin1String(" GMT")))
        date.replace(date.size() - 3, 3, QStringLiteral("+0000"));
    const QDateTime at = QDateTime::fromString(date, Qt::RFC2822Date);
    if (!at.isValid())
        return std::nullopt;
    return std::chrono::seconds(std::max<qint64>(0, now.secsTo(at)));
}

} // namespace zidire
