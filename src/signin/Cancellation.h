#pragma once

// Cooperative cancellation for coroutines on one thread: whoever starts a piece of work keeps a
// CancellationSource and hands its token down; every wait that takes a token ends with
// CancellationError once cancellation is requested. Nothing here is thread-safe.

#include <QCoroTask>

#include <chrono>
#include <exception>
#include <functional>
#include <map>
#include <memory>

class CancellationError : public std::exception {
public:
    const char* what() const noexcept override { return "the operation was canceled"; }
};

namespace detail {
struct CancellationState {
    bool cancelled = false;
    quint64 nextId = 0;
    std::map<quint64, std::function<void()>> callbacks;
};
} // namespace detail

// Keeps a cancellation callback installed for as long as it lives.
class CancellationRegistration {
public:
    CancellationRegistration() = default;
    CancellationRegistration(std::weak_ptr<detail::CancellationState> state, quint64 id)
        : m_state(std::move(state))
        , m_id(id) {}
    CancellationRegistration(CancellationRegistration&& other) noexcept;
    CancellationRegistration& operator=(CancellationRegistration&& other) noexcept;
    CancellationRegistration(const CancellationRegistration&) = delete;
    CancellationRegistration& operator=(const CancellationRegistration&) = delete;
    ~CancellationRegistration() { withdraw(); }

private:
    void withdraw();

    std::weak_ptr<detail::CancellationState> m_state;
    quint64 m_id = 0;
};

class CancellationToken {
public:
    // A token that is never cancelled.
    CancellationToken() = default;
    explicit CancellationToken(std::shared_ptr<detail::CancellationState> state)
        : m_state(std::move(state)) {}

    bool isCancelled() const { return m_state && m_state->cancelled; }
    // Runs `callback` when cancellation is requested, or at once if it already was.
    [[nodiscard]] CancellationRegistration onCancel(std::function<void()> callback) const;

private:
    std::shared_ptr<detail::CancellationState> m_state;
};

class CancellationSource {
public:
    CancellationToken token() const { return CancellationToken(m_state); }
    // Runs every installed callback once, in the order they were installed; later calls do
    // nothing.
    void cancel();

private:
    std::shared_ptr<detail::CancellationState> m_state =
        std::make_shared<detail::CancellationState>();
};

// Waits on a precise monotonic timer; ends early with CancellationError.
QCoro::Task<> cancellableSleep(std::chrono::milliseconds duration, CancellationToken cancellation);
