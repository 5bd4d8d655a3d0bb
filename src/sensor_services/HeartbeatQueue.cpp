// The heartbeat queue: one pending heartbeat, replaced by or merged with a
// newer one, sent by the dispatch thread and put back when its post fails.
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <string>

#include "cml/core/cmlException.h"
#include "cml/core/cmlMessage.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlParser.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cmlAgentInfo.h"
#include "ovxStatus.h"
#include "sensor_services/HbUtils.h"
#include "sensor_services/SensorServices.h"
#include "sensor_services/SessionText.h"
#include "tools/ovxClock.h"
#include "tools/ovxCodecvt.h"
#include "tools/xsnprintf.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"

using mslLoader_ovxSessionConfigSvcs::Scs;
using namespace ovx::cml;

namespace ovxSensorServices {

namespace {

const char kHeartbeatPath[] = "/ovx/sensor_services/heartbeat";
const char kHeartbeatType[] = "application/x-ovx-cml-data; charset=UTF-8";

std::string Text(const CCmlMessage& message) {
    std::ostringstream out;
    message.Serialize(out);
    return out.str();
}

// A heartbeat or ping on the wire: a private copy of its bytes.
class CHeartbeatRecord {
public:
    explicit CHeartbeatRecord(const std::string& text)
        : m_data(new uint8_t[text.size() == 0 ? 1 : text.size()]), m_size(static_cast<uint32_t>(text.size())) {
        std::memcpy(m_data, text.data(), text.size());
    }
    CHeartbeatRecord(const CHeartbeatRecord&) = delete;
    CHeartbeatRecord& operator=(const CHeartbeatRecord&) = delete;
    virtual ~CHeartbeatRecord() { delete[] m_data; }
    const uint8_t* Data() const { return m_data; }
    uint32_t Size() const { return m_size; }

private:
    uint8_t* m_data;
    uint32_t m_size;
};

}  // namespace

bool CSensorServices::HasPendingHeartbeat() const {
    Lock();
    bool pending = m_pendingHeartbeat != nullptr;
    Unlock();
    return pending;
}

std::time_t CSensorServices::GetLastPostTime() const {
    Lock();
    std::time_t when = m_lastPostTime;
    Unlock();
    return when;
}

uint32_t CSensorServices::PostHeartbeat(SS_HMESSAGE message, char* buffer, uint32_t* length) {
    Lock();
    m_lastPostTime = static_cast<std::time_t>(ovxToolsLib::ovxClock::NowSeconds());
    Unlock();
    uint32_t status = QueueHeartbeatRequest(message, buffer, length);
    if (status != 0) return status;
    return RequestDispatch();
}

uint32_t CSensorServices::QueueHeartbeatRequest(SS_HMESSAGE handle, char* buffer, uint32_t* length) {
    const char* where = "CSensorServices::QueueHeartbeatRequest()";
    if (handle == nullptr) {
        Trace(SS_TRACE_ERROR, where, "A required input parameter is NULL.");
        return OVX_E_INVALID_ARGUMENT;
    }
    auto* message = reinterpret_cast<CCmlMessage*>(handle);
    char* schemaVersion = nullptr;
    char* hint = nullptr;
    auto releaseStrings = [&] {
        if (schemaVersion != nullptr) Scs().SCS_Free(schemaVersion);
        if (hint != nullptr) Scs().SCS_Free(hint);
        schemaVersion = hint = nullptr;
    };
    try {
        uint32_t result = Scs().SCS_GetCommSettingsInfo(DefaultDestination(), 0, 0, &schemaVersion, &hint);
        if (result != 0) {
            Trace(SS_TRACE_WARNING, where,
                  ("Failure while getting group settings information for heartbeat. Status: " + StatusHex(result)).c_str());
        } else if (GetFlags().autoGroupSettingsRequest) {
            const std::string token = GetGroupSettingsToken();
            const std::string groupSettings = ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(kNsGroupSettings);
            result = AddGetPolicyRequest(handle, token.c_str(), nullptr, groupSettings.c_str(),
                                         schemaVersion != nullptr ? schemaVersion : "", nullptr, nullptr);
        }
        const std::wstring groupHint =
            hint != nullptr ? ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(hint) : std::wstring();
        releaseStrings();

        auto* announcement =
            dynamic_cast<CAgentStartupAnnouncement*>(HbUtils::FindDocument(*message, kReqAgentStartupAnnouncement, true));
        if (announcement == nullptr) {
            Trace(SS_TRACE_ERROR, where, "Heartbeat message is missing its startup announcement");
            return OVX_E_UNEXPECTED;
        }
        if (announcement->GetContent().groupNameHint.empty() && !groupHint.empty()) {
            announcement->GetContent().groupNameHint = groupHint;
        }
        if (buffer != nullptr && length != nullptr) {
            const std::string text = Text(*message);
            std::memset(buffer, 0, *length);
            if (text.size() <= *length) {
                std::memcpy(buffer, text.data(), text.size());
                *length = static_cast<uint32_t>(text.size());
            }
        }
        std::unique_ptr<CCmlMessage> owned(message);  // the library's from here on
        std::unique_ptr<CCmlMessage> dropped;
        bool dump = false;
        Lock();
        try {
            if (!m_pendingHeartbeat) {
                m_pendingHeartbeat = std::move(owned);
            } else if (m_flags.mergeHeartbeatOnPost) {
                HbUtils::Merge(*owned, *m_pendingHeartbeat);
                dropped = std::move(owned);
            } else {
                dropped = std::move(m_pendingHeartbeat);
                m_pendingHeartbeat = std::move(owned);
            }
            dump = m_flags.dumpEnabled;
        } catch (...) {
            Unlock();
            owned.release();  // still the caller's: it stays with the agent
            throw;
        }
        std::string dumpText;
        if (dump && m_pendingHeartbeat) dumpText = Text(*m_pendingHeartbeat);
        Unlock();
        if (dump) WriteDumpFile("ss_dump_hbreq.txt", dumpText.data(), dumpText.size());
        return result;
    } catch (...) {
        releaseStrings();
        return OVX_E_UNEXPECTED;
    }
}

uint32_t CSensorServices::SendPendingData(int32_t serverIndex) {
    if (!IsDestinationOpen() && !IsListenerOpen()) return OVX_E_NOT_INITIALIZED;
    // A pending ping goes first; it comes with the synchronous exchanges.
    return SendPendingHeartbeat(serverIndex);
}

uint32_t CSensorServices::SendPendingHeartbeat(int32_t serverIndex) {
    const char* where = "CSensorServices::SendPendingHeartbeat";
    std::unique_ptr<CCmlMessage> heartbeat;
    Lock();
    heartbeat = std::move(m_pendingHeartbeat);
    const SessionFlags flags = m_flags;
    Unlock();
    if (!heartbeat) return 0;

    uint32_t status = 0;
    uint8_t* response = nullptr;
    uint32_t responseLength = 0;
    std::unique_ptr<CHeartbeatRecord> record;
    try {
        const std::string text = Text(*heartbeat);
        try {
            record = std::make_unique<CHeartbeatRecord>(text);
        } catch (const std::bad_alloc&) {
            status = OVX_E_OUT_OF_MEMORY;
            Trace(SS_TRACE_ERROR, where, ("unable to allocate heartbeat buffer! ERR code: " + StatusHex(status)).c_str());
        }
        if (record) {
            status = Scs().SCS_PostData(DefaultDestination(), serverIndex, kHeartbeatPath, 0, kHeartbeatType,
                                        record->Data(), record->Size(), Timeouts(), &response, &responseLength);
            if (status != 0) {
                SS_ErrorCallbackFn callback = GetErrorCallback();
                if (callback != nullptr) callback(status, 1);
            } else if (response != nullptr && responseLength != 0) {
                if (flags.processResponseThread) {
                    m_worker.QueueWorkItem(response, responseLength);
                } else {
                    HelperProcessHeartbeatResponse(response, responseLength);
                }
            }
        }
    } catch (const CCmlException& error) {
        Trace(SS_TRACE_ERROR, where,
              (ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(error.Format()) + " ERR code: " + StatusHex(error.GetErrorCode()))
                  .c_str());
        status = error.GetErrorCode();
    } catch (...) {
        Trace(SS_TRACE_ERROR, where, "unknown exception!");
        status = OVX_E_UNEXPECTED;
    }
    if (response != nullptr) Scs().SCS_Free(response);
    if (status != 0) {
        // Back into the slot for the retry schedule, unless a newer one
        // replaced it.
        std::unique_ptr<CCmlMessage> dropped;
        Lock();
        try {
            if (!m_pendingHeartbeat) {
                m_pendingHeartbeat = std::move(heartbeat);
            } else if (m_flags.mergeHeartbeatOnPost) {
                HbUtils::Merge(*m_pendingHeartbeat, *heartbeat);
                dropped = std::move(m_pendingHeartbeat);
                m_pendingHeartbeat = std::move(heartbeat);
            } else {
                dropped = std::move(heartbeat);
            }
        } catch (...) {
            Trace(SS_TRACE_ERROR, where, "unknown exception!");
        }
        Unlock();
    }
    return status;
}

uint32_t CSensorServices::HelperProcessHeartbeatResponse(const uint8_t* data, uint32_t size) {
    const char* where = "CSensorServices::HelperProcessHeartbeatResponse";
    if (data == nullptr || size == 0) {
        Trace(SS_TRACE_ERROR, where, "A required input parameter is NULL.");
        return OVX_E_INVALID_ARGUMENT;
    }
    if (GetFlags().dumpEnabled) WriteDumpFile("ss_dump_hbresp.txt", data, size);
    try {
        std::unique_ptr<CCmlDocumentBase> answer(CreateDocumentFromXml(reinterpret_cast<const char*>(data), size,
                                                                       kDoNotValidate, nullptr, nullptr,
                                                                       kMatchCompatible));
        return dynamic_cast<CCmlMessage*>(answer.get()) != nullptr ? 0 : 0xC7560005u;
    } catch (const CCmlException& error) {
        Trace(SS_TRACE_ERROR, where,
              ("parse failed with CML error. Exception: " + ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(error.Format()) +
               " ERR code: " + StatusHex(0xC7560005u) + " CML code: " + StatusHex(error.GetErrorCode()))
                  .c_str());
        return 0xC7560005u;
    } catch (...) {
        Trace(SS_TRACE_ERROR, where, "unknown exception");
        return 0xC7560005u;
    }
}

}  // namespace ovxSensorServices
