#pragma once

#include <QCoroTask>
#include <QTest>

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>

namespace detail {
template <class T>
QCoro::Task<> collect(QCoro::Task<T>* task, std::optional<T>* value, std::exception_ptr* error) {
    try {
        value->emplace(co_await *task);
    } catch (...) {
        *error = std::current_exception();
    }
}
} // namespace detail

// Runs the event loop until `task` has finished, then returns its value or rethrows its
// exception (QCoro::waitFor never returns from a task that throws). Throws std::runtime_error
// when the task is still running after `limit`.
template <class T>
T awaitTask(QCoro::Task<T>& task, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    if (!QTest::qWaitFor([&] { return task.isReady(); }, int(limit.count())))
        throw std::runtime_error("the task did not finish in time");
    std::optional<T> value;
    std::exception_ptr error;
    detail::collect(&task, &value, &error); // finishes at once: the task is ready
    if (error)
        std::rethrow_exception(error);
    return std::move(*value);
}
