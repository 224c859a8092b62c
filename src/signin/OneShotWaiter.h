#pragma once

#include <QTimer>

#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

// One result, a value or an exception, handed over later to at most one awaiting coroutine.
// Copies share the result; the first `resolve` or `fail` wins and later ones are ignored.
//
// The waiting coroutine is resumed from its thread's event loop, never inside `resolve` or
// `fail`: the producer's call stack (a socket's signal, say) has unwound by the time the consumer
// runs, so the consumer may destroy the producer.
template <class T> class OneShotWaiter {
    struct State {
        std::optional<T> value;
        std::exception_ptr error;
        std::coroutine_handle<> waiting;
        bool settled() const { return value || error; }
    };

public:
    void resolve(T value) const {
        if (m_state->settled())
            return;
        m_state->value.emplace(std::move(value));
        resumeWaiting();
    }

    void fail(std::exception_ptr error) const {
        if (m_state->settled())
            return;
        m_state->error = std::move(error);
        resumeWaiting();
    }

    friend bool operator==(const OneShotWaiter& a, const OneShotWaiter& b) {
        return a.m_state == b.m_state;
    }

    auto operator co_await() const {
        struct Awaiter {
            std::shared_ptr<State> state;
            bool await_ready() const { return state->settled(); }
            void await_suspend(std::coroutine_handle<> waiting) { state->waiting = waiting; }
            T await_resume() {
                if (state->error)
                    std::rethrow_exception(state->error);
                return std::move(*state->value);
            }
        };
        return Awaiter{m_state};
    }

private:
    void resumeWaiting() const {
        if (const auto waiting = std::exchange(m_state->waiting, {}))
            QTimer::singleShot(0, [waiting] { waiting.resume(); });
    }

    std::shared_ptr<State> m_state = std::make_shared<State>();
};
