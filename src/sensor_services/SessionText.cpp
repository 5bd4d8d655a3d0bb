#include "sensor_services/SessionText.h"

#include <cstring>

#include "cml/core/cmlDocument.h"
#include "cml/core/cmlException.h"
#include "cml/core/cmlParser.h"
#include "tools/ovxCodecvt.h"

using namespace ovx::cml;

namespace ovxSensorServices {

char* AgentCopy(const char* text) {
    if (text == nullptr) return nullptr;
    size_t length = std::strlen(text);
    char* copy = new char[length + 1];
    std::memcpy(copy, text, length + 1);
    return copy;
}

std::string Narrow(const std::wstring& text) { return ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(text); }
std::wstring Wide(const char* text, size_t length) { return ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(text, length); }
// Straight from the caller's bytes: no narrow copy of them on the way.
std::wstring Wide(const char* text) {
    return text != nullptr ? ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(text, std::strlen(text)) : std::wstring();
}

std::string CleanUtf8(const char* text) {
    return text != nullptr ? ovxToolsLib::ovxCleanUtf8(text, std::strlen(text)) : std::string();
}

std::string ParseFailureLine(const CCmlException& error, uint32_t status) {
    std::string line;
    if (const auto* schema = dynamic_cast<const CSchemaException*>(&error)) {
        line = "parse failed with schema error. Exception: " + Narrow(schema->Format());
        if (schema->size() > 0) {
            const CSchemaIncompatibility& first = *schema->begin();
            line += " Namespace: " + Narrow(first.GetNamespaceUri()) +
                    " Parser version: " + Narrow(first.GetSupportedVersion()) +
                    " Document version: " + Narrow(first.GetFoundVersion());
        }
    } else {
        line = "parse failed with CML error. Exception: " + Narrow(error.Format());
    }
    return line + " ERR code: " + StatusHex(status) + " CML code: " + StatusHex(error.GetErrorCode());
}

std::string ProcessingFailureLine(const CCmlException& error, uint32_t status) {
    return "message processing failed with CML error. Exception: " + Narrow(error.Format()) +
           " ERR code: " + StatusHex(status) + " CML code: " + StatusHex(error.GetErrorCode());
}

CServerDocumentReader::CServerDocumentReader() = default;
CServerDocumentReader::~CServerDocumentReader() = default;

std::unique_ptr<CCmlDocumentBase> CServerDocumentReader::Read(const uint8_t* data, uint32_t size,
                                                              const wchar_t* systemId) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_parser) m_parser = std::make_unique<CCmlParser>(kDoNotValidate);
    // The parsed document becomes the reader's: nothing a server sent stays
    // in the parser between answers.
    CCmlDOM_Document document;
    {
        // After a large answer, read or refused, the parser goes too: its
        // scanner keeps buffers as large as the largest value it met, which
        // would otherwise stay beside the objects built next (and for good).
        struct DropLargeParser {
            std::unique_ptr<CCmlParser>& parser;
            bool large;
            ~DropLargeParser() {
                if (large) parser.reset();
            }
        } drop{m_parser, size > kLargeAnswerBytes};
        CCmlDOM_Document& parsed = m_parser->GetDocument();
        struct Release {
            CCmlDOM_Document& document;
            ~Release() { document.SetDOMDocument(nullptr); }
        } release{parsed};
        m_parser->ParseBuffer(reinterpret_cast<const char*>(data), size, kDoNotValidate, nullptr, systemId);
        document.SetDOMDocument(parsed.GetDOMDocument());
        document.SetOwnsDocument(parsed.OwnsDocument());
        parsed.SetOwnsDocument(false);
    }
    CCmlDOM_Element root = document.getDocumentElement();
    if (root.IsNull()) return nullptr;
    return std::unique_ptr<CCmlDocumentBase>(DeserializeParsedDocument(root, kMatchCompatible));
}

}  // namespace ovxSensorServices
