// Whether work may be split with a second thread: only when the machine has a second
// processor to run it, otherwise the split only adds a thread's start to the same work.
#pragma once

#include <thread>

namespace vesko {

inline bool has_second_processor() {
    static const bool second = std::thread::hardware_concurrency() > 1;
    return second;
}

}  // namespace vesko
