// Letting go of the interpreter lock around engine work, and taking it back.
//
// A thread that takes the lock back while another holds it sleeps in the interpreter until it
// is woken, which on a virtual machine costs tens of microseconds: far more than the few
// microseconds a thread calling this module in a loop holds the lock between two calls. So a
// thread coming back from the engine first spins while the lock is held by a thread that took
// it back here only moments ago, and so is likely to let go of it at its next call. A holder
// that has had it longer is doing something else (or let go of it by other means, in a sleep
// or a read), and is waited for as the interpreter always does.
#pragma once

#include "common/interrupt.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace vesko::binding {

namespace interpreter_lock_detail {

using Clock = std::chrono::steady_clock;

// When the thread that last took the lock back here did so, in Clock's nanoseconds; 0 once it
// let go of it here. A thread that went on to other work leaves it set, but it soon ages past
// spin_limit.
inline std::atomic<std::int64_t> taken_back_at{0};

// Longer than the Python side of a tight loop of calls, short beside a sleep and wake-up.
inline constexpr std::chrono::nanoseconds spin_limit = std::chrono::microseconds(30);

inline std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

inline void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// Spins while a thread that took the lock back less than spin_limit ago still holds it.
inline void wait_for_a_recent_holder() {
    std::int64_t taken = taken_back_at.load(std::memory_order_acquire);
    if (taken == 0 || now_ns() - taken >= spin_limit.count()) return;
    for (unsigned spins = 1;; ++spins) {
        pause();
        if (spins % 16 != 0) continue;
        taken = taken_back_at.load(std::memory_order_acquire);
        if (taken == 0 || now_ns() - taken >= spin_limit.count()) return;
    }
}

}  // namespace interpreter_lock_detail

// Lets go of the interpreter lock; the thread must hold it.
inline PyThreadState* let_go_of_interpreter() {
    PyThreadState* saved = PyEval_SaveThread();
    interpreter_lock_detail::taken_back_at.store(0, std::memory_order_release);
    return saved;
}

// Takes the interpreter lock back for the thread `saved` came from.
inline void take_interpreter_back(PyThreadState* saved) {
    interpreter_lock_detail::wait_for_a_recent_holder();
    PyEval_RestoreThread(saved);
    interpreter_lock_detail::taken_back_at.store(interpreter_lock_detail::now_ns(),
                                                 std::memory_order_release);
}

// The interpreter lock let go for the life of the object.
class InterpreterReleased {
  public:
    InterpreterReleased() : saved_(let_go_of_interpreter()) {}
    InterpreterReleased(const InterpreterReleased&) = delete;
    InterpreterReleased& operator=(const InterpreterReleased&) = delete;
    ~InterpreterReleased() { take_interpreter_back(saved_); }

  private:
    PyThreadState* saved_;
};

// The interpreter lock let go for the life of the object, with the Python signal handlers
// (Ctrl-C's among them) still run while it is: the interpreter runs them only on the main
// thread and between bytecodes, so a long call holding no interpreter lock would answer a
// Ctrl-C only once it returned. The engine polls requested() at its clean boundaries; on the
// thread that made the object, at most once per poll_interval, it takes the interpreter lock
// back for a moment and runs the handlers. A handler that raises (the default SIGINT handler
// raises KeyboardInterrupt) leaves its exception pending on this thread, and every later poll,
// on any thread, is true. Taking the lock at a boundary costs about a microsecond when no other
// Python thread holds it, which against poll_interval is nothing. The engine may hold the
// store's locks meanwhile: that is safe only because no thread waits for a store lock while it
// holds the interpreter lock (every method lets go of it first).
class SignalsPolled final : public Interrupt {
  public:
    static constexpr std::chrono::milliseconds poll_interval{20};

    SignalsPolled() : saved_(let_go_of_interpreter()), owner_(std::this_thread::get_id()) {}
    SignalsPolled(const SignalsPolled&) = delete;
    SignalsPolled& operator=(const SignalsPolled&) = delete;
    ~SignalsPolled() { take_interpreter_back(saved_); }

    bool requested() override {
        if (raised_.load(std::memory_order_acquire)) return true;
        if (std::this_thread::get_id() != owner_) return false;
        const auto now = interpreter_lock_detail::Clock::now();
        if (now < next_poll_) return false;
        next_poll_ = now + poll_interval;
        take_interpreter_back(saved_);
        const bool raised = PyErr_CheckSignals() != 0;
        saved_ = let_go_of_interpreter();
        if (raised) raised_.store(true, std::memory_order_release);
        return raised;
    }

  private:
    PyThreadState* saved_;
    const std::thread::id owner_;
    interpreter_lock_detail::Clock::time_point next_poll_ = interpreter_lock_detail::Clock::now();
    std::atomic<bool> raised_{false};
};

// Runs `call(interrupt)` with the interpreter lock let go and signals polled as SignalsPolled
// says. A signal handler's exception left pending by a call that then finished anyway is
// raised here; an Interrupted error is raised by raise_error (errors.h), which finds it.
template <class Call>
auto interruptible(Call&& call) {
    auto result = [&] {
        SignalsPolled polled;
        return call(static_cast<Interrupt*>(&polled));
    }();
    if (result && PyErr_Occurred() != nullptr) throw pybind11::error_already_set();
    return result;
}

}  // namespace vesko::binding
