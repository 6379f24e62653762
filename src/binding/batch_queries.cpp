#include "binding/batch_queries.h"

#include "common/shared_parts.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

namespace vesko::binding {

namespace {

// Enough centres that a part's work dwarfs handing it over, few enough that the two threads
// finish close together.
constexpr std::size_t part_queries = 256;

struct Part {
    ColumnBatch batch;
    std::optional<Error> error;  // the part stops at its first failed search
};

}  // namespace

Result<std::shared_ptr<ColumnAnswer>> answer_many(std::size_t queries, const CentreSearch& search,
                                                  Interrupt& interrupt) {
    const std::size_t parts = (queries + part_queries - 1) / part_queries;
    SharedParts<Part> shared(
        parts,
        [&](std::size_t part, Part& out) {
            const std::size_t end = std::min(queries, (part + 1) * part_queries);
            for (std::size_t query = part * part_queries; query < end; ++query) {
                if (interrupt.requested()) {
                    out.error =
                        make_error(ErrorKind::Interrupted, "batch query interrupted: no answer");
                    return;
                }
                auto done = search(query, out.batch);
                if (!done) {
                    out.error = done.error();
                    return;
                }
                out.batch.query.resize(out.batch.rows, static_cast<std::int32_t>(query));
            }
        },
        SharedParts<Part>::HelperStart::Back);
    auto answer = std::make_shared<ColumnAnswer>();
    answer->kinds = ColumnKinds{true, true};
    ColumnBatch& batch = answer->batches.emplace_back();
    for (std::size_t part = 0; part < parts; ++part) {
        const Part& got = shared.get(part);
        if (got.error) return *got.error;
        append_batch(batch, got.batch);
    }
    answer->seal();
    return answer;
}

}  // namespace vesko::binding
