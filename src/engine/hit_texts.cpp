#include "engine/hit_texts.h"

#include "common/processors.h"

#include <algorithm>
#include <system_error>

namespace vesko::engine {

bool HitTexts::shared_out(std::size_t hits) {
    return hits >= shared_min_hits && has_second_processor();
}

void HitTexts::gather_all(std::span<const storage::DataFiles::RecordOffsets> offsets) {
    std::string spill;
    for (std::size_t run = 0; run < runs_.size(); ++run) {
        const std::size_t begin = run * run_hits;
        gather_run(runs_[run], offsets.subspan(begin), std::min(run_hits, offsets.size() - begin),
                   spill);
    }
}

void HitTexts::start_sharing() {
    done_.reset(new std::atomic<bool>[runs_.size()]());
    try {
        gatherer_ = std::thread([this] {
            Scratch scratch;
            std::size_t run = no_run;
            try {
                do {
                    if (stop_.load(std::memory_order_relaxed)) return;
                    run = take_run(scratch);
                } while (run != no_run);
            } catch (...) {
                failure_ = std::current_exception();
                failed_.store(true, std::memory_order_release);
                // The run it had taken is marked only to wake a reader waiting for it, which
                // then sees the failure first.
                if (run != no_run) mark_done(run);
            }
        });
    } catch (const std::system_error&) {
        // No thread to be had: the reader takes every run after the first.
    }
    // The first run here, without the interpreter lock, while the thread starts.
    try {
        take_run(reader_scratch_);
    } catch (...) {
        stop_.store(true, std::memory_order_relaxed);
        if (gatherer_.joinable()) gatherer_.join();
        throw;
    }
}

HitTexts::~HitTexts() {
    if (gatherer_.joinable()) {
        stop_.store(true, std::memory_order_relaxed);
        gatherer_.join();
    }
}

void HitTexts::gather_run(Run& out, std::span<const storage::DataFiles::RecordOffsets> offsets,
                          std::size_t count, std::string& spill) const {
    out.spans.reserve(2 * count);
    out.texts.reserve(count * typical_texts_bytes);
    auto append = [&out](std::string_view bytes) {
        out.spans.push_back({out.texts.size(), bytes.size()});
        out.texts.append(bytes);
    };
    for (std::size_t i = 0; i < std::min(prefetch_distance, offsets.size()); ++i) {
        files_.prefetch_records(offsets[i]);
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (i + prefetch_distance < offsets.size()) {
            files_.prefetch_records(offsets[i + prefetch_distance]);
        }
        append(files_.external_id_at(offsets[i].ext_id, spill).value_or(std::string_view()));
        append(files_.metadata_at(offsets[i].metadata, spill));
    }
}

std::size_t HitTexts::take_run(Scratch& scratch) {
    const std::size_t run = next_run_.fetch_add(1, std::memory_order_relaxed);
    if (run >= runs_.size()) return no_run;
    const std::size_t begin = run * run_hits;
    const std::size_t count = std::min(run_hits, ids_.size() - begin);
    scratch.offsets.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        scratch.offsets[i] = files_.record_offsets(ids_[begin + i]);
    }
    gather_run(runs_[run], scratch.offsets, count, scratch.spill);
    mark_done(run);
    return run;
}

void HitTexts::mark_done(std::size_t run) {
    done_[run].store(true, std::memory_order_release);
    done_[run].notify_all();
}

void HitTexts::ensure_gathered(std::size_t run) {
    for (;;) {
        if (failed_.load(std::memory_order_acquire)) std::rethrow_exception(failure_);
        if (done_[run].load(std::memory_order_acquire)) return;
        // Taken by the other thread and not finished: better to gather one nobody has begun
        // than to wait, and to wait only when none is left.
        if (take_run(reader_scratch_) == no_run) done_[run].wait(false, std::memory_order_acquire);
    }
}

std::string_view HitTexts::text(std::size_t hit, std::size_t which) {
    const std::size_t run = hit / run_hits;
    if (run != current_) {
        if (done_) ensure_gathered(run);
        current_ = run;
    }
    const Run& r = runs_[run];
    const Span span = r.spans[2 * (hit % run_hits) + which];
    return std::string_view(r.texts).substr(span.at, span.size);
}

}  // namespace vesko::engine
