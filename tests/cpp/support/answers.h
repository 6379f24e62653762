// Search answers of a Store as plain vectors, in the order Python receives them, for C++
// callers that build no Python objects (the C++ tests, the fuzz targets and the engine's
// thread benchmark). Not part of the library.
#pragma once

#include "engine/store.h"

#include <optional>
#include <string>
#include <vector>

namespace vesko::engine {

struct TextHit {
    std::string ext_id;
    float dist_m = 0.0f;  // 0 for box and polygon answers
    std::string metadata;
};

inline DistanceHitsReader collect_distance_hits(std::vector<TextHit>& out) {
    return [&out](std::span<const spatial::DistanceHit> hits, HitTexts& texts) {
        out.assign(hits.size(), TextHit{});
        texts.for_each_ready_run([&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                out[hits[i].place] = TextHit{std::string(texts.ext_id(i)), hits[i].dist_m,
                                             std::string(texts.metadata(i))};
            }
        });
    };
}

inline HitsReader collect_hits(std::vector<TextHit>& out) {
    return [&out](std::span<const std::uint32_t> int_ids, HitTexts& texts) {
        out.assign(int_ids.size(), TextHit{});
        texts.for_each_ready_run([&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                out[i] =
                    TextHit{std::string(texts.ext_id(i)), 0.0f, std::string(texts.metadata(i))};
            }
        });
    };
}

inline Result<std::vector<TextHit>> radius_answer(const Store& store, float lat_deg, float lon_deg,
                                                  float radius_m,
                                                  const std::optional<std::string>& filter_json) {
    std::vector<TextHit> out;
    VESKO_TRY(
        store.search_radius(lat_deg, lon_deg, radius_m, filter_json, collect_distance_hits(out)));
    return out;
}

inline Result<std::vector<TextHit>> knn_answer(const Store& store, float lat_deg, float lon_deg,
                                               std::uint32_t k,
                                               const std::optional<std::string>& filter_json) {
    std::vector<TextHit> out;
    VESKO_TRY(store.search_knn(lat_deg, lon_deg, k, filter_json, collect_distance_hits(out)));
    return out;
}

inline Result<std::vector<TextHit>> box_answer(const Store& store, spatial::LatLon top_left,
                                               spatial::LatLon bottom_right,
                                               const std::optional<std::string>& filter_json) {
    std::vector<TextHit> out;
    VESKO_TRY(store.search_box(top_left, bottom_right, filter_json, collect_hits(out)));
    return out;
}

inline Result<std::vector<TextHit>> polygon_answer(const Store& store,
                                                   const std::vector<spatial::LatLon>& polygon,
                                                   const std::optional<std::string>& filter_json) {
    std::vector<TextHit> out;
    VESKO_TRY(store.search_polygon(polygon, filter_json, collect_hits(out)));
    return out;
}

}  // namespace vesko::engine
