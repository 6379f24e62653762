// Result<T>: the value of an operation or the Error that stopped it. Anticipated failures (bad
// JSON, a failed system call, a refused vacuum) travel as values; broken invariants are thrown
// as InternalError (check.h) instead.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vesko {

enum class ErrorKind {
    InvalidJson,  // a text that is not JSON, or not the JSON value its role requires
    InvalidArgument,
    Os,            // a failed system call; message is "<system text> (os error N)"
    Vacuum,        // a vacuum step that gave up; message is complete
    StoreBroken,   // the object lost its files and must be reopened
    Damaged,       // a store file does not hold what the store writes; os_errno is EIO and
                   // message is complete (file, what is wrong, how to recover)
    Closed,        // close() was called; message "store is closed"
    OtherProcess,  // the object was inherited through fork() and is used in the child
    Interrupted,   // the caller's Interrupt asked the call to stop; message says what was done
    ReadOnly,      // a change asked of a store opened for reading; message is complete
};

struct Error {
    ErrorKind kind;
    std::string message;
    int os_errno = 0;
    // A flush to disk (fsync, fdatasync, msync) failed: the kernel may already have dropped
    // the pages it could not write, so no later flush can vouch for them.
    bool failed_sync = false;
};

template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    explicit operator bool() const { return v_.index() == 0; }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    T& operator*() & { return value(); }
    T* operator->() { return &std::get<0>(v_); }
    const Error& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), ok_(false) {}

    explicit operator bool() const { return ok_; }
    const Error& error() const { return error_; }

  private:
    Error error_{ErrorKind::Os, {}, 0};
    bool ok_ = true;
};

inline Error make_error(ErrorKind kind, std::string message) {
    return Error{kind, std::move(message), 0};
}

}  // namespace vesko

// Propagates the error of a Result-returning expression; usable in functions returning any
// Result<U>.
#define VESKO_TRY(expr)                       \
    do {                                      \
        auto vesko_try_result_ = (expr);      \
        if (!vesko_try_result_) {             \
            return vesko_try_result_.error(); \
        }                                     \
    } while (false)
