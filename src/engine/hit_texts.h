// How a search's answer leaves the engine: hits as internal ids, handed to the caller's reader
// while the index lock is still held shared, with their external ids and metadata gathered
// from the mapped bytes of ids.bin and meta.bin. The reader builds whatever it needs from the
// views before it returns.
#pragma once

#include "common/shared_parts.h"
#include "spatial/search.h"
#include "storage/data_files.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesko::engine {

// Texts of the hits of one answer, by the hit's index in it. The reader builds objects with the
// interpreter lock held, and the loads that miss the processor's caches (two slots, then two
// records, of each hit, scattered over the files) are the largest part of an answer's cost, so
// they happen apart from it: the record offsets of a run of hits are read from the slot files
// in one pass (independent loads the processor overlaps), then each record, with the records
// of hits further on already asked for, is checked and copied into that run's buffer. The
// reader reads the texts front to back from memory the caches hold.
//
// A small answer is gathered whole before the reader runs, by the searching thread, which
// holds no interpreter lock then. A large one is shared out run by run (SharedParts): a helper
// thread gathers runs from the front, the searching thread gathers the last one meanwhile, and
// a reader that takes runs as they become ready (for_each_ready_run) gathers one itself from
// the back whenever the helper has none ready, instead of waiting for it. The reader's work
// and the gathering's waits on memory then overlap instead of adding up. Either way a text
// handed out is final, and the helper holds no run once the object is destroyed, before the
// index lock is let go.
class HitTexts {
  public:
    template <class Hit, class IdOf>
    HitTexts(const storage::DataFiles& files, std::span<const Hit> hits, IdOf id_of)
        : files_(files), size_(hits.size()) {
        if (hits.size() >= shared_min_hits) {
            ids_.reserve(hits.size());
            for (const Hit& h : hits) ids_.push_back(id_of(h));
            share_out();
        } else {
            std::vector<storage::DataFiles::RecordOffsets> offsets;
            offsets.reserve(hits.size());
            for (const Hit& h : hits) offsets.push_back(files.record_offsets(id_of(h)));
            gather_all(offsets);
        }
    }
    HitTexts(const HitTexts&) = delete;
    HitTexts& operator=(const HitTexts&) = delete;
    ~HitTexts();

    // "" when the record cannot be read back. May gather the hit's run.
    std::string_view ext_id(std::size_t hit) { return text(hit, 0); }
    // "{}" when the record cannot be read back.
    std::string_view metadata(std::size_t hit) { return text(hit, 1); }
    // The stored coordinates of the point in slot int_id (a hit's), read from the mapped
    // coords.bin as the texts are, under the same lock.
    std::pair<float, float> coords(std::uint32_t int_id) const { return files_.coords(int_id); }
    // True when the hit's texts are plain ASCII (checked by whoever gathered them, for its whole
    // run at once), so the reader may copy them as they are instead of decoding them.
    bool ascii(std::size_t hit) { return run_of(hit).ascii; }

    // Calls read(begin, end) for runs of hits that together cover every hit once, each run once
    // its texts are ready, in whatever order that happens: with a large answer, the runs the
    // helper has gathered come first, and while it has none ready the caller gathers one
    // itself rather than wait. Within a call the texts of hits [begin, end) are at hand.
    template <class Read>
    void for_each_ready_run(Read&& read) {
        if (!shared_) {
            for (std::size_t begin = 0; begin < size_; begin += run_hits) {
                read(begin, std::min(size_, begin + run_hits));
            }
            return;
        }
        for (auto ready = std::exchange(first_ready_, std::nullopt); ready;
             ready = shared_->next_ready()) {
            current_ = ready->first;
            current_run_ = ready->second;
            const std::size_t begin = current_ * run_hits;
            read(begin, std::min(size_, begin + run_hits));
        }
    }

    // True when every text is in this object's own buffers (a small answer, gathered whole
    // before the reader runs): reading them needs neither the files nor the index lock.
    bool gathered() const { return !shared_; }

    // Answers of at least this many hits are shared out: below it, waking the helper costs
    // more than the overlap wins.
    static constexpr std::size_t shared_min_hits = 2048;

  private:
    // Far enough ahead to keep the memory system busy with the two or three cache lines of
    // each hit's records: at 16 the loop still waited on loads for answers of thousands.
    static constexpr std::size_t prefetch_distance = 32;
    static constexpr std::size_t run_hits = 512;
    static constexpr std::size_t typical_texts_bytes = 96;
    static constexpr std::size_t no_run = ~std::size_t{0};

    struct Span {
        std::size_t at;
        std::size_t size;
    };
    // The texts of hits [r * run_hits, (r + 1) * run_hits): ext_id then metadata of each.
    struct Run {
        std::vector<Span> spans;
        std::string texts;
        bool ascii = false;  // every byte of texts
    };

    void gather_all(std::span<const storage::DataFiles::RecordOffsets> offsets);
    void share_out();
    // Copies `count` records into `out`, asking for those up to offsets.size() ahead of time.
    void gather_run(Run& out, std::span<const storage::DataFiles::RecordOffsets> offsets,
                    std::size_t count) const;
    // Run r of a shared-out answer, from its ids; safe on two threads at once.
    void gather_shared_run(std::size_t run, Run& out) const;
    std::string_view text(std::size_t hit, std::size_t which);
    const Run& run_of(std::size_t hit);

    const storage::DataFiles& files_;
    std::size_t size_ = 0;            // hits in the answer
    std::vector<std::uint32_t> ids_;  // a shared-out answer's
    std::vector<Run> runs_;           // a small answer's
    std::optional<SharedParts<Run>> shared_;
    // The run gathered while the helper starts, before the reader is called.
    std::optional<std::pair<std::size_t, const Run*>> first_ready_;
    std::size_t current_ = no_run;  // the reader's run
    const Run* current_run_ = nullptr;
};

// Hits of search_radius and search_knn, ascending by id, each with its place in the answer;
// texts are asked for by the hit's index in the span.
using DistanceHitsReader = std::function<void(std::span<const spatial::DistanceHit>, HitTexts&)>;
// Hits of search_box and search_polygon, ascending by id, which is the answer's order.
using HitsReader = std::function<void(std::span<const std::uint32_t>, HitTexts&)>;

}  // namespace vesko::engine
