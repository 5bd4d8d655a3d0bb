#include "ovxErrorException.h"

namespace ovxToolsLib {

ovxErrorException::ovxErrorException(uint32_t status) : OVXError(status) {
    m_what = std::string("ovxErrorException : ") + GetMessageText(0, {}, kOvxMsgNoIdentifier);
    while (!m_what.empty() && m_what.back() == '\n') m_what.pop_back();
}

ovxErrorException::ovxErrorException(const ovxErrorException& other)
    : std::exception(other), OVXError(other.GetStatus()), m_what(other.m_what) {}

}  // namespace ovxToolsLib
