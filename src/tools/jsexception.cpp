#include "jsexception.h"

namespace ovxToolsLib {

jsException::jsException(const char* place) : jsException("jsException", place) {}

jsException::jsException(const char* typeName, const char* place) : m_place(place ? place : "") {
    m_text = std::string(typeName) + ": At(" + m_place + ")";
}

jsOsException::jsOsException(const char* place, int osError) : jsOsException("jsException", place, osError) {}

jsOsException::jsOsException(const char* typeName, const char* place, int osError)
    : jsException(typeName, place), m_osError(osError) {
    m_text += " error(" + std::to_string(osError) + ")";
}

jsFileException::jsFileException(const char* place, int osError, const char* path)
    : jsOsException("jsFileException", place, osError), m_path(path ? path : "") {
    m_text += " path(" + m_path + ")";
}

}  // namespace ovxToolsLib
