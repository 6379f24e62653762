// Work cut into parts that the calling thread and one helper thread share, for the large
// answers of a search. The caller asks for each part's result when it needs it and never waits
// for the helper to be scheduled: a part nobody has begun it does itself, and a part the helper
// is in the middle of it waits for only briefly before doing it again on its own. On a busy
// machine, where the helper may not run for milliseconds, the caller then goes at the speed of
// one thread instead of stalling.
//
// Lifetime: the helper reads the caller's data (under the caller's locks) only while it holds a
// part. Destruction closes the parts that nobody took, waits for a part the helper is in the
// middle of, and leaves the helper to finish its task on its own; what it still touches then
// (the part states) is shared with it and outlives the object.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vesko {

// Work is shared only when the machine has a second processor to run the helper; otherwise
// sharing would only add a hand-over to the same work.
inline bool has_second_processor() {
    static const bool second = std::thread::hardware_concurrency() > 1;
    return second;
}

namespace shared_parts_detail {

// The one helper thread of the process, started at the first shared work and then kept:
// starting a thread for each large answer cost the caller a clone and the helper a cold stack,
// tens of microseconds each time. Tasks run one at a time, in the order posted; a caller whose
// task waits behind another's does its parts itself meanwhile.
class HelperThread {
  public:
    // Hands the task over; false when no thread can be had.
    static bool post(std::function<void()> task) {
        HelperThread* helper = current();
        if (helper == nullptr) return false;
        {
            const std::lock_guard<std::mutex> hold(helper->mutex_);
            helper->tasks_.push_back(std::move(task));
        }
        helper->ready_.notify_one();
        return true;
    }

  private:
    explicit HelperThread(pid_t pid) : pid_(pid) {}

    // The helper of this process. A child made by fork() has no thread behind its parent's
    // helper (and that helper's lock may have been held at the fork), so it starts its own and
    // never touches the inherited one, which is left as it is: it cannot be freed safely.
    static HelperThread* current() {
        static std::atomic<HelperThread*> running{nullptr};
        const pid_t pid = getpid();
        HelperThread* seen = running.load(std::memory_order_acquire);
        while (seen == nullptr || seen->pid_ != pid) {
            if (seen != nullptr && seen->pid_ == 0) return nullptr;  // could not start one
            auto* fresh = new HelperThread(pid);
            if (!running.compare_exchange_strong(seen, fresh, std::memory_order_acq_rel)) {
                delete fresh;  // another thread started one first: `seen` now holds it
                continue;
            }
            try {
                std::thread([fresh] { fresh->run(); }).detach();
            } catch (const std::system_error&) {
                fresh->pid_ = 0;  // no thread to be had: callers do every part
                return nullptr;
            }
            return fresh;
        }
        return seen;
    }

    [[noreturn]] void run() noexcept {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> hold(mutex_);
                ready_.wait(hold, [this] { return !tasks_.empty(); });
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();  // never throws: SharedParts catches inside each part
        }
    }

    std::atomic<pid_t> pid_;  // 0 once starting the thread failed
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
};

}  // namespace shared_parts_detail

template <class Out>
class SharedParts {
  public:
    using Work = std::function<void(std::size_t part, Out& out)>;
    // Which end of the parts the helper starts from: the front when the caller consumes them in
    // order as they come (it then runs ahead of the caller), the back when the caller wants
    // them all at once (they then meet in the middle).
    enum class HelperStart { Front, Back };

    SharedParts(std::size_t parts, Work work, HelperStart start)
        : shared_(std::make_shared<Shared>(parts, std::move(work))), own_(parts) {
        if (parts < 2 || !has_second_processor()) return;
        // Without a helper the caller does every part.
        shared_parts_detail::HelperThread::post([shared = shared_, start] { shared->help(start); });
    }
    SharedParts(const SharedParts&) = delete;
    SharedParts& operator=(const SharedParts&) = delete;
    ~SharedParts() { shared_->close(); }

    std::size_t size() const { return own_.size(); }

    // The result of part k, done here unless the helper has done it or finishes it soon.
    const Out& get(std::size_t k) {
        if (done_here(k)) return own_[k].out;
        Shared& s = *shared_;
        std::uint8_t state = s.states[k].load(std::memory_order_acquire);
        if (state == free_part &&
            s.states[k].compare_exchange_strong(state, caller_part, std::memory_order_acquire)) {
            return do_here(k);
        }
        if (state == helper_busy) {
            // A part takes the helper tens of microseconds; wait about that long for it.
            const auto give_up = std::chrono::steady_clock::now() + wait_for_helper;
            while ((state = s.states[k].load(std::memory_order_acquire)) == helper_busy &&
                   std::chrono::steady_clock::now() < give_up) {
                std::this_thread::yield();
            }
        }
        if (state == helper_done) return s.outs[k];
        return do_here(k);  // still busy, or the helper failed on it
    }

    // For a caller that can use the parts in any order (the helper must start from the front):
    // the next part to use, and its result, or none once every part has been handed out, each
    // exactly once. Parts the helper has finished come first, in order; while there are none,
    // the caller does a part itself from the back instead of waiting for the one the helper is
    // in the middle of, so that neither waits on the other until the two meet.
    std::optional<std::pair<std::size_t, const Out*>> next_ready() {
        Shared& s = *shared_;
        while (front_ < back_) {
            const std::size_t k = front_;
            std::uint8_t state = s.states[k].load(std::memory_order_acquire);
            if (state == helper_done) {
                ++front_;
                return std::pair{k, &s.outs[k]};
            }
            if (state == helper_failed) {
                ++front_;
                return std::pair{k, &do_here(k)};
            }
            if (!helper_has_rest_) {
                const std::size_t last = back_ - 1;
                std::uint8_t expected = free_part;
                if (s.states[last].compare_exchange_strong(expected, caller_part,
                                                           std::memory_order_acquire)) {
                    --back_;
                    return std::pair{last, &do_here(last)};
                }
                // The helper, going front to back, has reached the last part: every part
                // left is its own, done or under way.
                helper_has_rest_ = true;
                continue;
            }
            ++front_;
            return std::pair{k, &get(k)};  // waits briefly for the helper's part under way
        }
        return std::nullopt;
    }

  private:
    static constexpr std::uint8_t free_part = 0;
    static constexpr std::uint8_t helper_busy = 1;
    static constexpr std::uint8_t helper_done = 2;
    static constexpr std::uint8_t caller_part = 3;  // taken by the caller, or closed
    static constexpr std::uint8_t helper_failed = 4;
    static constexpr std::chrono::microseconds wait_for_helper{50};

    struct Shared {
        Shared(std::size_t parts, Work w) : states(parts), outs(parts), work(std::move(w)) {}

        void help(HelperStart start) noexcept {
            const std::size_t n = states.size();
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t k = start == HelperStart::Front ? i : n - 1 - i;
                std::uint8_t expected = free_part;
                if (!states[k].compare_exchange_strong(expected, helper_busy,
                                                       std::memory_order_acquire)) {
                    // Taken by the caller: from the back, the two have met.
                    if (start == HelperStart::Back) return;
                    continue;
                }
                std::uint8_t outcome = helper_done;
                try {
                    work(k, outs[k]);
                } catch (...) {
                    outcome = helper_failed;
                }
                states[k].store(outcome, std::memory_order_release);
                states[k].notify_all();
            }
        }

        // After this no part can be taken, and no part is being worked on by the helper.
        void close() {
            for (auto& state : states) {
                std::uint8_t expected = free_part;
                if (state.compare_exchange_strong(expected, caller_part)) continue;
                while (expected == helper_busy) {
                    state.wait(helper_busy, std::memory_order_acquire);
                    expected = state.load(std::memory_order_acquire);
                }
            }
        }

        std::vector<std::atomic<std::uint8_t>> states;
        std::vector<Out> outs;  // written by the helper, read by the caller once done
        Work work;
    };

    struct Own {
        bool done = false;
        Out out;
    };

    bool done_here(std::size_t k) const { return own_[k].done; }
    const Out& do_here(std::size_t k) {
        shared_->work(k, own_[k].out);
        own_[k].done = true;
        return own_[k].out;
    }

    std::shared_ptr<Shared> shared_;
    std::vector<Own> own_;
    // next_ready's progress: parts [front_, back_) are still to be handed out.
    std::size_t front_ = 0;
    std::size_t back_ = own_.size();
    bool helper_has_rest_ = false;
};

}  // namespace vesko
