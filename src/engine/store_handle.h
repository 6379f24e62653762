// Handles on open stores: every handle this process opens on one store directory shares one
// Store, counted, and the Store closes when its last open handle closes or is destroyed. A
// registry keyed by the directory's identity (device and inode) finds the open Store, so
// every spelling of a path and every symbolic link to it reach the same one. Handles may be
// used from any thread; the Store takes its own locks.
#pragma once

#include "common/result.h"
#include "engine/store.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace vesko::engine {

class StoreHandle {
  public:
    // A handle on the Store this process has open in `dir`, or on one opened now
    // (Store::open, waiting up to lock_timeout_s seconds for another process to let go of
    // the directory). A store opened by this process before a fork() is not shared with the
    // child: the child opens its own, which the parent's lock refuses as another process's.
    static Result<std::unique_ptr<StoreHandle>> open(const std::string& dir,
                                                     double lock_timeout_s = 0);
    // A reader: a Store of its own (Store::open_reader, never writing in `dir`), never shared
    // and never registered, so that it follows a writer of this process exactly as one of
    // another process, and holds no lock a writer elsewhere would wait for.
    static Result<std::unique_ptr<StoreHandle>> open_reader(const std::string& dir);
    // Store::salvage, refused with an Os error (EWOULDBLOCK) naming the directory while a
    // handle in this process has it open: salvage moves files that an open Store uses.
    static Result<std::unique_ptr<StoreHandle>> salvage(const std::string& dir,
                                                        bool rebuild = false);

    // Closes the handle as close() does.
    ~StoreHandle();
    StoreHandle(const StoreHandle&) = delete;
    StoreHandle& operator=(const StoreHandle&) = delete;

    // The shared Store, or the Closed error once this handle is closed. The Store outlives
    // the handle's closing (calls running in other threads keep using it), but not the handle.
    Result<Store*> store() const;
    // Closes this handle: every later store() is the Closed error. When no other handle on
    // the Store is open, the Store closes too (Store::close, which waits for running calls).
    // Closing again does nothing.
    void close();
    // Whether changes through this handle are refused (a reader, or a read-only handle on a
    // writer's Store), and the ReadOnly error they get.
    bool read_only() const { return read_only_; }
    Result<void> check_writable() const;

    struct Slot;

  private:
    StoreHandle(std::shared_ptr<Slot> slot, std::shared_ptr<Store> store, bool read_only = false);
    // The first handle on `opened`, which becomes the Store of `slot`; the caller holds the
    // slot's mutex and no handle on it is open.
    static std::unique_ptr<StoreHandle> first_handle(std::shared_ptr<Slot> slot,
                                                     std::unique_ptr<Store> opened);

    std::shared_ptr<Slot> slot_;
    std::shared_ptr<Store> store_;
    std::atomic<bool> open_{true};
    bool read_only_;
    // The process (by fork generation) that opened the handle; a child does not touch the
    // registry's locks, which a thread of the parent may have held at the fork.
    std::uint64_t process_generation_;
};

}  // namespace vesko::engine
