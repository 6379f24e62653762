// A caller's request that a long call stop early. A long call (a bulk load or delete, a batch
// of searches, a walk over the store, a vacuum) polls it only where stopping leaves the store
// in a state the call documents: between whole chunks, never inside one.
#pragma once

namespace vesko {

class Interrupt {
  public:
    // True once the caller wants the call to stop; stays true from then on. Called by the
    // call's own thread and by the helper threads it shares work with, so it must be safe on
    // several threads at once, and cheap: it is polled every few milliseconds of work. It may
    // notice a request only when polled on the thread that made the call (a signal handler
    // runs there); the other threads see it at their next poll after that. So a call whose
    // own thread waits for a helper thread keeps polling while it waits.
    virtual bool requested() = 0;

  protected:
    ~Interrupt() = default;
};

}  // namespace vesko
