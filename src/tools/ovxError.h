// Error objects: a status code and the text the message catalog gives it.
//
// The catalog is a POSIX message catalog ("ovx-ZuviDevi.cat"), opened once per
// process; lookups are read-only and may run on any thread. Each OVXError owns
// its text buffer and is not meant to be shared between threads.
#ifndef OVX_TOOLS_OVXERROR_H
#define OVX_TOOLS_OVXERROR_H

#include <cstdint>
#include <string>
#include <vector>

namespace ovxToolsLib {

// One insert argument of a catalog text ("%1" .. "%99", "%n!fmt!").
class ovxInsert {
public:
    ovxInsert(const char* text) : m_kind(kText), m_text(text ? text : "") {}       // NOLINT: implicit on purpose
    ovxInsert(const std::string& text) : m_kind(kText), m_text(text) {}            // NOLINT
    ovxInsert(unsigned long long value) : m_kind(kUnsigned), m_unsigned(value) {}  // NOLINT
    ovxInsert(unsigned long value) : ovxInsert(static_cast<unsigned long long>(value)) {}  // NOLINT
    ovxInsert(unsigned value) : ovxInsert(static_cast<unsigned long long>(value)) {}       // NOLINT
    ovxInsert(long long value) : m_kind(kSigned), m_signed(value) {}                       // NOLINT
    ovxInsert(long value) : ovxInsert(static_cast<long long>(value)) {}                    // NOLINT
    ovxInsert(int value) : ovxInsert(static_cast<long long>(value)) {}                     // NOLINT

    // Formats the value with a printf conversion directive (without the '%'); a directive
    // that is not a plain, single conversion falls back to the default form.
    std::string Format(const std::string& directive) const;
    std::string Plain() const;

private:
    enum Kind { kText, kUnsigned, kSigned };
    Kind m_kind;
    std::string m_text;
    unsigned long long m_unsigned = 0;
    long long m_signed = 0;
};

// Message text options.
enum : unsigned {
    kOvxMsgNoIdentifier = 1,  // the text without "[ID=...]"
    kOvxMsgNoInserts = 2,     // copy the catalog text without expanding inserts
};

class OVXError {
public:
    // catalogFlag makes a status below 0x10000 be looked up in the catalog
    // instead of being taken as a system error number.
    explicit OVXError(uint32_t status, bool catalogFlag = false);
    OVXError(const OVXError&) = delete;
    OVXError& operator=(const OVXError&) = delete;
    virtual ~OVXError() = default;

    uint32_t GetStatus() const { return m_status; }
    const char* GetIdentifier() const { return m_identifier; }

    // Text of the status, at most `width` characters per line (capped at 255,
    // 0 = no limit). The pointer stays valid until the next call on this object.
    const char* GetMessageText(unsigned width = 0, const std::vector<ovxInsert>& inserts = {}, unsigned options = 0);

    // The same for a status that came from the operating system.
    const char* GetOsMessageText(unsigned width = 0);

    // Opens the process's message catalog; returns 0 or the system error number.
    static int OpenCatalog(const char* directory, const char* catalogName, const char* locale);

    // Maps an operating-system error number (or an OS status) to a status.
    static uint32_t MapOsError(uint32_t osError);

    // Formats "Error detected at: file:line\n<text>" and throws jsThreadException.
    [[noreturn]] static void RaiseAt(const char* file, unsigned line, uint32_t status);

    // Catalog address of a status (set and message number); exposed for tests.
    static int CatalogSet(uint32_t status);
    static int CatalogMessage(uint32_t status);

private:
    std::string BuildText(unsigned width, const std::vector<ovxInsert>& inserts, unsigned options);

    uint32_t m_status;
    char m_identifier[12];
    bool m_catalogFlag;
    std::string m_text;
};

// Expands the insert escapes of a catalog text; exposed for tests.
std::string ovxExpandInserts(const std::string& text, const std::vector<ovxInsert>& inserts, unsigned width,
                             bool* endedByPercentZero);

// Closes the process's catalog. Only for tests and library unload: no other
// thread may be looking up a text at the same time.
void ovxCloseCatalog();

// True when a catalog is open.
bool ovxCatalogIsOpen();
// Which catalog is open: a number that changes whenever one is opened or
// closed, 0 while none is. A text read from the catalog stays right for as
// long as this number stays the same.
uint64_t ovxCatalogGeneration();

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXERROR_H
