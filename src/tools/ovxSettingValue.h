// The settings this library adds to the ones every agent already knows are
// read strictly: decimal digits only, within a stated range. A value that is
// not (a sign, a unit, a word, a number out of range) is never guessed at:
// the setting's default is used and a warning names the key, the value and
// what is used instead, so that a typo does not silently change behaviour.
#ifndef OVX_TOOLS_OVXSETTINGVALUE_H
#define OVX_TOOLS_OVXSETTINGVALUE_H

#include <cstdint>
#include <string>

namespace ovxToolsLib {

// A numeric setting of ours: its range (inclusive) and its default.
struct ovxSettingRule {
    const char* key;
    uint64_t lowest;
    uint64_t highest;
    uint64_t fallback;
};

// The value `text` gives under `rule`. A value that is not digits only or is
// out of range gives the default and fills `warning` with the line to write
// (level 2); a good value leaves `warning` empty.
uint64_t ReadSettingNumber(const ovxSettingRule& rule, const char* text, std::string& warning);

// A flag of ours, in the form the other flags take (a decimal number, 0 off,
// any other on) but digits only: "-1", "yes" or "true" give `fallback` and a
// warning.
bool ReadSettingFlag(const char* key, const char* text, bool fallback, std::string& warning);

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXSETTINGVALUE_H
