// The error type thrown throughout the CML layer: what was being done, what
// went wrong, and the status code the exported interface will return.
#ifndef OVX_CML_CORE_CMLEXCEPTION_H
#define OVX_CML_CORE_CMLEXCEPTION_H

#include <cstdint>
#include <ostream>
#include <string>

#include "ovxStatus.h"

namespace ovx {
namespace cml {

class CCmlException {
public:
    CCmlException(std::wstring operation, std::wstring message, uint32_t errorCode);
    CCmlException(const CCmlException& other) = default;
    CCmlException& operator=(const CCmlException& other) = default;
    virtual ~CCmlException();

    virtual const std::wstring& GetOperation() const { return m_operation; }
    virtual const std::wstring& GetMessage() const { return m_message; }
    virtual uint32_t GetErrorCode() const { return m_errorCode; }
    // "operation:  message; error = 0x...", the text operator<< writes.
    virtual std::wstring Format() const;

private:
    std::wstring m_operation;
    std::wstring m_message;
    uint32_t m_errorCode;
};

// Writes Format()'s text; the stream's format flags are left as they were.
std::wostream& operator<<(std::wostream& out, const CCmlException& error);

// Status codes the CML layer throws with.

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLEXCEPTION_H
