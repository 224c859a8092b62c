#pragma once

#include <QCoroTask>
#include <QTest>

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
// exception (QCoro::waitFor never returns from a task that throws).
template <class T> T awaitTask(QCoro::Task<T>& task) {
    if (!QTest::qWaitFor([&] { return task.isReady(); }, 10000))
        throw std::runtime_error("the task did not finish in time");
    std::optional<T> value;
    std::exception_ptr error;
    detail::collect(&task, &value, &error); // finishes at once: the task is ready
    if (error)
        std::rethrow_exception(error);
    return std::move(*value);
}
