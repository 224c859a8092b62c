#pragma once

// An in-process stand-in for zidire's control socket: listens on a real Unix socket in a
// temporary directory, records the exact bytes of every request and answers each command the way
// a test tells it to. Every connection is served on a thread of its own, so slow and silent
// answers overlap like they would with the real daemon.

#include "ControlMessages.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class FakeZidire {
public:
    enum class Mode {
        answer,             // the whole answer in one write, then close
        answerInPieces,     // the answer in `pieceSize`-byte writes with a pause between them
        closeWithoutAnswer, // accept, read the request, close
        neverAnswer,        // read the request, then hold the connection open until shut down
    };

    struct Reply {
        QByteArray bytes;
        Mode mode = Mode::answer;
        std::chrono::milliseconds delay{0}; // before the first byte
        int pieceSize = 7;
    };

    // Listens on `socketPath`, or on "control.sock" in a fresh temporary directory.
    explicit FakeZidire(const QString& socketPath = {});
    ~FakeZidire();
    FakeZidire(const FakeZidire&) = delete;
    FakeZidire& operator=(const FakeZidire&) = delete;

    QString socketPath() const { return m_socketPath; }

    // The reply for requests whose "command" is `command`; `setDefaultReply` for all others.
    void setReply(const QString& command, Reply reply);
    void setDefaultReply(Reply reply);

    QList<QByteArray> requests() const { return locked(m_requests); }
    QStringList commands() const; // the "command" of each request, in arrival order
    // When each request had arrived whole, in arrival order.
    QList<std::chrono::steady_clock::time_point> requestTimes() const {
        return locked(m_requestTimes);
    }
    int connectionsServed() const { return locked(m_served); }
    int mostConnectionsAtOnce() const { return locked(m_mostActive); }

private:
    // The connections' threads change what the test reads.
    template <class T> T locked(const T& member) const {
        std::lock_guard lock(m_mutex);
        return member;
    }
    void acceptLoop();
    void serve(int fd);
    Reply replyFor(const QByteArray& request) const;
    // Sleeps up to `duration`; returns false early when the server is shutting down.
    bool pause(std::chrono::milliseconds duration) const;

    QTemporaryDir m_dir;
    QString m_socketPath;
    int m_listenFd = -1;
    int m_wakePipe[2] = {-1, -1};

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed; // wakes pauses when the server stops
    bool m_stopping = false;
    QHash<QString, Reply> m_replies;
    Reply m_defaultReply{R"({"ok":true})"};
    QList<QByteArray> m_requests;
    QList<std::chrono::steady_clock::time_point> m_requestTimes;
    int m_active = 0;
    int m_mostActive = 0;
    int m_served = 0;

    std::thread m_acceptThread;
    std::vector<std::thread> m_connectionThreads;
};

// A status with plausible values, and the "GetStatus" answer that carries it.
ControlStatus sampleStatus(qint64 spoolDepth = 0);
QByteArray statusReplyJson(qint64 spoolDepth = 0);
