// Exceptions thrown inside the tools library. Callers at an exported boundary
// catch them and turn them into status codes.
#ifndef OVX_TOOLS_JSEXCEPTION_H
#define OVX_TOOLS_JSEXCEPTION_H

#include <stdexcept>
#include <string>

namespace ovxToolsLib {

// Text: "jsException: At(<place>)".
class jsException {
public:
    explicit jsException(const char* place);
    virtual ~jsException() = default;
    virtual const char* what() const noexcept { return m_text.c_str(); }
    const std::string& place() const { return m_place; }

protected:
    jsException(const char* typeName, const char* place);
    std::string m_place;
    std::string m_text;
};

// Adds " error(<errno>)".
class jsOsException : public jsException {
public:
    jsOsException(const char* place, int osError);
    int osError() const { return m_osError; }

protected:
    jsOsException(const char* typeName, const char* place, int osError);
    int m_osError;
};

// Adds " path(<path>)".
class jsFileException : public jsOsException {
public:
    jsFileException(const char* place, int osError, const char* path);
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// The text of a failure detected by the tools library itself.
class jsThreadException : public std::runtime_error {
public:
    explicit jsThreadException(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_JSEXCEPTION_H
