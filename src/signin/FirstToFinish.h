#pragma once

#include "Cancellation.h"

#include <QCoroTask>

#include <array>
#include <exception>
#include <memory>
#include <optional>

namespace detail {

template <class T> struct Race {
    std::array<CancellationSource, 2> contenders;
    std::optional<T> value;
    std::exception_ptr error;
    bool decided() const { return value || error; }
};

template <class T>
QCoro::Task<> runContender(QCoro::Task<T> contender, std::shared_ptr<Race<T>> race, int index) {
    std::optional<T> value;
    std::exception_ptr error;
    try {
        value.emplace(co_await contender);
    } catch (...) {
        error = std::current_exception();
    }
    if (!race->decided()) {
        race->value = std::move(value);
        race->error = error;
    }
    race->contenders[1 - index].cancel();
}

} // namespace detail

// Runs two cancellable operations at once; `startFirst` and `startSecond` each take a token and
// return the operation's task. The first to finish, with a value or an error, decides the
// result. The other is cancelled at once, and the race returns only after it has ended too, so
// nothing it does outlives the race. Cancelling `cancellation` cancels both.
template <class T, class StartFirst, class StartSecond>
QCoro::Task<T> firstToFinish(StartFirst startFirst, StartSecond startSecond,
                             CancellationToken cancellation) {
    const auto race = std::make_shared<detail::Race<T>>();
    const auto registration = cancellation.onCancel([race] {
        for (auto& contender : race->contenders)
            contender.cancel();
    });
    QCoro::Task<> first = detail::runContender<T>(startFirst(race->contenders[0].token()), race, 0);
    QCoro::Task<> second =
        detail::runContender<T>(startSecond(race->contenders[1].token()), race, 1);
    co_await first;
    co_await second;
    if (race->error)
        std::rethrow_exception(race->error);
    co_return std::move(*race->value);
}
