// A thread that a shut-down gave up waiting for (its post hung past
// shutdownTimeout) still has work to do once the post returns: put the
// heartbeat back, release the session, unload the service library. By then
// the agent may be exiting, and exit destroys objects of static storage
// (parser platform, catalogs, other libraries' state) that this work touches.
//
// Such work runs inside a late-work hold. The process's exit waits for a hold
// in progress; a hold asked for once exit has begun is refused, and the thread
// must then touch nothing more and park until the process is gone.
#ifndef OVX_TOOLS_OVXLATEWORK_H
#define OVX_TOOLS_OVXLATEWORK_H

namespace ovxToolsLib {
namespace ovxLateWork {

// Arms the exit handler that refuses late work. Called each time a thread is
// left running: a handler registered then runs before the destructors of
// everything that existed at that moment.
void ArmExitHandler();

// Takes the hold for the calling thread (again taking it is a no-op).
// Returns false when the process is exiting: the caller must then Park().
bool Enter();
// Gives back the calling thread's hold, if it has one.
void Leave();
// Blocks the calling thread until the process ends.
[[noreturn]] void Park();

}  // namespace ovxLateWork
}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXLATEWORK_H
