// Internal failures: conditions the engine's invariants exclude, or that it does not recover
// from (a failed write into a file it has just extended, a slot beyond a mapping). They unwind
// out of the operation, releasing locks through RAII; nothing is rolled back. The binding turns
// them into PanicException.
#pragma once

#include <stdexcept>
#include <string>

namespace vesko {

class InternalError : public std::runtime_error {
  public:
    explicit InternalError(const std::string& what) : std::runtime_error(what) {}
};

[[noreturn]] inline void fail_internal(const std::string& what) { throw InternalError(what); }

}  // namespace vesko

#define VESKO_CHECK(cond, what)           \
    do {                                  \
        if (!(cond)) {                    \
            ::vesko::fail_internal(what); \
        }                                 \
    } while (false)
