// Which characters an XML 1.0 document can carry at all. No escape makes a
// C0 control (other than tab, line feed and carriage return), U+FFFE or
// U+FFFF legal, so text holding one is refused where it enters instead of
// making a document a conforming parser rejects.
#ifndef OVX_TOOLS_OVXXMLCHARS_H
#define OVX_TOOLS_OVXXMLCHARS_H

#include <cstddef>
#include <string>

namespace ovxToolsLib {

// Whether UTF-8 text holds only characters XML can carry. Bytes that are not
// well-formed UTF-8 are not judged here: conversion replaces them.
bool ovxIsXmlText(const char* text, size_t length);
inline bool ovxIsXmlText(const std::string& text) { return ovxIsXmlText(text.data(), text.size()); }

// The same for a wide string of code points.
bool ovxIsXmlText(const std::wstring& text);

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXXMLCHARS_H
