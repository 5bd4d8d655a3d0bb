// The agent's callbacks of one session: registered from any thread, each
// read just before it is called. The registry's lock guards only the
// pointers; nothing is ever called while it is held, and it takes no other
// lock, so it can be read under the session's lock or without it.
#ifndef OVX_SENSOR_SERVICES_CALLBACKREGISTRY_H
#define OVX_SENSOR_SERVICES_CALLBACKREGISTRY_H

#include <mutex>

#include "ovxSensorSvcs.h"

namespace ovxSensorServices {

class CCallbackRegistry {
public:
    struct Callbacks {
        SS_ErrorCallbackFn error = nullptr;
        SS_PolicyCallbackFn getPolicyResponse = nullptr;
        SS_PolicyCallbackFn setPolicyResponse = nullptr;
        SS_PolicyCallbackFn commSettingsResponse = nullptr;
        SS_SchemaCallbackFn getSchemaResponse = nullptr;
        SS_SchemaCallbackFn setSchemaResponse = nullptr;
        SS_SchemaCallbackFn getSchemaRequest = nullptr;
        SS_SchemaCallbackFn setSchemaRequest = nullptr;
        SS_GenericResponseFn genericResponse = nullptr;
        SS_ResponseCompleteFn responseComplete = nullptr;
        SS_PingResponseFn pingResponse = nullptr;
    };

    // Replaces one callback; NULL clears it.
    template <class T>
    void Set(T Callbacks::*slot, T callback) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_callbacks.*slot = callback;
    }
    template <class T>
    T Get(T Callbacks::*slot) const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_callbacks.*slot;
    }
    // Clears the callbacks that deliver answers. The error and
    // response-complete callbacks stay: a response still being processed
    // while the session stops may report through them.
    void ClearAnswerCallbacks();
    void Clear();

private:
    mutable std::mutex m_lock;
    Callbacks m_callbacks;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_CALLBACKREGISTRY_H
