// Every system call of every mutating operation, and of opening, failed in turn through the
// fault hook: afterwards the Store either keeps working or says it must be reopened, and a
// reopen shows exactly the changes that were acknowledged, compared point by point with an
// in-memory model.
#include "common/check.h"
#include "engine/store.h"
#include "storage/fault_hook.h"
#include "tests/cpp/support/answers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <random>
#include <string>
#include <string_view>

namespace vesko::engine {
namespace {

namespace fs = std::filesystem;
namespace fault = storage::fault;
using fault::Call;

struct Point {
    float lat_deg;
    float lon_deg;
    std::string meta;
};
using Model = std::map<std::string, Point>;

// Pieces joined by append: GCC 12 warns falsely (-Wrestrict) on chains of operator+.
std::string joined(std::initializer_list<std::string_view> pieces) {
    std::string out;
    for (std::string_view piece : pieces) out.append(piece);
    return out;
}

std::string point_meta(int i) {
    return joined({R"({"k":")", i % 2 == 0 ? "a" : "b", R"(","n":)", std::to_string(i), "}"});
}

Point point_at(int i) {
    return Point{static_cast<float>(i % 80) + 0.25f, static_cast<float>(i % 170) - 60.5f,
                 point_meta(i)};
}

std::unique_ptr<Store> must_open(const fs::path& dir) {
    auto store = Store::open(dir.string());
    if (!store) ADD_FAILURE() << "open failed: " << store.error().message;
    return store ? std::move(store).value() : nullptr;
}

void add_point(Store& store, Model& model, const std::string& ext_id, const Point& p) {
    ASSERT_TRUE(store.add(ext_id, p.lat_deg, p.lon_deg, p.meta, nullptr));
    model.emplace(ext_id, p);
}

// Every live point read back through the public surface: ids and metadata from a box over the
// whole sphere, coordinates from a zero-radius search at each expected position.
void expect_holds(Store& store, const Model& model) {
    auto count = store.count();
    ASSERT_TRUE(count) << count.error().message;
    EXPECT_EQ(*count, model.size());
    auto all = box_answer(store, {90.0f, -180.0f}, {-90.0f, 180.0f}, std::nullopt);
    ASSERT_TRUE(all);
    std::map<std::string, std::string> got;
    for (const auto& hit : *all) got[hit.ext_id] = hit.metadata;
    std::map<std::string, std::string> want;
    for (const auto& [ext_id, p] : model) want[ext_id] = p.meta;
    EXPECT_EQ(got, want);
    for (const auto& [ext_id, p] : model) {
        auto near = radius_answer(store, p.lat_deg, p.lon_deg, 0.5f, std::nullopt);
        ASSERT_TRUE(near);
        bool found = false;
        for (const auto& hit : *near) found = found || (hit.ext_id == ext_id && hit.dist_m == 0.0f);
        EXPECT_TRUE(found) << ext_id << " is not at its coordinates";
    }
}

// A store with a snapshot and a log on top of it.
Model make_mixed(const fs::path& dir) {
    Model model;
    auto store = must_open(dir);
    for (int i = 0; i < 20; ++i)
        add_point(*store, model, joined({"p", std::to_string(i)}), point_at(i));
    EXPECT_TRUE(store->persist());
    for (int i = 20; i < 30; ++i)
        add_point(*store, model, joined({"p", std::to_string(i)}), point_at(i));
    for (const char* gone : {"p3", "p25"}) {
        EXPECT_TRUE(store->remove(gone));
        model.erase(gone);
    }
    return model;
}

// A persisted store whose slot files are full: the next insertion grows all three.
Model make_full(const fs::path& dir) {
    Model model;
    auto store = must_open(dir);
    const std::uint32_t slots = 100000;
    for (std::uint32_t i = 0; i < slots; ++i) {
        const int n = static_cast<int>(i);
        const Point p = point_at(n);
        EXPECT_TRUE(
            store->add(joined({"p", std::to_string(n)}), p.lat_deg, p.lon_deg, p.meta, nullptr));
    }
    auto deleted = store->delete_by_filter(R"({"n": {"$gte": 12}})");
    EXPECT_TRUE(deleted && *deleted == slots - 12);
    for (int i = 0; i < 12; ++i) model.emplace(joined({"p", std::to_string(i)}), point_at(i));
    EXPECT_TRUE(store->persist());
    return model;
}

struct Operation {
    const char* name;
    // Runs the operation; on success applies it to the model. Returns whether it succeeded.
    std::function<bool(Store&, Model&)> run;
};

const Operation operations[] = {
    {"add",
     [](Store& store, Model& model) {
         const Point p{10.5f, 20.25f, R"({"k":"c","n":99})"};
         if (!store.add("new", p.lat_deg, p.lon_deg, p.meta, nullptr)) return false;
         model.emplace("new", p);
         return true;
     }},
    {"delete",
     [](Store& store, Model& model) {
         if (!store.remove("p5")) return false;
         model.erase("p5");
         return true;
     }},
    {"delete_by_filter",
     [](Store& store, Model& model) {
         auto deleted = store.delete_by_filter(R"({"k": "a"})");
         if (!deleted) return false;
         std::uint64_t expected = 0;
         for (auto it = model.begin(); it != model.end();) {
             const bool match = it->second.meta.find(R"("k":"a")") != std::string::npos;
             expected += match ? 1 : 0;
             it = match ? model.erase(it) : std::next(it);
         }
         EXPECT_EQ(*deleted, expected);
         return true;
     }},
    {"add_many",
     [](Store& store, Model& model) {
         // A live id, a new one given twice, and another new one.
         const std::vector<std::pair<std::string, Point>> batch = {
             {"p1", Point{1.0f, 1.0f, "{}"}},
             {"m1", Point{11.5f, 21.25f, R"({"k":"c","n":98})"}},
             {"m1", Point{12.5f, 22.25f, "{}"}},
             {"m2", Point{-3.5f, 40.0f, R"({"k":"a"})"}}};
         std::vector<NewPoint> points;
         for (const auto& [ext_id, p] : batch)
             points.push_back(NewPoint{ext_id, p.lat_deg, p.lon_deg, p.meta});
         if (!store.add_many(points, nullptr)) return false;
         for (const auto& [ext_id, p] : batch) model.emplace(ext_id, p);
         return true;
     }},
    {"delete_many",
     [](Store& store, Model& model) {
         const std::vector<std::string> doomed = {"p5", "missing", "p7", "p5"};
         auto deleted = store.delete_many(doomed);
         if (!deleted) return false;
         EXPECT_EQ(*deleted, 2U);
         model.erase("p5");
         model.erase("p7");
         return true;
     }},
    {"sync", [](Store& store, Model&) { return static_cast<bool>(store.sync()); }},
    {"persist",
     [](Store& store, Model& model) {
         // A change first: persist writes nothing while the snapshot holds the store's state.
         if (!store.remove("p5")) return false;
         model.erase("p5");
         return static_cast<bool>(store.persist());
     }},
    {"vacuum", [](Store& store, Model&) { return static_cast<bool>(store.vacuum()); }},
};

int errno_for(Call call) {
    switch (call) {
        case Call::Write:
        case Call::Allocate:
        case Call::Truncate:
            return ENOSPC;
        case Call::Map:
            return ENOMEM;
        default:
            return EIO;
    }
}

class FaultTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Unique per process: ctest runs each test of this suite in a process of its own, at
        // the same time.
        root_ = fs::temp_directory_path() /
                joined({"vesko-fault-templates-", std::to_string(std::random_device{}())});
        fs::remove_all(root_);
        mixed_model_ = new Model(make_mixed(root_ / "mixed"));
        full_model_ = new Model(make_full(root_ / "full"));
    }
    static void TearDownTestSuite() {
        delete mixed_model_;
        delete full_model_;
        fs::remove_all(root_);
    }
    void SetUp() override {
        work_ = fs::temp_directory_path() /
                joined({"vesko-fault-",
                        ::testing::UnitTest::GetInstance()->current_test_info()->name()});
    }
    void TearDown() override {
        fault::reset();
        fs::remove_all(work_);
    }

    // A fresh copy of a template directory.
    fs::path fresh(const char* name) {
        fs::remove_all(work_);
        fs::copy(root_ / name, work_);
        return work_;
    }

    // Calls of each kind that `body` makes on a fresh copy of the template.
    std::map<Call, std::uint64_t> calls_made(const char* name,
                                             const std::function<void(const fs::path&)>& body) {
        const fs::path dir = fresh(name);
        fault::reset();
        body(dir);
        std::map<Call, std::uint64_t> out;
        for (int c = 0; c < fault::call_kinds; ++c) {
            const Call call = static_cast<Call>(c);
            if (fault::count(call) > 0) out[call] = fault::count(call);
        }
        return out;
    }

    static inline fs::path root_;
    static inline Model* mixed_model_ = nullptr;
    static inline Model* full_model_ = nullptr;
    fs::path work_;
};

TEST_F(FaultTest, EveryFailedCallOfAnOperationLeavesOnlyAcknowledgedChanges) {
    struct Template {
        const char* name;
        const Model* model;
    };
    const Template templates[] = {{"mixed", mixed_model_}, {"full", full_model_}};
    for (const Template& t : templates) {
        for (const Operation& op : operations) {
            const auto counted = calls_made(t.name, [&](const fs::path& dir) {
                auto store = Store::open(dir.string());
                ASSERT_TRUE(store);
                fault::reset();
                Model scratch = *t.model;
                ASSERT_TRUE(op.run(**store, scratch));
            });
            ASSERT_FALSE(counted.empty()) << op.name;
            for (const auto& [call, n] : counted) {
                for (std::uint64_t nth = 1; nth <= n; ++nth) {
                    SCOPED_TRACE(joined({t.name, " / ", op.name, ": ", fault::call_name(call), " #",
                                         std::to_string(nth)}));
                    const fs::path dir = fresh(t.name);
                    Model model = *t.model;
                    auto store = must_open(dir);
                    ASSERT_TRUE(store);
                    fault::reset();
                    fault::arm(call, nth, errno_for(call));
                    const bool op_succeeded = op.run(*store, model);
                    const std::optional<Call> fired = fault::fired();
                    EXPECT_TRUE(fired.has_value()) << "the armed call never came";
                    fault::reset();
                    if (auto usable = store->count(); usable) {
                        expect_holds(*store, model);
                        // Poisoning is for the calls that promise durability and failed on a
                        // flush (vacuum rides over a failed directory sync after its commit,
                        // which finishing the commit forces again).
                        const std::string name = op.name;
                        const bool flush_failed =
                            (fired == Call::Sync || fired == Call::MapSync) && !op_succeeded &&
                            (name == "sync" || name == "persist" || name == "vacuum");
                        auto added = store->add("after", -5.0f, 7.5f, "{}", nullptr);
                        if (added) model.emplace("after", Point{-5.0f, 7.5f, "{}"});
                        // A failed flush to disk poisons the object (as does a log that
                        // persist emptied only in part): changes and sync are refused, reads
                        // go on, and a reopen replays what is on disk.
                        if (flush_failed) {
                            EXPECT_FALSE(added);
                        }
                        if (!added) {
                            EXPECT_EQ(added.error().kind, ErrorKind::StoreBroken);
                            EXPECT_TRUE(flush_failed || ((name == "persist" || name == "vacuum") &&
                                                         fired == Call::Truncate))
                                << added.error().message;
                        }
                        if (flush_failed) {
                            EXPECT_FALSE(store->sync());
                        }
                    } else {
                        EXPECT_EQ(usable.error().kind, ErrorKind::StoreBroken)
                            << usable.error().message;
                    }
                    store->close();
                    auto reopened = must_open(dir);
                    ASSERT_TRUE(reopened);
                    expect_holds(*reopened, model);
                }
            }
        }
    }
}

TEST_F(FaultTest, EveryFailedCallOfOpeningLeavesTheStoreAsItWas) {
    const auto counted = calls_made("mixed", [](const fs::path& dir) {
        auto store = Store::open(dir.string());
        ASSERT_TRUE(store);
    });
    ASSERT_FALSE(counted.empty());
    for (const auto& [call, n] : counted) {
        for (std::uint64_t nth = 1; nth <= n; ++nth) {
            SCOPED_TRACE(joined({"open: ", fault::call_name(call), " #", std::to_string(nth)}));
            const fs::path dir = fresh("mixed");
            fault::reset();
            fault::arm(call, nth, errno_for(call));
            // A data file that cannot be opened, sized or mapped is an internal failure.
            std::unique_ptr<Store> store;
            try {
                auto opened = Store::open(dir.string());
                if (opened) store = std::move(opened).value();
            } catch (const InternalError&) {
            }
            EXPECT_TRUE(fault::fired().has_value()) << "the armed call never came";
            fault::reset();
            if (store) {
                expect_holds(*store, *mixed_model_);
                store->close();
            }
            auto reopened = must_open(dir);
            ASSERT_TRUE(reopened);
            expect_holds(*reopened, *mixed_model_);
        }
    }
}

TEST_F(FaultTest, FullDiskWhileGrowingTheSlotFilesFailsTheAddAndLogsNothing) {
    for (Call call : {Call::Allocate, Call::Map, Call::MapSync}) {
        SCOPED_TRACE(fault::call_name(call));
        const fs::path dir = fresh("full");
        auto store = must_open(dir);
        ASSERT_TRUE(store);
        const auto log_size = fs::file_size(dir / "wal.bin");
        fault::reset();
        fault::arm(call, 1, ENOSPC);
        auto added = store->add("new", 1.0f, 2.0f, "{}", nullptr);
        fault::reset();
        ASSERT_FALSE(added);
        EXPECT_EQ(added.error().kind, ErrorKind::Os);
        EXPECT_EQ(added.error().os_errno, ENOSPC) << added.error().message;
        EXPECT_EQ(fs::file_size(dir / "wal.bin"), log_size);
        // The growth is tried again by the next add, which succeeds.
        Model model = *full_model_;
        add_point(*store, model, "later", Point{1.0f, 2.0f, "{}"});
        store->close();
        auto reopened = must_open(dir);
        ASSERT_TRUE(reopened);
        expect_holds(*reopened, model);
    }
}

// A batch of three chunks whose second chunk cannot be logged: the first chunk is added and
// logged, nothing of the second or third is, and the files hold no staged leftovers.
TEST_F(FaultTest, FailedLogWriteInABatchKeepsExactlyTheChunksBeforeIt) {
    fs::remove_all(work_);
    auto store = must_open(work_);
    ASSERT_TRUE(store);
    const std::size_t total = 2 * bulk_chunk_points + 10;
    std::vector<std::string> ext_ids;
    std::vector<Point> values;
    for (std::size_t i = 0; i < total; ++i) {
        ext_ids.push_back(joined({"b", std::to_string(i)}));
        values.push_back(point_at(static_cast<int>(i)));
    }
    std::vector<NewPoint> points;
    for (std::size_t i = 0; i < total; ++i)
        points.push_back(
            NewPoint{ext_ids[i], values[i].lat_deg, values[i].lon_deg, values[i].meta});
    // Per chunk: the records of ids.bin, those of meta.bin, the log's, then wal.crc's.
    fault::reset();
    fault::arm(Call::Write, 7, ENOSPC);
    auto added = store->add_many(points, nullptr);
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().os_errno, ENOSPC) << added.error().message;
    fault::reset();
    auto check = [&](Store& s) {
        auto count = s.count();
        ASSERT_TRUE(count);
        EXPECT_EQ(*count, bulk_chunk_points);
        for (std::size_t i : {std::size_t{0}, bulk_chunk_points - 1, bulk_chunk_points, total - 1})
            EXPECT_EQ(s.contains(ext_ids[i]).value(), i < bulk_chunk_points) << ext_ids[i];
    };
    check(*store);
    store->close();
    store = must_open(work_);
    ASSERT_TRUE(store);
    check(*store);
    // The same batch again adds the rest, each record once.
    ASSERT_TRUE(store->add_many(points, nullptr));
    EXPECT_EQ(store->count().value(), total);
    auto last = store->get(ext_ids[total - 1]);
    ASSERT_TRUE(last && *last);
    EXPECT_EQ((*last)->metadata, point_at(static_cast<int>(total - 1)).meta);

    // Deletions: one log write per chunk, each followed by wal.crc's; the second fails.
    fault::arm(Call::Write, 3, ENOSPC);
    ASSERT_FALSE(store->delete_many(ext_ids));
    fault::reset();
    store->close();
    store = must_open(work_);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->count().value(), total - bulk_chunk_points);
    EXPECT_FALSE(store->contains(ext_ids[bulk_chunk_points - 1]).value());
    EXPECT_TRUE(store->contains(ext_ids[bulk_chunk_points]).value());
}

// sync forces the log and wal.crc when something was written since the last sync, and the
// directories that hold them until that worked once.
TEST_F(FaultTest, SyncForcesTheLogAndItsChecksumsAndTheNewDirectoriesOnce) {
    fs::remove_all(work_);
    const fs::path dir = work_ / "new" / "store";
    auto store = must_open(dir);
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->add("a", 1.0f, 2.0f, "{}", nullptr));
    // wal.bin and wal.crc, then the store directory and the parents of the three directories
    // open made (work_, work_/new and the store's).
    fault::reset();
    ASSERT_TRUE(store->sync());
    EXPECT_EQ(fault::count(Call::Sync), 6U);
    fault::reset();
    ASSERT_TRUE(store->sync());
    EXPECT_EQ(fault::count(Call::Sync), 0U);
    ASSERT_TRUE(store->add("b", 1.0f, 2.0f, "{}", nullptr));
    ASSERT_TRUE(store->sync());
    EXPECT_EQ(fault::count(Call::Sync), 2U);
    // A persist forces the store directory itself, so the first sync of a reopened store
    // that persisted forces only the log, wal.crc and nothing else.
    store.reset();
    store = must_open(dir);
    ASSERT_TRUE(store->add("c", 1.0f, 2.0f, "{}", nullptr));
    ASSERT_TRUE(store->persist());
    ASSERT_TRUE(store->add("d", 1.0f, 2.0f, "{}", nullptr));
    fault::reset();
    ASSERT_TRUE(store->sync());
    EXPECT_EQ(fault::count(Call::Sync), 2U);
}

// After any failed flush to disk the object refuses changes and sync until it is reopened
// (the failed fdatasync may have dropped the pages it could not write); reads go on.
TEST_F(FaultTest, FailedFlushPoisonsTheObjectUntilReopened) {
    struct Case {
        const char* name;
        Call call;
        std::uint64_t nth;
        bool persist;
    };
    const Case cases[] = {{"log fdatasync in sync", Call::Sync, 1, false},
                          {"wal.crc fdatasync in sync", Call::Sync, 2, false},
                          {"directory fsync in sync", Call::Sync, 3, false},
                          {"msync of a data file in persist", Call::MapSync, 1, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = fresh("mixed");
        Model model = *mixed_model_;
        auto store = must_open(dir);
        ASSERT_TRUE(store);
        add_point(*store, model, "before", Point{3.0f, 4.0f, "{}"});
        fault::reset();
        fault::arm(c.call, c.nth, EIO);
        auto failed = c.persist ? store->persist() : store->sync();
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().os_errno, EIO);
        fault::reset();
        for (const Result<void>& refused :
             {store->sync(), store->persist(), store->add("x", 1.0f, 1.0f, "{}", nullptr),
              store->remove("before")}) {
            ASSERT_FALSE(refused);
            EXPECT_EQ(refused.error().kind, ErrorKind::StoreBroken);
            EXPECT_NE(refused.error().message.find("reopened"), std::string::npos);
        }
        expect_holds(*store, model);
        store->close();
        auto reopened = must_open(dir);
        ASSERT_TRUE(reopened);
        expect_holds(*reopened, model);
        ASSERT_TRUE(reopened->sync());
    }
}

}  // namespace
}  // namespace vesko::engine
