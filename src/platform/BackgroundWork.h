#pragma once

// Work that must not run on the main thread (blocking socket exchanges, service management,
// authorization) runs on one of two thread pools and is awaited from a main-thread coroutine.
// Exceptions cross back to the awaiting coroutine unchanged, whatever their type.

#include <QCoroFuture>
#include <QCoroTask>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

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

template <class R> struct BackgroundOutcome {
    std::optional<StoredResult<R>> value;
    std::exception_ptr error;
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
    using Result = std::invoke_result_t<Work&>;
    using Outcome = detail::BackgroundOutcome<Result>;
    auto future = QtConcurrent::run(&backgroundPool(priority), [work = std::move(work)]() mutable {
        Outcome outcome;
        try {
            if constexpr (std::is_void_v<Result>) {
                work();
                outcome.value.emplace();
            } else {
                outcome.value.emplace(work());
            }
        } catch (...) {
            outcome.error = std::current_exception();
        }
        return outcome;
    });
    Outcome outcome = co_await future;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<Result>)
        co_return std::move(*outcome.value);
}
