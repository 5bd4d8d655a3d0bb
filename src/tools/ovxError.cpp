#include "ovxStatus.h"
#include "ovxError.h"

#include <nl_types.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "jsexception.h"
#include "ovxInstallLayout.h"
#include "xsnprintf.h"
#include "ovxForkHold.h"

namespace ovxToolsLib {

namespace {

// The catalog handle is written under g_catalogMutex and read without a lock:
// once open it stays open until ovxCloseCatalog(), which only tests call.
std::mutex g_catalogMutex;
const ovxForkHold g_catalogForkHold(g_catalogMutex, ovxForkRank::kLeaf);
// Kept as an integer so that it is constant-initialised: the catalog is opened
// by another file's static initialiser while the library loads.
constexpr intptr_t kNoCatalog = -1;
std::atomic<intptr_t> g_catalog{kNoCatalog};
nl_catd LoadCatalog() { return reinterpret_cast<nl_catd>(g_catalog.load(std::memory_order_acquire)); }

bool CatalogOpen() { return g_catalog.load(std::memory_order_acquire) != kNoCatalog; }

// Counts openings and closings; read as 0 while no catalog is open.
std::atomic<uint64_t> g_catalogGeneration{1};

std::string StripTrailing(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
    return text;
}

// Breaks text into lines of at most `width` characters at spaces; a word longer
// than the width is cut.
std::string Wrap(const std::string& text, unsigned width) {
    std::string out;
    size_t lineLen = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '\n') {
            out += '\n';
            lineLen = 0;
            ++pos;
            continue;
        }
        size_t end = text.find_first_of(" \n", pos);
        if (end == std::string::npos) end = text.size();
        std::string word = text.substr(pos, end - pos);
        while (word.size() > width) {
            if (lineLen > 0) {
                out += '\n';
                lineLen = 0;
            }
            out += word.substr(0, width);
            word.erase(0, width);
            if (!word.empty()) out += '\n';
        }
        if (lineLen > 0 && lineLen + 1 + word.size() > width) {
            out += '\n';
            lineLen = 0;
        } else if (lineLen > 0) {
            out += ' ';
            ++lineLen;
        }
        out += word;
        lineLen += word.size();
        pos = end;
        if (pos < text.size() && text[pos] == ' ') ++pos;
    }
    return out;
}

std::string SystemErrorText(int number) {
    char buffer[256];
    buffer[0] = '\0';
    // GNU strerror_r returns a pointer that may or may not be the buffer.
    const char* text = strerror_r(number, buffer, sizeof buffer);
    return text ? text : "";
}

// Opens the catalog with the search list of the system; shared by the C++ and
// C forms, which differ in how they treat LANG and in the list's bound.
int OpenCatalogImpl(const char* directory, const char* name, const char* locale, bool onlyWhenLangUnset,
                    size_t listBound) {
    if (!name || !*name) return EINVAL;
    std::lock_guard<std::mutex> guard(g_catalogMutex);
    if (CatalogOpen()) return 0;

    // The folder asked for, else the one installed with the library; then
    // the system's, then the agent's NLSPATH.
    std::string list;
    const std::string installed = ovxInstallLayout::CatalogDirectory();
    if (!(directory && *directory) && !installed.empty()) directory = installed.c_str();
    if (directory && *directory) {
        list = std::string(directory) + "/%L/LC_MESSAGES/%N.cat:" + directory + "/C/LC_MESSAGES/%N.cat";
    }
    if (!list.empty()) list += ":";
    list += "/usr/lib/qtn/nls/%L/LC_MESSAGES/%N.cat:/usr/lib/qtn/nls/C/LC_MESSAGES/%N.cat";

    const char* previous = getenv("NLSPATH");
    std::string saved = previous ? previous : "";
    bool hadPrevious = previous != nullptr;
    std::string value = list;
    if (!saved.empty()) value += ":" + saved;
    if (value.size() >= listBound) return ENAMETOOLONG;
    setenv("NLSPATH", value.c_str(), 1);

    bool setLang = false;
    const char* lang = getenv("LANG");
    if (!lang || (!onlyWhenLangUnset && !*lang)) {
        setenv("LANG", "C", 1);
        setLang = true;
    }

    // The locale is the host process's; change it only for the open.
    std::string savedLocale;
    if (const char* current = setlocale(LC_ALL, nullptr)) savedLocale = current;
    setlocale(LC_ALL, locale ? locale : "");
    errno = 0;
    nl_catd catalog = catopen(name, NL_CAT_LOCALE);
    int openError = errno;
    if (!savedLocale.empty()) setlocale(LC_ALL, savedLocale.c_str());

    if (hadPrevious) {
        setenv("NLSPATH", saved.c_str(), 1);
    } else {
        unsetenv("NLSPATH");
    }
    if (setLang) setenv("LANG", "", 1);

    if (catalog == reinterpret_cast<nl_catd>(-1)) {
        std::string local = std::string("./") + name;
        if (local.find(".cat") == std::string::npos) local += ".cat";
        errno = 0;
        catalog = catopen(local.c_str(), 0);
        if (catalog == reinterpret_cast<nl_catd>(-1)) openError = errno;
    }
    if (catalog == reinterpret_cast<nl_catd>(-1)) return openError ? openError : ENOENT;
    g_catalogGeneration.fetch_add(1, std::memory_order_acq_rel);
    g_catalog.store(reinterpret_cast<intptr_t>(catalog), std::memory_order_release);
    return 0;
}

}  // namespace

// ---- ovxInsert ----------------------------------------------------------------

std::string ovxInsert::Plain() const {
    switch (m_kind) {
        case kText: return m_text;
        case kUnsigned: return std::to_string(m_unsigned);
        case kSigned: return std::to_string(m_signed);
    }
    return std::string();
}

std::string ovxInsert::Format(const std::string& directive) const {
    // Accept flags, width, precision, length modifiers and one conversion.
    size_t i = 0;
    std::string flags;
    while (i < directive.size() && strchr("-+ #0", directive[i])) flags += directive[i++];
    std::string widthPrec;
    while (i < directive.size() && (isdigit(static_cast<unsigned char>(directive[i])) || directive[i] == '.')) {
        widthPrec += directive[i++];
    }
    while (i < directive.size() && strchr("hlqjzt", directive[i])) ++i;
    if (i + 1 != directive.size() || widthPrec.size() > 8) return Plain();
    char conversion = directive[i];
    char buffer[128];
    std::string head = "%" + flags + widthPrec;
    if (strchr("diouxXc", conversion)) {
        if (m_kind == kText) return Plain();
        unsigned long long value = m_kind == kUnsigned ? m_unsigned : static_cast<unsigned long long>(m_signed);
        if (conversion == 'd' || conversion == 'i') {
            long long signedValue = m_kind == kSigned ? m_signed : static_cast<long long>(m_unsigned);
            xsnprintf(buffer, sizeof buffer, (head + "lld").c_str(), signedValue);
        } else if (conversion == 'c') {
            xsnprintf(buffer, sizeof buffer, (head + "c").c_str(), static_cast<int>(value & 0xFF));
        } else {
            xsnprintf(buffer, sizeof buffer, (head + "ll" + conversion).c_str(), value);
        }
        return buffer;
    }
    if (conversion == 's') {
        std::string text = Plain();
        xsnprintf(buffer, sizeof buffer, (head + "s").c_str(), text.c_str());
        // A text longer than the buffer keeps its full form rather than a cut one.
        return strlen(buffer) + 1 < sizeof buffer ? std::string(buffer) : text;
    }
    return Plain();
}

// ---- insert expansion -------------------------------------------------------

std::string ovxExpandInserts(const std::string& text, const std::vector<ovxInsert>& inserts, unsigned width,
                             bool* endedByPercentZero) {
    std::string out;
    if (endedByPercentZero) *endedByPercentZero = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\n') {
            out += width ? ' ' : '\n';
            continue;
        }
        if (c != '%' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        char next = text[i + 1];
        if (next == '0') {
            if (endedByPercentZero) *endedByPercentZero = true;
            return out;
        }
        if (next >= '1' && next <= '9') {
            size_t j = i + 2;
            unsigned number = static_cast<unsigned>(next - '0');
            if (j < text.size() && isdigit(static_cast<unsigned char>(text[j]))) {
                number = number * 10 + static_cast<unsigned>(text[j] - '0');
                ++j;
            }
            std::string directive;
            bool hasDirective = false;
            if (j < text.size() && text[j] == '!') {
                size_t close = text.find('!', j + 1);
                if (close != std::string::npos) {
                    directive = text.substr(j + 1, close - j - 1);
                    hasDirective = true;
                    j = close + 1;
                }
            }
            if (number <= inserts.size()) {
                const ovxInsert& insert = inserts[number - 1];
                out += hasDirective ? insert.Format(directive) : insert.Plain();
            } else {
                out += text.substr(i, j - i);  // no such argument: keep the escape visible
            }
            i = j - 1;
            continue;
        }
        switch (next) {
            case '%':
            case '.':
            case '!': out += next; break;
            case 'b': out += ' '; break;
            case 'r': out += '\r'; break;
            case '\\': out += width ? ' ' : '\n'; break;
            default:
                out += c;
                out += next;
                break;
        }
        ++i;
    }
    return out;
}

// ---- OVXError -----------------------------------------------------------------

OVXError::OVXError(uint32_t status, bool catalogFlag) : m_status(status), m_catalogFlag(catalogFlag) {
    if (status < 0x10000u) {
        xsnprintf(m_identifier, sizeof m_identifier, "%u", status);
    } else {
        xsnprintf(m_identifier, sizeof m_identifier, "0x%8.8x", status);
    }
}

int OVXError::CatalogSet(uint32_t status) {
    uint32_t facility = (status >> 16) & 0xFFFu;
    if (facility <= 2) return static_cast<int>(facility + 1);
    if (facility > 1791) return static_cast<int>(facility - 1788);
    return 0x7FFFFFFF;
}

int OVXError::CatalogMessage(uint32_t status) {
    uint32_t severity = status >> 30;
    return static_cast<int>((status & 0xFFFFu) | ((severity ^ 3u) << 13));
}

std::string OVXError::BuildText(unsigned width, const std::vector<ovxInsert>& inserts, unsigned options) {
    if (width > 255) width = 255;
    uint32_t facility = (m_status >> 16) & 0xFFFu;
    std::string body;
    bool percentZero = false;

    if (m_status < 0x10000u && !m_catalogFlag) {
        body = SystemErrorText(static_cast<int>(m_status));
    } else if (facility == 0x72B) {
        // The text is the socket template's, the identifier this status's:
        // the agent asked about this code, not about the template.
        OVXError socket(OVX_E_SOCKET_ERROR);
        std::memcpy(socket.m_identifier, m_identifier, sizeof m_identifier);
        return socket.BuildText(width, {ovxInsert(static_cast<unsigned>(m_status & 0xFFFFu))}, options);
    } else if (facility >= 2048) {
        OVXError system(OVX_E_SYSTEM_STATUS);
        std::memcpy(system.m_identifier, m_identifier, sizeof m_identifier);
        return system.BuildText(
            width, {ovxInsert(static_cast<unsigned>(m_status & 0x1FFFFFu)), ovxInsert((m_status >> 21) & 0x3Fu)},
            options);
    } else {
        char fallback[72];
        nl_catd catalog = LoadCatalog();
        if (catalog == reinterpret_cast<nl_catd>(-1)) {
            xsnprintf(fallback, sizeof fallback, "Status %d retrieving message text for [%s]", 2, m_identifier);
            return fallback;
        }
        static const char kMissing[] = "";
        errno = 0;
        const char* found = catgets(catalog, CatalogSet(m_status), CatalogMessage(m_status), kMissing);
        if (found == kMissing || found == nullptr) {
            int lookupError = errno ? errno : ENOMSG;
            xsnprintf(fallback, sizeof fallback, "Status %d retrieving message text for [%s]", lookupError,
                      m_identifier);
            return fallback;
        }
        body =
            (options & kOvxMsgNoInserts) ? std::string(found) : ovxExpandInserts(found, inserts, width, &percentZero);
    }

    body = StripTrailing(body);
    if (width) body = Wrap(body, width);
    if (options & kOvxMsgNoIdentifier) {
        if (!width && !percentZero) body += '\n';
        return body;
    }
    size_t lastLine = body.rfind('\n');
    size_t lastLen = lastLine == std::string::npos ? body.size() : body.size() - lastLine - 1;
    char separator = (width && lastLen + strlen(m_identifier) + 6 > width) ? '\n' : ' ';
    std::string text = body;
    text += separator;
    text += "[ID=";
    text += m_identifier;
    text += "]";
    if (!width) text += '\n';
    return text;
}

const char* OVXError::GetMessageText(unsigned width, const std::vector<ovxInsert>& inserts, unsigned options) {
    try {
        m_text = BuildText(width, inserts, options);
    } catch (...) {
        char fallback[96];
        xsnprintf(fallback, sizeof fallback, "Status %d retrieving message text. [ID=%s]", errno, m_identifier);
        m_text = fallback;
    }
    return m_text.c_str();
}

const char* OVXError::GetOsMessageText(unsigned width) {
    uint32_t status = m_status;
    uint32_t facility = (status >> 16) & 0xFFFu;
    if (facility == 9) {
        status = OVX_FACILITY_OS_BASE + (status & 0xFFFFu);
    } else if (status >= 10000 && status <= 12000) {
        status |= OVX_FACILITY_SOCKET_BASE;
    }
    facility = (status >> 16) & 0xFFFu;
    if (facility >= 0x700 && facility <= 0x7FB) {
        OVXError rebuilt(status);
        m_text = rebuilt.GetMessageText(width);
        return m_text.c_str();
    }
    char text[96];
    xsnprintf(text, sizeof text, "Operating system specific status encountered. [ID=%s]", m_identifier);
    m_text = text;
    return m_text.c_str();
}

int OVXError::OpenCatalog(const char* directory, const char* catalogName, const char* locale) {
    return OpenCatalogImpl(directory, catalogName, locale, false, static_cast<size_t>(-1));
}

uint32_t OVXError::MapOsError(uint32_t osError) {
    uint32_t facility = (osError >> 16) & 0xFFFu;
    if (facility == 9) return OVX_FACILITY_OS_BASE + (osError & 0xFFFFu);
    if (osError >= 10000 && osError <= 12000) return osError | OVX_FACILITY_SOCKET_BASE;
    switch (osError) {
        case ENOENT: return OVX_E_NOT_FOUND;
        case ESRCH: return OVX_E_CANNOT_OPEN;
        case EAGAIN: return OVX_E_TRY_AGAIN;
        case ENOMEM: return OVX_E_OUT_OF_MEMORY;
        case EACCES: return OVX_E_ACCESS_DENIED;
        case EFAULT: return OVX_E_BAD_ADDRESS;
        case EBUSY: return OVX_E_BUSY;
        case EEXIST: return OVX_E_ALREADY_EXISTS;
        case ENODEV: return OVX_E_NO_DEVICE;
        case ENOTDIR: return OVX_E_NOT_A_FOLDER;
        case EINVAL: return OVX_E_INVALID_ARGUMENT;
        case EFBIG:
        case ENOSPC: return OVX_E_NO_SPACE;
        default: return osError;
    }
}

void OVXError::RaiseAt(const char* file, unsigned line, uint32_t status) {
    OVXError error(status);
    char text[512];
    xsnprintf(text, sizeof text, "Error detected at: %s:%u\n%s", file ? file : "", line, error.GetMessageText());
    throw jsThreadException(text);
}

void ovxCloseCatalog() {
    std::lock_guard<std::mutex> guard(g_catalogMutex);
    nl_catd catalog = reinterpret_cast<nl_catd>(g_catalog.exchange(kNoCatalog));
    g_catalogGeneration.fetch_add(1, std::memory_order_acq_rel);
    if (catalog != reinterpret_cast<nl_catd>(-1)) catclose(catalog);
}

bool ovxCatalogIsOpen() { return CatalogOpen(); }

uint64_t ovxCatalogGeneration() {
    const uint64_t generation = g_catalogGeneration.load(std::memory_order_acquire);
    return CatalogOpen() ? generation : 0;
}

// Used by the C form (c-api-error.cpp).
int ovxOpenCatalogCForm(const char* directory, const char* name, const char* locale) {
    return OpenCatalogImpl(directory, name, locale, true, 8192);
}

}  // namespace ovxToolsLib
