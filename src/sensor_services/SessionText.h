// Small helpers of the session's trace lines and of reading what a server
// sends back.
#ifndef OVX_SENSOR_SERVICES_SESSIONTEXT_H
#define OVX_SENSOR_SERVICES_SESSIONTEXT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "cml/core/cmlException.h"
#include "ovxStatus.h"
#include "tools/xsnprintf.h"

namespace ovx {
namespace cml {
class CCmlException;
class CCmlDocumentBase;
class CCmlParser;
}  // namespace cml
}  // namespace ovx

namespace ovxSensorServices {

// The longest string argument, and the longest text a server may send that
// a heartbeat later carries back: 4095 bytes before the NUL.
constexpr size_t kMaxArgumentBytes = 4095;

// A status as trace lines write it: "0x" and eight lower-case hex digits.
inline std::string StatusHex(uint32_t code) {
    char text[16];
    ovxToolsLib::xsnprintf(text, sizeof text, "0x%08x", code);
    return text;
}

// The session's own exception: a text for the trace and the status the
// operation returns.
class CTRLEXC {
public:
    CTRLEXC(std::string text, uint32_t code) : m_text(std::move(text)), m_code(code) {}
    const std::string& GetText() const { return m_text; }
    uint32_t GetCode() const { return m_code; }
    // Its text, " ERR code: " and its code.
    std::string Line() const { return m_text + " ERR code: " + StatusHex(m_code); }

private:
    std::string m_text;
    uint32_t m_code;
};

// A copy for the agent, released with SS_Free; NULL stays NULL. Throws
// std::bad_alloc.
char* AgentCopy(const char* text);

std::string Narrow(const std::wstring& text);
std::wstring Wide(const char* text);
std::wstring Wide(const char* text, size_t length);
// The caller's UTF-8 as the documents that keep UTF-8 take it: ill-formed
// bytes replaced as Wide replaces them; NULL gives an empty text.
std::string CleanUtf8(const char* text);

// The line written when XML does not parse: "parse failed with schema
// error. Exception: ..." (naming the first incompatibility) or "parse failed
// with CML error. Exception: ...", then the session's status and the CML code.
std::string ParseFailureLine(const ovx::cml::CCmlException& error, uint32_t status);

// The line of a CML exception met while processing: its text, " ERR code: "
// with the session's status and " CML code: " with its own.
std::string ProcessingFailureLine(const ovx::cml::CCmlException& error, uint32_t status);

// Runs `read`, which reads a server's answer and acts on it, and turns what
// it throws into a line at level 1 (handed to `trace`) and a status: a CML
// failure gives the status and line `cmlFailure` makes of it, a session
// failure its own line and code, anything else "unknown exception" and
// OVX_E_BAD_RESPONSE.
template <class Read, class TraceLine, class CmlFailure>
uint32_t ReadAnswerGuarded(Read read, TraceLine trace, CmlFailure cmlFailure) {
    try {
        return read();
    } catch (const ovx::cml::CCmlException& error) {
        const std::pair<uint32_t, std::string> failure = cmlFailure(error);
        trace(failure.second);
        return failure.first;
    } catch (const CTRLEXC& error) {
        trace(error.Line());
        return error.GetCode();
    } catch (...) {
        trace(std::string("unknown exception"));
        return OVX_E_BAD_RESPONSE;
    }
}

// Reads bytes from a server into the registered class of their root element,
// without validation (the server may speak newer revisions); `systemId` names
// the input in error texts. NULL when no class is registered for the root.
// Parse failures throw the parser's exceptions.
//
// A session keeps one reader: making a Xerces parser costs more than parsing
// a typical answer, so the parser is made once and reused. Reads are
// serialised; the parsed DOM is released as soon as the answer's objects are
// built, so nothing a server sent stays behind between answers.
class CServerDocumentReader {
public:
    CServerDocumentReader();
    ~CServerDocumentReader();
    CServerDocumentReader(const CServerDocumentReader&) = delete;
    CServerDocumentReader& operator=(const CServerDocumentReader&) = delete;

    std::unique_ptr<ovx::cml::CCmlDocumentBase> Read(const uint8_t* data, uint32_t size, const wchar_t* systemId);

private:
    // Answers above this size are read by a parser made for them alone.
    static constexpr uint32_t kLargeAnswerBytes = 1024 * 1024;

    std::mutex m_lock;
    std::unique_ptr<ovx::cml::CCmlParser> m_parser;
};

}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_SESSIONTEXT_H
