#include "tools/ovxSettingValue.h"

namespace ovxToolsLib {
namespace {

// Digits only, no sign, no blank, no unit; false as well for a number that
// does not fit in 64 bits (it is out of every range anyway).
bool ParseDigits(const char* text, uint64_t& value) {
    if (text == nullptr || *text == '\0') return false;
    value = 0;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(*at - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// The value as the warning shows it: at most 64 bytes, control characters
// and quotes shown as '?', so that a settings file cannot shape the trace.
std::string Shown(const char* text) {
    std::string shown;
    for (const char* at = text; *at != '\0' && shown.size() < 64; ++at) {
        const unsigned char c = static_cast<unsigned char>(*at);
        shown += c < 0x20 || c == 0x7F || c == '"' ? '?' : *at;
    }
    if (text[shown.size()] != '\0') shown += "...";
    return shown;
}

std::string Refused(const char* key, const char* text, const std::string& wanted, const std::string& used) {
    return std::string("The setting ") + key + "=\"" + Shown(text) + "\" is not " + wanted + ": " + used +
           " is used instead.";
}

}  // namespace

uint64_t ReadSettingNumber(const ovxSettingRule& rule, const char* text, std::string& warning) {
    warning.clear();
    uint64_t value = 0;
    if (ParseDigits(text, value) && value >= rule.lowest && value <= rule.highest) return value;
    warning = Refused(rule.key, text != nullptr ? text : "",
                      "a whole number from " + std::to_string(rule.lowest) + " to " + std::to_string(rule.highest),
                      std::to_string(rule.fallback));
    return rule.fallback;
}

bool ReadSettingFlag(const char* key, const char* text, bool fallback, std::string& warning) {
    warning.clear();
    uint64_t value = 0;
    if (ParseDigits(text, value)) return value != 0;
    warning = Refused(key, text != nullptr ? text : "", "a flag (0 for off, another number in digits for on)",
                      fallback ? "1 (on)" : "0 (off)");
    return fallback;
}

}  // namespace ovxToolsLib
