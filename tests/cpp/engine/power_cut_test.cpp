// Power lost inside calls: every write, length change, rename and flush the store makes is
// recorded through the fault hook, and a crash image is what a disk may hold after a power
// loss that follows any one of them. Per file, what was written since its last flush is lost,
// kept, zero-filled beyond the flushed length, or kept only up to a page boundary; directory
// entries changed since the directory's last flush stay or are undone. Writes through a
// mapping are seen only when msync forces them, so an image holds none of the unforced ones.
// Each image is opened and held id by id against the model: what the last returned sync(),
// persist() or vacuum() acknowledged is there, nothing else is invented, and every later
// change is there or not. VESKO_POWER_CUT_IMAGES sets how many images (a small number by
// default), VESKO_POWER_CUT_SEED the workload and the images' choices.
#include "engine/store.h"
#include "storage/fault_hook.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace vesko::engine {
namespace {

namespace fs = std::filesystem;
namespace fault = storage::fault;
using Event = fault::Event;

struct Point {
    float lat_deg;
    float lon_deg;
    std::string meta;
    bool operator==(const Point&) const = default;
};
using Model = std::map<std::string, Point>;

// The state after a call returned, and the event count at that moment.
struct Step {
    std::size_t events_end;
    Model model;
    bool durable;  // sync, persist or vacuum returned
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The files of one directory as the events left them, on disk (flushed) and in the cache.
class DiskModel {
  public:
    DiskModel(std::string dir, const std::map<std::string, std::string>& files)
        : dir_(std::move(dir)) {
        for (const auto& [name, bytes] : files) {
            const int node = new_node(bytes);
            nodes_[node].durable = bytes;
            names_[name] = node;
        }
        durable_names_ = names_;
    }

    void apply(const Event& e) {
        const std::string name = name_of(e.path);
        switch (e.kind) {
            case Event::Kind::Write: {
                // The images are small files in memory: their offsets fit a size_t.
                File& f = nodes_[node_of(name)];
                const auto at = static_cast<std::size_t>(e.offset);
                if (f.current.size() < at + e.bytes.size()) f.current.resize(at + e.bytes.size());
                f.current.replace(at, e.bytes.size(), e.bytes);
                break;
            }
            case Event::Kind::Resize:
                nodes_[node_of(name)].current.resize(static_cast<std::size_t>(e.offset));
                break;
            case Event::Kind::Grow: {
                File& f = nodes_[node_of(name)];
                const auto length = static_cast<std::size_t>(e.offset);
                if (f.current.size() < length) f.current.resize(length);
                break;
            }
            case Event::Kind::Sync:
                if (e.path == dir_) {
                    durable_names_ = names_;
                } else if (names_.count(name) != 0) {
                    nodes_[names_[name]].durable = nodes_[names_[name]].current;
                }
                break;
            case Event::Kind::Rename: {
                const int node = node_of(name);
                names_.erase(name);
                names_[name_of(e.to)] = node;
                break;
            }
            case Event::Kind::Unlink:
                names_.erase(name);
                break;
        }
    }

    // One crash image, written into `out` (emptied first).
    void write_image(const fs::path& out, std::mt19937& rng) const {
        fs::remove_all(out);
        fs::create_directories(out);
        const auto& names = names_ == durable_names_ || rng() % 2 == 0 ? names_ : durable_names_;
        for (const auto& [name, node] : names) {
            const File& f = nodes_.at(node);
            std::string bytes;
            switch (rng() % 4) {
                case 0:  // nothing since the last flush reached the disk
                    bytes = f.durable;
                    break;
                case 1:  // everything did
                    bytes = f.current;
                    break;
                case 2:  // the new blocks were allocated but never written
                    bytes = f.current;
                    for (std::size_t i = f.durable.size(); i < bytes.size(); ++i) bytes[i] = 0;
                    for (std::size_t i = 0; i < std::min(f.durable.size(), bytes.size()); ++i)
                        bytes[i] = f.durable[i] == f.current[i] ? bytes[i] : f.durable[i];
                    break;
                default: {  // the pages from the flushed length on, up to some page, did
                    bytes = f.durable;
                    const std::size_t page = 4096;
                    const std::size_t from = f.durable.size() / page * page;
                    const std::size_t pages =
                        f.current.size() > from ? (f.current.size() - from) / page + 1 : 0;
                    const std::size_t upto =
                        std::min(f.current.size(), from + page * (rng() % (pages + 1)));
                    if (bytes.size() < upto) bytes.resize(upto);
                    for (std::size_t i = from; i < upto; ++i) bytes[i] = f.current[i];
                    break;
                }
            }
            write_file(out / name, bytes);
        }
    }

  private:
    struct File {
        std::string durable;
        std::string current;
    };

    int new_node(std::string bytes) {
        const int node = static_cast<int>(nodes_.size());
        nodes_[node] = File{std::string(), std::move(bytes)};
        return node;
    }
    int node_of(const std::string& name) {
        auto it = names_.find(name);
        if (it != names_.end()) return it->second;
        const int node = new_node(std::string());
        names_[name] = node;
        return node;
    }
    std::string name_of(const std::string& path) const {
        return fs::path(path).filename().string();
    }

    std::string dir_;
    std::map<int, File> nodes_;
    std::map<std::string, int> names_;          // the directory as the cache holds it
    std::map<std::string, int> durable_names_;  // as its last flush left it
};

std::map<std::string, std::string> files_of(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::directory_iterator(dir))
        out[entry.path().filename().string()] = read_file(entry.path());
    return out;
}

struct Tally {
    std::size_t images = 0;
    std::size_t invented = 0;     // a point no call wrote, or a version never held
    std::size_t synced_lost = 0;  // an acknowledged version missing
    std::size_t refused = 0;      // the open or the following persist failed
    std::size_t crashed = 0;      // an internal failure
    std::string first_fault;
};

TEST(PowerCut, EveryImageInsideCallsHoldsWhatWasSyncedAndInventsNothing) {
    const char* wanted = std::getenv("VESKO_POWER_CUT_IMAGES");
    const std::size_t images = wanted != nullptr ? std::stoul(wanted) : 120;
    const fs::path root = fs::canonical(fs::temp_directory_path()) / "vesko-power-cut";
    fs::remove_all(root);
    const fs::path dir = root / "store";
    const char* seed = std::getenv("VESKO_POWER_CUT_SEED");
    std::mt19937 rng(seed != nullptr ? static_cast<std::uint32_t>(std::stoul(seed)) : 1U);
    constexpr int universe = 60;
    // Built by append: GCC 12 warns falsely (-Wrestrict) on chains of operator+.
    auto id_of = [](int i) { return std::string("p").append(std::to_string(i)); };
    auto point_of = [&](int i) {
        std::string meta = "{\"n\":";
        meta.append(std::to_string(i)).append(",\"v\":").append(std::to_string(rng() % 1000));
        meta.append("}");
        return Point{static_cast<float>(rng() % 170) - 85.0f,
                     static_cast<float>(rng() % 350) - 175.0f, meta};
    };

    Model model;
    std::vector<Step> steps;
    std::map<std::string, std::string> base;
    {
        auto opened = Store::open(dir.string());
        ASSERT_TRUE(opened);
        Store& store = **opened;
        for (int i = 0; i < 20; ++i) {
            const Point p = point_of(i);
            ASSERT_TRUE(store.add(id_of(i), p.lat_deg, p.lon_deg, p.meta, nullptr));
            model[id_of(i)] = p;
        }
        ASSERT_TRUE(store.persist());
        ASSERT_TRUE(store.sync());
        base = files_of(dir);
        steps.push_back(Step{0, model, true});
        fault::start_recording();
        const char* schedule = "aaumbsaauprbsaamdsvaumbpaudsamrbvs";
        for (int round = 0; round < 2; ++round) {
            for (const char* op = schedule; *op != '\0'; ++op) {
                const int i = static_cast<int>(rng() % universe);
                const Point p = point_of(i);
                bool durable = false;
                switch (*op) {
                    case 'a':
                        ASSERT_TRUE(store.add(id_of(i), p.lat_deg, p.lon_deg, p.meta, nullptr));
                        model.emplace(id_of(i), p);
                        break;
                    case 'u':
                        ASSERT_TRUE(store.upsert(id_of(i), p.lat_deg, p.lon_deg, p.meta, nullptr));
                        model[id_of(i)] = p;
                        break;
                    case 'r':
                    case 'd':
                        ASSERT_TRUE(store.remove(id_of(i)));
                        model.erase(id_of(i));
                        break;
                    case 'm':
                    case 'b': {
                        std::vector<std::string> ids;
                        std::vector<Point> points;
                        for (int k = 0; k < 12; ++k) {
                            const int j = static_cast<int>(rng() % universe);
                            ids.push_back(id_of(j));
                            points.push_back(point_of(j));
                        }
                        std::vector<NewPoint> batch;
                        for (std::size_t k = 0; k < ids.size(); ++k)
                            batch.push_back(NewPoint{ids[k], points[k].lat_deg, points[k].lon_deg,
                                                     points[k].meta});
                        ASSERT_TRUE(store.add_many(batch, nullptr));
                        for (std::size_t k = 0; k < ids.size(); ++k)
                            model.emplace(ids[k], points[k]);
                        break;
                    }
                    case 's':
                        ASSERT_TRUE(store.sync());
                        durable = true;
                        break;
                    case 'p':
                        ASSERT_TRUE(store.persist());
                        durable = true;
                        break;
                    case 'v':
                        ASSERT_TRUE(store.vacuum());
                        durable = true;
                        break;
                }
                steps.push_back(Step{fault::recorded(), model, durable});
            }
        }
        store.close();
    }
    const std::vector<Event> events = fault::stop_recording();
    ASSERT_GT(events.size(), 100U);
    if (std::getenv("VESKO_POWER_CUT_DUMP") != nullptr) {
        for (std::size_t e = 0; e < events.size(); ++e)
            std::printf("%zu kind %d %s %llu %zu %s\n", e, static_cast<int>(events[e].kind),
                        events[e].path.c_str(), static_cast<unsigned long long>(events[e].offset),
                        events[e].bytes.size(), events[e].to.c_str());
    }

    Tally tally;
    const fs::path image = root / "image";
    for (std::size_t n = 0; n < images; ++n) {
        const std::size_t cut = n * (events.size() + 1) / images;  // events before the loss
        DiskModel disk(dir.string(), base);
        for (std::size_t e = 0; e < cut; ++e) disk.apply(events[e]);
        disk.write_image(image, rng);
        // What the image must hold: the last acknowledged state, or for each id a version
        // it held from then until the call under way at the loss returned.
        std::size_t acked = 0;
        std::size_t last = 0;
        for (std::size_t s = 0; s < steps.size(); ++s) {
            if (steps[s].events_end <= cut && steps[s].durable) acked = s;
            if (steps[s].events_end < cut) last = s + 1;
        }
        last = std::min(last, steps.size() - 1);
        ++tally.images;
        auto fault_at = [&](std::size_t& counter, const std::string& what) {
            ++counter;
            if (tally.first_fault.empty())
                tally.first_fault.append("image ")
                    .append(std::to_string(n))
                    .append(" (cut after event ")
                    .append(std::to_string(cut))
                    .append("): ")
                    .append(what);
        };
        try {
            auto opened = Store::open(image.string());
            if (!opened) {
                fault_at(tally.refused, opened.error().message);
                continue;
            }
            Store& store = **opened;
            std::uint64_t present = 0;
            bool invented = false;
            bool lost = false;
            for (int i = 0; i < universe; ++i) {
                auto got = store.get(id_of(i));
                ASSERT_TRUE(got);
                std::optional<Point> seen;
                if (*got) {
                    ++present;
                    seen = Point{(*got)->lat_deg, (*got)->lon_deg, (*got)->metadata};
                }
                auto version = [&](const Step& s) -> std::optional<Point> {
                    auto it = s.model.find(id_of(i));
                    return it == s.model.end() ? std::nullopt : std::optional<Point>(it->second);
                };
                bool allowed = version(steps[acked]) == seen;
                for (std::size_t s = acked + 1; s <= last && !allowed; ++s)
                    allowed = version(steps[s]) == seen;
                if (!allowed) (version(steps[acked]) && !seen ? lost : invented) = true;
            }
            auto count = store.count();
            ASSERT_TRUE(count);
            if (*count != present) invented = true;
            if (invented) fault_at(tally.invented, "a point or version never acknowledged");
            if (lost) fault_at(tally.synced_lost, "an acknowledged point is missing");
            if (auto persisted = store.persist(); !persisted)
                fault_at(tally.refused, std::string("persist: ").append(persisted.error().message));
        } catch (const std::exception& e) {
            fault_at(tally.crashed, e.what());
        }
    }
    std::printf(
        "power cut: %zu events, %zu images, %zu invented, %zu synced lost, %zu refused, "
        "%zu crashed\n",
        events.size(), tally.images, tally.invented, tally.synced_lost, tally.refused,
        tally.crashed);
    EXPECT_EQ(tally.invented + tally.synced_lost + tally.refused + tally.crashed, 0U)
        << tally.first_fault;
    fs::remove_all(root);
}

}  // namespace
}  // namespace vesko::engine
