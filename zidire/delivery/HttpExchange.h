#pragma once

// One HTTP POST with the answer reduced to what delivery decides on: the status, the body, the
// provider's Retry-After, or why no answer came.

#include <QByteArray>
#include <QDateTime>
#include <QNetworkRequest>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QObject;

namespace zidire {

struct HttpRequest {
    QNetworkRequest request;
    QByteArray body;
};

struct HttpResponse {
    int status = 0; // 0 when no HTTP answer arrived
    QByteArray body;
    QString transportError; // why no answer arrived
    std::optional<std::chrono::seconds> retryAfter;
};

// Posts `request`, giving up when no byte moves for `transferTimeout`. `done` is called once, on
// the event loop, unless `owner` is destroyed first, which aborts the exchange.
void postHttp(QNetworkAccessManager& network, const HttpRequest& request,
              std::chrono::milliseconds transferTimeout, QObject* owner,
              std::function<void(const HttpResponse&)> done);

// A Retry-After value (RFC 9110 10.2.3): seconds, or an HTTP date counted from `now`.
std::optional<std::chrono::seconds> parseRetryAfter(const QByteArray& value, const QDateTime& now);

} // namespace zidire
