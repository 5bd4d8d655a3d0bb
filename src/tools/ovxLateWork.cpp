#include "tools/ovxLateWork.h"

#include <unistd.h>

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
Guard& TheGuard() {
    static Guard* guard = new Guard();
    return *guard;
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
