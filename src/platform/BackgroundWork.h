#pragma once

// Work that must not run on the main thread (blocking socket exchanges, service management,
// authorization) runs on one of two thread pools and is awaited from a main-thread coroutine.
// Exceptions cross back to the awaiting coroutine unchanged, whatever their type.

#include <QCoroTask>
#include <QObject>
#include <QThreadPool>

#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <variant>

enum class BackgroundPriority {
    utility,       // polling and other work nobody waits for in person
    userInitiated, // work a person just asked for
};

QThreadPool& backgroundPool(BackgroundPriority priority);

namespace detail {
template <class R> using StoredResult = std::conditional_t<std::is_void_v<R>, std::monostate, R>;

// The object that background work resumes its awaiting coroutine through: one per thread that
// awaits, living in that thread, so the coroutine always resumes where it was suspended.
QObject& resumeContext();

// Runs the work on a pool and resumes the awaiting coroutine through the awaiting thread's event
// loop. The resumption is posted as an event, never left to a future's watcher, so it can't be
// missed when the work finishes in the moment the coroutine suspends.
template <class Work> class BackgroundAwaiter {
public:
    using Result = std::invoke_result_t<Work&>;

    BackgroundAwaiter(QThreadPool& pool, Work work)
        : m_pool(pool)
        , m_work(std::move(work)) {}

    bool await_ready() const noexcept { return false; }

    void await_suspend(std::coroutine_handle<> awaiting) {
        QObject* home = &resumeContext();
        m_pool.start([this, awaiting, home] {
            try {
                if constexpr (std::is_void_v<Result>) {
                    m_work();
                    m_value.emplace();
                } else {
                    m_value.emplace(m_work());
                }
            } catch (...) {
                m_error = std::current_exception();
            }
            // Nothing of this awaiter may be touched once the coroutine can resume.
            QMetaObject::invokeMethod(
                home, [awaiting] { awaiting.resume(); }, Qt::QueuedConnection);
        });
    }

    Result await_resume() {
        if (m_error)
            std::rethrow_exception(m_error);
        if constexpr (!std::is_void_v<Result>)
            return std::move(*m_value);
    }

private:
    QThreadPool& m_pool;
    Work m_work;
    std::optional<StoredResult<Result>> m_value;
    std::exception_ptr m_error;
};
} // namespace detail

// Runs `work` (a callable taking no arguments, owning copies of everything it needs) on the
// pool of `priority` and resumes the caller on its own thread with the result or the exception.
//
// Pass a named callable, moved in, never a lambda written inside the co_await expression: GCC 12
// destroys such a temporary twice when the awaiting function is itself a coroutine.
template <class Work>
auto runInBackground(BackgroundPriority priority, Work work)
    -> QCoro::Task<std::invoke_result_t<Work&>> {
    detail::BackgroundAwaiter<Work> finished(backgroundPool(priority), std::move(work));
    co_return co_await finished;
}
