#include "tools/ovxLateWork.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace ovxToolsLib {
namespace ovxLateWork {
namespace {

// Never destroyed: exit itself takes this lock.
struct Guard {
    std::mutex lock;
    bool exiting = false;
};
std::atomic<Guard*> g_guard{nullptr};

// A child of fork() has none of the threads that may have held the guard
// when it was copied: it takes a fresh one (the copy stays unused).
void FreshGuardInChild() { g_guard.store(new Guard()); }

Guard& TheGuard() {
    static Guard* first = [] {
        auto* guard = new Guard();
        g_guard.store(guard);
        pthread_atfork(nullptr, nullptr, &FreshGuardInChild);
        return guard;
    }();
    static_cast<void>(first);
    return *g_guard.load();
}

// The calling thread's hold: a scoped lock that outlives the function that
// took it, given back by Leave() or, at the latest, when the thread ends.
thread_local std::unique_lock<std::mutex> t_hold;

void OnExit() {
    Guard& guard = TheGuard();
    std::lock_guard<std::mutex> hold(guard.lock);
    guard.exiting = true;
}

}  // namespace

void ArmExitHandler() {
    TheGuard();  // made before the handler can run
    (void)std::atexit(&OnExit);
}

bool Enter() {
    if (t_hold.owns_lock()) return true;
    Guard& guard = TheGuard();
    std::unique_lock<std::mutex> hold(guard.lock);
    if (guard.exiting) return false;
    t_hold = std::move(hold);
    return true;
}

void Leave() {
    if (t_hold.owns_lock()) t_hold.unlock();
}

void Park() {
    for (;;) pause();
}

}  // namespace ovxLateWork
}  // namespace ovxToolsLib
