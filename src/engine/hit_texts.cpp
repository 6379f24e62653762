#include "engine/hit_texts.h"

#include "common/utf8.h"

#include <algorithm>

namespace vesko::engine {

HitTexts::~HitTexts() = default;

void HitTexts::gather_all(std::span<const storage::DataFiles::RecordOffsets> offsets) {
    runs_.resize((offsets.size() + run_hits - 1) / run_hits);
    for (std::size_t run = 0; run < runs_.size(); ++run) {
        const std::size_t begin = run * run_hits;
        gather_run(runs_[run], offsets.subspan(begin), std::min(run_hits, offsets.size() - begin));
    }
}

void HitTexts::share_out() {
    shared_.emplace((ids_.size() + run_hits - 1) / run_hits,
                    [this](std::size_t run, Run& out) { gather_shared_run(run, out); },
                    SharedParts<Run>::HelperStart::Front);
    // One run here, without the interpreter lock, while the helper starts. It is the last
    // one, since the helper starts from the front.
    first_ready_ = shared_->next_ready();
}

void HitTexts::gather_shared_run(std::size_t run, Run& out) const {
    const std::size_t begin = run * run_hits;
    const std::size_t count = std::min(run_hits, ids_.size() - begin);
    std::vector<storage::DataFiles::RecordOffsets> offsets(count);
    for (std::size_t i = 0; i < count; ++i) offsets[i] = files_.record_offsets(ids_[begin + i]);
    gather_run(out, offsets, count);
}

void HitTexts::gather_run(Run& out, std::span<const storage::DataFiles::RecordOffsets> offsets,
                          std::size_t count) const {
    std::string spill;
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
    out.ascii = is_ascii(out.texts);
}

const HitTexts::Run& HitTexts::run_of(std::size_t hit) {
    const std::size_t run = hit / run_hits;
    if (run != current_) {
        current_run_ = shared_ ? &shared_->get(run) : &runs_[run];
        current_ = run;
    }
    return *current_run_;
}

std::string_view HitTexts::text(std::size_t hit, std::size_t which) {
    const Run& run = run_of(hit);
    const Span span = run.spans[2 * (hit % run_hits) + which];
    return std::string_view(run.texts).substr(span.at, span.size);
}

}  // namespace vesko::engine
