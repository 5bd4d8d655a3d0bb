// Common base of the tools library's system objects: every front and
// implementation object carries a validity flag, set when the underlying
// operating-system object was created. Operations on an invalid object fail
// without touching the system.
#ifndef OVX_TOOLS_JSBASE_H
#define OVX_TOOLS_JSBASE_H

#include <cstdint>

namespace ovxToolsLib {

// Results of waits and locks.
enum : uint32_t {
    kJsWaitSuccess = 0,
    kJsWaitTimeout = 1,  // timed out, or busy
    kJsWaitFailed = 2,   // any other system error, or an invalid object
};

// A wait of this many milliseconds has no time limit.
constexpr uint32_t kJsInfinite = 0xFFFFFFFFu;

class jsBase {
public:
    jsBase() = default;
    jsBase(const jsBase&) = delete;
    jsBase& operator=(const jsBase&) = delete;
    virtual bool isValid() const { return m_valid; }
    virtual ~jsBase() = default;

protected:
    bool m_valid = false;
};

// Maps a pthread result to kJsWaitSuccess / kJsWaitTimeout / kJsWaitFailed.
uint32_t jsMapWaitResult(int systemResult);

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_JSBASE_H
