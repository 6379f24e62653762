// The registry of open stores. Lock order: registry_mutex, then a slot's mutex (never held
// while taking the registry's), then the Store's own locks. A slot's mutex is held across an
// open or a salvage, so that two threads opening one directory at once share one Store
// instead of refusing each other, and across the last handle's close, so that an open that
// comes next finds the directory's lock free.
#include "engine/store_handle.h"

#include "persist/vacuum.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <tuple>

namespace vesko::engine {

// One store directory of this process: the Store open there and how many handles have it open.
struct StoreHandle::Slot {
    std::mutex mutex;
    std::weak_ptr<Store> store;    // guarded by mutex; alive while open_handles > 0
    std::size_t open_handles = 0;  // guarded by mutex
};

namespace {

// A directory of this process: a child made by fork() keys its own slots by its generation.
using SlotKey = std::tuple<storage::FileIdentity, std::uint64_t>;

struct Registry {
    std::mutex mutex;
    std::map<SlotKey, std::weak_ptr<StoreHandle::Slot>> slots;  // guarded by mutex
    // Held while a directory that did not exist is created and opened: until its slot is
    // registered, nothing else may look for it by identity.
    std::mutex creating;
};

// Never destroyed: handles released during the interpreter's shutdown still find it.
Registry& registry() {
    static auto* instance = new Registry;
    return *instance;
}

std::shared_ptr<StoreHandle::Slot> slot_for(const storage::FileIdentity& identity) {
    Registry& reg = registry();
    const std::lock_guard guard(reg.mutex);
    for (auto it = reg.slots.begin(); it != reg.slots.end();) {
        it = it->second.expired() ? reg.slots.erase(it) : std::next(it);
    }
    std::weak_ptr<StoreHandle::Slot>& entry =
        reg.slots[SlotKey{identity, storage::process_generation()}];
    auto slot = entry.lock();
    if (!slot) {
        slot = std::make_shared<StoreHandle::Slot>();
        entry = slot;
    }
    return slot;
}

}  // namespace

StoreHandle::StoreHandle(std::shared_ptr<Slot> slot, std::shared_ptr<Store> store, bool read_only)
    : slot_(std::move(slot)),
      store_(std::move(store)),
      read_only_(read_only || store_->read_only()),
      process_generation_(storage::process_generation()) {}

std::unique_ptr<StoreHandle> StoreHandle::first_handle(std::shared_ptr<Slot> slot,
                                                       std::unique_ptr<Store> opened) {
    std::shared_ptr<Store> store(std::move(opened));
    slot->store = store;
    slot->open_handles = 1;
    return std::unique_ptr<StoreHandle>(new StoreHandle(std::move(slot), std::move(store)));
}

Result<std::unique_ptr<StoreHandle>> StoreHandle::open(const std::string& dir,
                                                       double lock_timeout_s) {
    Registry& reg = registry();
    std::unique_lock creating(reg.creating);
    if (!storage::path_exists(dir)) {
        // Nothing can be open in a directory that does not exist yet.
        auto opened = Store::open(dir, lock_timeout_s);
        if (!opened) return opened.error();
        auto identity = storage::file_identity(dir);
        if (!identity) return identity.error();
        auto slot = slot_for(*identity);
        const std::lock_guard guard(slot->mutex);
        return first_handle(std::move(slot), std::move(opened).value());
    }
    creating.unlock();
    auto identity = storage::file_identity(dir);
    // A path that cannot be looked up is refused by the open, with the open's own error.
    if (!identity) return Store::open(dir, lock_timeout_s).error();
    auto slot = slot_for(*identity);
    const std::lock_guard guard(slot->mutex);
    if (slot->open_handles > 0) {
        ++slot->open_handles;
        return std::unique_ptr<StoreHandle>(new StoreHandle(slot, slot->store.lock()));
    }
    auto opened = Store::open(dir, lock_timeout_s);
    if (!opened) return opened.error();
    return first_handle(std::move(slot), std::move(opened).value());
}

Result<std::unique_ptr<StoreHandle>> StoreHandle::open_reader(const std::string& dir) {
    auto opened = Store::open_reader(dir);
    if (!opened) return opened.error();
    auto own = std::make_shared<Slot>();
    own->open_handles = 1;
    std::shared_ptr<Store> store(std::move(opened).value());
    own->store = store;
    return std::unique_ptr<StoreHandle>(new StoreHandle(std::move(own), std::move(store), true));
}

Result<void> StoreHandle::check_writable() const {
    if (!read_only_) return {};
    return store_->read_only_error();
}

Result<std::unique_ptr<StoreHandle>> StoreHandle::salvage(const std::string& dir, bool rebuild) {
    auto identity = storage::file_identity(dir);
    if (!identity) return Store::salvage(dir, rebuild).error();
    // Waits for a directory being created and opened to be registered.
    { const std::lock_guard creating(registry().creating); }
    auto slot = slot_for(*identity);
    const std::lock_guard guard(slot->mutex);
    if (slot->open_handles > 0) {
        return Error{ErrorKind::Os,
                     "the store directory " + persist::quoted_path(dir) +
                         " is open in this process; close every Vesko object on it before "
                         "salvaging it: " +
                         storage::os_error_message(EWOULDBLOCK),
                     EWOULDBLOCK};
    }
    auto salvaged = Store::salvage(dir, rebuild);
    if (!salvaged) return salvaged.error();
    return first_handle(std::move(slot), std::move(salvaged).value());
}

StoreHandle::~StoreHandle() { close(); }

Result<Store*> StoreHandle::store() const {
    if (!open_.load(std::memory_order_acquire)) {
        return make_error(ErrorKind::Closed, "store is closed");
    }
    return store_.get();
}

void StoreHandle::close() {
    if (!open_.exchange(false, std::memory_order_acq_rel)) return;
    if (process_generation_ != storage::process_generation()) {
        // A forked child: the Store lets go only of this process's copy of its lock.
        store_->close();
        return;
    }
    const std::lock_guard guard(slot_->mutex);
    if (--slot_->open_handles == 0) store_->close();
}

}  // namespace vesko::engine
