#include "sensor_services/CallbackRegistry.h"

namespace ovxSensorServices {

void CCallbackRegistry::ClearAnswerCallbacks() {
    std::lock_guard<std::mutex> hold(m_lock);
    const Callbacks kept = m_callbacks;
    m_callbacks = Callbacks();
    m_callbacks.error = kept.error;
    m_callbacks.responseComplete = kept.responseComplete;
}

void CCallbackRegistry::Clear() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_callbacks = Callbacks();
}

}  // namespace ovxSensorServices
