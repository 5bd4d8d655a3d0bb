#include "cml/core/cmlException.h"

#include <ios>
#include <locale>
#include <sstream>
#include <utility>

namespace ovx {
namespace cml {

CCmlException::CCmlException(std::wstring operation, std::wstring message, uint32_t errorCode)
    : m_operation(std::move(operation)), m_message(std::move(message)), m_errorCode(errorCode) {}

CCmlException::~CCmlException() = default;

std::wstring CCmlException::Format() const {
    std::wostringstream text;
    text.imbue(std::locale::classic());  // no digit grouping in the code
    text << m_operation << L":  " << m_message << L"; error = 0x" << std::hex << std::nouppercase << m_errorCode;
    return text.str();
}

std::wostream& operator<<(std::wostream& out, const CCmlException& error) {
    // Format() uses a stream of its own, so the caller's flags, fill and
    // width are never touched.
    return out << error.Format();
}

}  // namespace cml
}  // namespace ovx
