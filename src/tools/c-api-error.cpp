#include "c-api-error.h"

#include <cstring>
#include <string>

#include "ovxError.h"
#include "xsnprintf.h"

namespace ovxToolsLib {
int ovxOpenCatalogCForm(const char* directory, const char* name, const char* locale);
}

extern "C" {

int cOvxOpenCatalog(const char* directory, const char* catalogName, const char* locale) {
    try {
        return ovxToolsLib::ovxOpenCatalogCForm(directory, catalogName, locale);
    } catch (...) {
        return 12;  // ENOMEM: the only way the open itself can throw
    }
}

const char* cOvxGetErrorText(uint32_t status, char* buffer, size_t size) {
    if (!buffer || size == 0) return buffer;
    if (size < 12) {
        ovxToolsLib::xsnprintf(buffer, size, "%s", "ErrMsgBufSz");
        return buffer;
    }
    try {
        ovxToolsLib::OVXError error(status);
        std::string text = error.GetMessageText(0, {}, ovxToolsLib::kOvxMsgNoIdentifier);
        while (!text.empty() && text.back() == '\n') text.pop_back();
        if (text.rfind("Status ", 0) == 0 && text.find("retrieving message text") != std::string::npos) {
            ovxToolsLib::xsnprintf(buffer, size, "%s", text.c_str());
        } else {
            ovxToolsLib::xsnprintf(buffer, size, "%s [ID=%8.8x]", text.c_str(), status);
        }
    } catch (...) {
        ovxToolsLib::xsnprintf(buffer, size, "%s", "Error: message buffer setup failed");
    }
    return buffer;
}

}  // extern "C"
