// The error type thrown throughout the CML layer: what was being done, what
// went wrong, and the status code the exported interface will return.
#ifndef OVX_CML_CORE_CMLEXCEPTION_H
#define OVX_CML_CORE_CMLEXCEPTION_H

#include <cstdint>
#include <ostream>
#include <string>

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
constexpr uint32_t kCmlOutOfMemory = 0xC7210001u;
constexpr uint32_t kCmlInvalidArgument = 0xC7210003u;
constexpr uint32_t kCmlInternalError = 0xC7210005u;
constexpr uint32_t kCmlFileOpenFailed = 0xC7210021u;
constexpr uint32_t kCmlFolderCreateFailed = 0xC7210037u;
constexpr uint32_t kCmlParseError = 0xC7380002u;
constexpr uint32_t kCmlMissingElement = 0xC7380005u;
constexpr uint32_t kCmlUnknownNamespace = 0xC738000Au;
constexpr uint32_t kCmlNamespaceConflict = 0xC738000Eu;
constexpr uint32_t kCmlNullElement = 0xC738000Fu;
constexpr uint32_t kCmlImplicitNamespaceConflict = 0xC7380024u;

}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLEXCEPTION_H
