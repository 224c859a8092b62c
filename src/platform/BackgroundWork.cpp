#include "BackgroundWork.h"

#include <QThread>

namespace {

// Blocking exchanges may each wait up to 20 seconds, so the pools are larger than the core
// count: a slow test send must not hold up the status poll.
constexpr int threadsPerPool = 8;

QThreadPool* makePool(QThread::Priority threadPriority) {
    auto* pool = new QThreadPool;
    pool->setMaxThreadCount(threadsPerPool);
    pool->setThreadPriority(threadPriority);
    return pool;
}

} // namespace

QObject& detail::resumeContext() {
    // Deliberately never destroyed, like the pools: work may finish while the program ends.
    static thread_local QObject* const context = new QObject;
    return *context;
}

QThreadPool& backgroundPool(BackgroundPriority priority) {
    // Deliberately never destroyed: a blocked exchange may still be running at exit, and a
    // pool's destructor would wait for it.
    static QThreadPool* const utility = makePool(QThread::LowPriority);
    static QThreadPool* const userInitiated = makePool(QThread::NormalPriority);
    return priority == BackgroundPriority::utility ? *utility : *userInitiated;
}
