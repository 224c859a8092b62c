#include "Cancellation.h"

#include "OneShotWaiter.h"

#include <QTimer>

#include <utility>

CancellationRegistration::CancellationRegistration(CancellationRegistration&& other) noexcept
    : m_state(std::exchange(other.m_state, {}))
    , m_id(other.m_id) {}

CancellationRegistration&
CancellationRegistration::operator=(CancellationRegistration&& other) noexcept {
    if (this != &other) {
        withdraw();
        m_state = std::exchange(other.m_state, {});
        m_id = other.m_id;
    }
    return *this;
}

void CancellationRegistration::withdraw() {
    if (const auto state = m_state.lock())
        state->callbacks.erase(m_id);
    m_state.reset();
}

CancellationRegistration CancellationToken::onCancel(std::function<void()> callback) const {
    if (!m_state)
        return {};
    if (m_state->cancelled) {
        callback();
        return {};
    }
    const quint64 id = m_state->nextId++;
    m_state->callbacks.emplace(id, std::move(callback));
    return CancellationRegistration(m_state, id);
}

void CancellationSource::cancel() {
    if (m_state->cancelled)
        return;
    m_state->cancelled = true;
    // A callback may withdraw other registrations or install new ones; it works on a list that
    // no longer belongs to the state.
    const auto callbacks = std::exchange(m_state->callbacks, {});
    for (const auto& [id, callback] : callbacks)
        callback();
}

QCoro::Task<> cancellableSleep(std::chrono::milliseconds duration, CancellationToken cancellation) {
    if (cancellation.isCancelled())
        throw CancellationError();
    OneShotWaiter<std::monostate> elapsed;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [elapsed] { elapsed.resolve({}); });
    const auto registration = cancellation.onCancel(
        [elapsed] { elapsed.fail(std::make_exception_ptr(CancellationError())); });
    timer.start(duration);
    co_await elapsed;
}
