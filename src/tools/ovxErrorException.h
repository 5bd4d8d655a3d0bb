// An exception that carries a status code; its text is the catalog text.
#ifndef OVX_TOOLS_OVXERROREXCEPTION_H
#define OVX_TOOLS_OVXERROREXCEPTION_H

#include <exception>
#include <string>

#include "ovxError.h"

namespace ovxToolsLib {

class ovxErrorException : public std::exception, public OVXError {
public:
    explicit ovxErrorException(uint32_t status);
    ovxErrorException(const ovxErrorException& other);
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    std::string m_what;
};

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXERROREXCEPTION_H
