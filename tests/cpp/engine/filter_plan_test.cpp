// Every plan the planners can choose gives the brute-force answer: random filters (equalities,
// ranges, "$ne", "$in", "$nin", "$not", nested "$and"/"$or") with random radii and boxes over
// a random store -- numbers and strings in one field, booleans, nulls, arrays, nested objects,
// skipped fields, deleted and replaced points -- run with each window plan and each way of
// comparing numbers forced in turn, and with the cost models choosing. The brute force reads
// each point's metadata as the language defines it, knowing nothing of the indexes.
#include "engine/store.h"
#include "index/forced_plan.h"
#include "index/numeric_bsi.h"
#include "spatial/distance.h"
#include "tests/cpp/support/answers.h"
#include "tests/cpp/test_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace vesko::engine {
namespace {

using text::Json;
namespace plan = index::plan;

struct ModelPoint {
    std::string ext_id;
    float lat;
    float lon;
    Json meta;
    bool skip_r;  // "r" left out of the indexes
    bool live;
};

// "p" followed by the number (built by appending: gcc 12 warns falsely on "p" + string).
std::string point_id(long n) {
    std::string id = "p";
    id += std::to_string(n);
    return id;
}

// The language read point by point (the filter's meaning for one point).
class Model {
  public:
    std::vector<ModelPoint> points;  // by internal id
    std::set<std::string> ever_numeric;

    bool matches(const Json& f, const ModelPoint& p) const {
        if (!f.is_object()) return false;
        if (auto it = f.find("$and"); it != f.end() && it->is_array()) {
            return std::all_of(it->begin(), it->end(),
                               [&](const Json& e) { return matches(e, p); });
        }
        if (auto it = f.find("$or"); it != f.end() && it->is_array()) {
            return std::any_of(it->begin(), it->end(),
                               [&](const Json& e) { return matches(e, p); });
        }
        if (auto it = f.find("$not"); it != f.end()) return !matches(*it, p);
        for (const auto& [field, condition] : f.items()) {
            if (!field.empty() && field[0] == '$') continue;
            if (!holds(field, condition, p)) return false;
        }
        return true;
    }

  private:
    const Json* indexed(const std::string& field, const ModelPoint& p) const {
        if (field == "r" && p.skip_r) return nullptr;
        auto it = p.meta.find(field);
        return it == p.meta.end() ? nullptr : &*it;
    }

    bool holds(const std::string& field, const Json& c, const ModelPoint& p) const {
        if (c.is_string() || c.is_boolean()) return str_eq(field, c, p);
        if (c.is_number()) return compare(field, "$eq", c, p);
        if (!c.is_object()) return false;
        for (const auto& [op, operand] : c.items()) {
            if (!holds_op(field, op, operand, p)) return false;
        }
        return true;
    }

    bool holds_op(const std::string& field, const std::string& op, const Json& x,
                  const ModelPoint& p) const {
        const bool comparison = op == "$eq" || op == "$ne" || op == "$gt" || op == "$gte" ||
                                op == "$lt" || op == "$lte";
        if (x.is_number() && comparison) return compare(field, op, x, p);
        if (op == "$eq") return str_eq(field, x, p);
        if (op == "$ne") return !str_eq(field, x, p);
        const bool any = x.is_array() && std::any_of(x.begin(), x.end(), [&](const Json& e) {
                             return holds(field, e, p);
                         });
        if (op == "$in") return any;
        if (op == "$nin") return !any;
        return false;
    }

    bool str_eq(const std::string& field, const Json& v, const ModelPoint& p) const {
        if (!v.is_string() && !v.is_boolean()) return false;
        const std::string t =
            v.is_string() ? v.get<std::string>() : (v.get<bool>() ? "true" : "false");
        if (field == "_id" || field == "id") return p.ext_id == t;
        const Json* mine = indexed(field, p);
        if (mine == nullptr) return false;
        if (mine->is_string()) return mine->get<std::string>() == t;
        return mine->is_boolean() && (mine->get<bool>() ? "true" : "false") == t;
    }

    bool compare(const std::string& field, const std::string& op, const Json& x,
                 const ModelPoint& p) const {
        if (ever_numeric.count(field) == 0) return false;
        const std::uint32_t bound = index::sortable_bits(text::json_number_as_f32(x));
        const Json* mine = indexed(field, p);
        const bool has = mine != nullptr && mine->is_number();
        const std::uint32_t code = has ? index::sortable_bits(text::json_number_as_f32(*mine)) : 0;
        if (op == "$ne") return !(has && code == bound);
        if (!has) return false;
        if (op == "$eq") return code == bound;
        if (op == "$gt") return code > bound;
        if (op == "$gte") return code >= bound;
        if (op == "$lt") return code < bound;
        return code <= bound;
    }
};

class FilterPlanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fresh_test_dir("vesko-plans-");
        auto opened = Store::open(dir_.string());
        ASSERT_TRUE(opened);
        store_ = std::move(*opened);
    }
    void TearDown() override {
        plan::forced_comparison.reset();
        plan::forced_window.reset();
        plan::forced_walk.reset();
        store_.reset();
        std::filesystem::remove_all(dir_);
    }

    Json random_meta(std::mt19937& rng) {
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        Json m = Json::object();
        const char* cats[] = {"a", "b", "c", "true"};
        switch (pick(8)) {
            case 0:
                m["c"] = pick(3);
                break;  // a number where strings are usual
            case 1:
                break;
            default:
                m["c"] = cats[pick(pick(2) == 0 ? 4 : 2)];
        }
        switch (pick(10)) {
            case 0:
                m["r"] = "3.5";
                break;
            case 1:
                break;
            case 2:
                m["r"] = pick(6);
                break;
            default:
                m["r"] = pick(51) / 10.0;
        }
        switch (pick(6)) {
            case 0:
                m["t"] = true;
                break;
            case 1:
                m["t"] = nullptr;
                break;
            case 2:
                m["t"] = Json::array({"a", 1});
                break;
            case 3:
                m["t"] = Json{{"k", "a"}};
                break;
            default:
                break;
        }
        return m;
    }

    Json random_filter(std::mt19937& rng, int depth) {
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        auto number = [&] { return pick(4) == 0 ? Json(pick(6)) : Json(pick(51) / 10.0); };
        auto text = [&] { return Json(std::string(1, static_cast<char>('a' + pick(4)))); };
        if (depth > 0 && pick(3) == 0) {
            Json parts = Json::array();
            for (int i = pick(3) + 1; i > 0; --i) parts.push_back(random_filter(rng, depth - 1));
            switch (pick(3)) {
                case 0:
                    return Json{{"$and", parts}};
                case 1:
                    return Json{{"$or", parts}};
                default:
                    return Json{{"$not", parts[0]}};
            }
        }
        const char* ops[] = {"$gt", "$gte", "$lt", "$lte", "$eq", "$ne"};
        switch (pick(9)) {
            case 0:
                return Json{{"c", text()}};
            case 1:
                return Json{{"r", {{ops[pick(6)], number()}}}};
            case 2:
                return Json{{"r", {{"$gte", number()}, {"$lt", number()}}}};
            case 3:
                return Json{{"c", {{"$ne", text()}}}};
            case 4:
                return Json{{"c", {{"$in", {text(), pick(3)}}}}};
            case 5:
                return Json{{"c", {{"$nin", {text(), {{"$gt", 0.5}}}}}}};
            case 6:
                return Json{{"r", number()}, {"t", true}};
            case 7:
                return Json{{"c", text()}, {"r", {{ops[pick(6)], number()}}}};
            default:
                return Json{{"id", point_id(pick(400))}};
        }
    }

    std::filesystem::path dir_;
    std::unique_ptr<Store> store_;
};

std::vector<std::string> ids_of(const std::vector<TextHit>& hits) {
    std::vector<std::string> out;
    for (const TextHit& h : hits) out.push_back(h.ext_id);
    return out;
}

TEST_F(FilterPlanTest, EveryPlanGivesTheBruteForceAnswer) {
    std::mt19937 rng(20261209);
    auto uniform = [&](float lo, float hi) {
        return std::uniform_real_distribution<float>(lo, hi)(rng);
    };
    Model model;
    const std::vector<std::string> skip_r = {"r"};
    auto add = [&](const std::string& ext_id, bool replacing) {
        const float lat = uniform(45.0f, 45.4f);
        const float lon = rng() % 8 == 0 ? uniform(100.0f, 120.0f) : uniform(7.0f, 7.4f);
        const Json meta = random_meta(rng);
        const bool skip = rng() % 7 == 0;
        const auto* skip_list = skip ? &skip_r : nullptr;
        if (replacing) {
            ASSERT_TRUE(store_->upsert(ext_id, lat, lon, meta.dump(), skip_list));
            for (ModelPoint& p : model.points) {
                if (p.ext_id == ext_id) p.live = false;
            }
        } else {
            ASSERT_TRUE(store_->add(ext_id, lat, lon, meta.dump(), skip_list));
        }
        model.points.push_back({ext_id, lat, lon, meta, skip, true});
        for (const auto& [field, value] : meta.items()) {
            if (value.is_number() && !(field == "r" && skip)) model.ever_numeric.insert(field);
        }
    };
    for (int n = 0; n < 3000; ++n) add(point_id(n), false);
    for (int n = 0; n < 300; ++n) {
        const std::string ext_id = point_id(static_cast<long>(rng() % 3000));
        if (rng() % 2 == 0) {
            add(ext_id, true);
        } else {
            ASSERT_TRUE(store_->remove(ext_id));
            for (ModelPoint& p : model.points) {
                if (p.ext_id == ext_id) p.live = false;
            }
        }
    }

    const std::optional<plan::Window> windows[] = {std::nullopt, plan::Window::CellsFirst,
                                                   plan::Window::FilterFirst,
                                                   plan::Window::CodesFirst};
    const std::optional<plan::Comparison> comparisons[] = {std::nullopt, plan::Comparison::PerId,
                                                           plan::Comparison::Slices};
    const std::optional<plan::Walk> walks[] = {std::nullopt, plan::Walk::Narrowing,
                                               plan::Walk::Whole};
    for (int round = 0; round < 60; ++round) {
        const Json filter = random_filter(rng, 3);
        const std::string text = filter.dump();
        SCOPED_TRACE(text);
        const float lat = uniform(44.95f, 45.45f);
        const float lon = uniform(6.95f, 7.45f);
        const float radius = std::pow(10.0f, uniform(2.0f, 4.7f));
        const float half = uniform(0.001f, 0.3f);
        const float cos_q = spatial::query_cos(lat);
        struct Near {
            float d;
            std::size_t int_id;
        };
        std::vector<Near> near;
        std::vector<std::string> in_box;
        for (std::size_t i = 0; i < model.points.size(); ++i) {
            const ModelPoint& p = model.points[i];
            if (!p.live || !model.matches(filter, p)) continue;
            const float d = spatial::haversine_distance(lat, lon, cos_q, p.lat, p.lon);
            if (d <= radius) near.push_back({d, i});
            if (p.lat >= lat - half && p.lat <= lat + half && p.lon >= lon - half &&
                p.lon <= lon + half) {
                in_box.push_back(p.ext_id);
            }
        }
        std::stable_sort(near.begin(), near.end(),
                         [](const Near& a, const Near& b) { return a.d < b.d; });
        std::vector<std::string> in_radius;
        for (const Near& n : near) in_radius.push_back(model.points[n.int_id].ext_id);

        const std::uint32_t k = 1 + static_cast<std::uint32_t>(rng() % 40);
        std::vector<Near> eligible;  // every match, nearest first (ties by internal id)
        for (std::size_t i = 0; i < model.points.size(); ++i) {
            const ModelPoint& p = model.points[i];
            if (p.live && model.matches(filter, p))
                eligible.push_back({spatial::haversine_distance(lat, lon, cos_q, p.lat, p.lon), i});
        }
        std::stable_sort(eligible.begin(), eligible.end(),
                         [](const Near& a, const Near& b) { return a.d < b.d; });
        std::vector<std::string> nearest;
        for (std::size_t i = 0; i < std::min<std::size_t>(k, eligible.size()); ++i)
            nearest.push_back(model.points[eligible[i].int_id].ext_id);

        for (const auto& comparison : comparisons) {
            plan::forced_comparison = comparison;
            for (const auto& window : windows) {
                plan::forced_window = window;
                SCOPED_TRACE(::testing::Message()
                             << "comparison plan " << (comparison ? int(*comparison) : -1)
                             << ", window plan " << (window ? int(*window) : -1));
                auto radius_hits = radius_answer(*store_, lat, lon, radius, text);
                ASSERT_TRUE(radius_hits);
                EXPECT_EQ(ids_of(*radius_hits), in_radius);
                auto box_hits =
                    box_answer(*store_, {lat + half, lon - half}, {lat - half, lon + half}, text);
                ASSERT_TRUE(box_hits);
                EXPECT_EQ(ids_of(*box_hits), in_box);
            }
            for (const auto& walk : walks) {
                plan::forced_walk = walk;
                SCOPED_TRACE(::testing::Message()
                             << "comparison plan " << (comparison ? int(*comparison) : -1)
                             << ", walk plan " << (walk ? int(*walk) : -1) << ", k " << k);
                auto knn_hits = knn_answer(*store_, lat, lon, k, text);
                ASSERT_TRUE(knn_hits);
                EXPECT_EQ(ids_of(*knn_hits), nearest);
            }
            auto exists = store_->exists(text);
            ASSERT_TRUE(exists);
            EXPECT_EQ(*exists, !eligible.empty());
        }
    }
}

}  // namespace
}  // namespace vesko::engine
