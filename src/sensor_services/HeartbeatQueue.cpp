// The heartbeat queue: one pending heartbeat, replaced by or merged with a
// newer one, sent by the dispatch thread and put back when its post fails.
#include <atomic>
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
#include "sensor_services/HeartbeatRecord.h"
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

// A heartbeat's text. Heartbeats of one agent are about the same size from
// one to the next: the room the last one took is reserved up front.
std::string Text(const CCmlMessage& message) {
    static std::atomic<size_t> s_lastSize{0};
    std::string text;
    text.reserve(s_lastSize.load(std::memory_order_relaxed) + 1024);
    {
        XmlUtils::CXmlOut out(text);
        message.EmitDocument(out);
    }
    s_lastSize.store(text.size(), std::memory_order_relaxed);
    return text;
}

}  // namespace

bool CSensorServices::HasPendingHeartbeat() const {
    LockGuard hold(*this);
    return m_pendingHeartbeat != nullptr;
}

bool CSensorServices::HoldsSentHeartbeat() const {
    LockGuard hold(*this);
    return m_sent.message != nullptr;
}

std::time_t CSensorServices::GetLastPostTime() const {
    LockGuard hold(*this);
    return m_lastPostTime;
}

bool IsCallerOwnedStatus(uint32_t status) {
    return status == OVX_E_INVALID_ARGUMENT || status == OVX_E_OUT_OF_MEMORY || status == OVX_E_UNEXPECTED ||
           status == OVX_E_NOT_INITIALIZED;
}

uint32_t CSensorServices::PostHeartbeat(SS_HMESSAGE message, char* buffer, uint32_t* length) {
    return PostHeartbeat(message, buffer, length, nullptr);
}

uint32_t CSensorServices::PostHeartbeat(SS_HMESSAGE message, char* buffer, uint32_t* length, bool* taken, bool own) {
    // Freed last, once the dispatch thread has been asked to run.
    SentHeartbeat sent;
    {
        LockGuard hold(*this);
        m_lastPostTime = static_cast<std::time_t>(ovxToolsLib::ovxClock::NowSeconds());
        sent = std::move(m_sent);
    }
    // A session that is shutting down takes nothing new: the heartbeat
    // stays the caller's, as it would once the session is gone.
    if (IsStopping()) return OVX_E_NOT_INITIALIZED;
    bool queued = false;
    // The out buffer's zeroed tail is written once the dispatch thread has
    // been asked to run: it works on the heartbeat meanwhile. The buffer is
    // whole before the call returns, whichever way it returns.
    struct ZeroTail {
        OutBufferTail tail{nullptr, 0};
        ~ZeroTail() {
            if (tail.size != 0) std::memset(tail.data, 0, tail.size);
        }
    } zero;
    uint32_t status = QueueHeartbeatRequest(message, buffer, length, &queued, &zero.tail, own);
    if (taken != nullptr) *taken = queued;
    if (!queued) return status;
    const uint32_t dispatch = RequestDispatch();
    if (status == 0) status = dispatch;
    // The heartbeat is the library's now: a status that tells the agent to
    // free it would free what the queue holds.
    return IsCallerOwnedStatus(status) ? 0 : status;
}

uint32_t CSensorServices::AddGroupSettingsStep(SS_HMESSAGE handle, uint32_t& info, std::wstring& groupHint) {
    const char* where = "CSensorServices::QueueHeartbeatRequest()";
    char* schemaVersion = nullptr;
    char* hint = nullptr;
    struct Strings {
        const mslLoader_ovxSessionConfigSvcs::ScsFunctionTable& scs;
        char*& first;
        char*& second;
        ~Strings() {
            if (first != nullptr) scs.SCS_Free(first);
            if (second != nullptr) scs.SCS_Free(second);
        }
    } release{Scs(), schemaVersion, hint};
    info = Scs().SCS_GetCommSettingsInfo(DefaultDestination(), 0, 0, &schemaVersion, &hint);
    if (info != 0) {
        Trace(SS_TRACE_WARNING, where,
              ("Failure while getting group settings information for heartbeat. Status: " + StatusHex(info)).c_str());
        // Only statuses of its own tell the agent the heartbeat was
        // queued; one of those that leave it with the agent stops here.
        if (IsCallerOwnedStatus(info)) return info;
    } else if (GetFlags().autoGroupSettingsRequest) {
        // What goes in here was checked when it arrived (group settings
        // tokens, schema versions), so the step fails only for want of
        // memory, and then the heartbeat, unchanged, stays the agent's.
        const std::string token = GetGroupSettingsToken();
        // Made once and never destroyed: a session thread may still queue a
        // heartbeat while the process exits.
        static const std::string* const groupSettings =
            new std::string(ovxToolsLib::ovxUnicode<wchar_t>::ToUtf8(kNsGroupSettings));
        const uint32_t added = AddGetPolicyRequest(handle, token.c_str(), nullptr, groupSettings->c_str(),
                                                   schemaVersion != nullptr ? schemaVersion : "", nullptr, nullptr);
        if (added != 0) return IsCallerOwnedStatus(added) ? added : OVX_E_UNEXPECTED;
    }
    groupHint = hint != nullptr ? ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(hint) : std::wstring();
    return 0;
}

void CSensorServices::EnqueueHeartbeat(CCmlMessage* message, bool* taken, std::string text, bool own) {
    std::unique_ptr<CCmlMessage> dropped, copied;
    bool dump = false;
    std::string dumpText;
    bool store = false;
    std::string storeText;
    uint64_t version = 0;
    {
        LockGuard hold(*this);
        std::unique_ptr<CCmlMessage> owned(message);
        bool merged = false;
        try {
            if (!m_pendingHeartbeat) {
                m_pendingHeartbeat = std::move(owned);
                m_pendingOwn = own;
            } else if (own) {
                HbUtils::CarryResponses(*owned, *m_pendingHeartbeat);
                dropped = std::move(owned);
                merged = true;
            } else if (m_pendingOwn) {
                // Into a copy, so that the agent's heartbeat stays as it
                // was if memory runs out on the way.
                std::unique_ptr<CCmlMessage> joined(owned->Clone());
                HbUtils::CarryResponses(*m_pendingHeartbeat, *joined);
                dropped = std::move(m_pendingHeartbeat);
                m_pendingHeartbeat = std::move(joined);
                m_pendingOwn = false;
                merged = true;
                copied = std::move(owned);
            } else if (m_flags.mergeHeartbeatOnPost) {
                HbUtils::Merge(*owned, *m_pendingHeartbeat);
                dropped = std::move(owned);
                merged = true;
            } else {
                dropped = std::move(m_pendingHeartbeat);
                m_pendingHeartbeat = std::move(owned);
            }
        } catch (...) {
            owned.release();  // still the caller's: it stays with the agent
            throw;
        }
        // A merged heartbeat is another text: it is made when it is sent.
        m_pendingText = merged ? std::string() : std::move(text);
        if (taken != nullptr) *taken = true;
        // From here on the heartbeat is the library's whatever happens: a
        // dump that cannot be made is skipped, never reported as a refusal.
        dump = m_dumps.Enabled();
        try {
            if (dump && m_pendingHeartbeat)
                dumpText = m_pendingText.empty() ? Text(*m_pendingHeartbeat) : m_pendingText;
        } catch (...) {
            dump = false;
        }
        version = ++m_slotVersion;
        store = m_storeOn;
        try {
            if (store) storeText = StoreTextLocked();
        } catch (...) {
            store = false;  // the store keeps the last heartbeat it could write
        }
    }
    if (dump) Dump("ss_dump_hbreq.txt", dumpText.data(), dumpText.size());
    if (store) m_store.Save(version, storeText);
}

std::string CSensorServices::StoreTextLocked() const {
    // While a heartbeat is on its way in merge mode, the store holds it
    // merged with the pending one, as the retry would send them: a kill
    // before the server acknowledges it then loses neither.
    if (m_inFlight && m_flags.mergeHeartbeatOnPost) {
        std::unique_ptr<CCmlMessage> both(m_inFlight->Clone());
        if (m_pendingHeartbeat) HbUtils::Merge(*m_pendingHeartbeat, *both);
        return Text(*both);
    }
    return m_pendingText.empty() ? Text(*m_pendingHeartbeat) : m_pendingText;
}

void CSensorServices::RetokenPendingHeartbeat(const std::string& from, const std::string& to) {
    std::string storeText;
    uint64_t version = 0;
    {
        LockGuard hold(*this);
        if (!m_pendingHeartbeat ||
            !HbUtils::ReplaceGroupSettingsToken(*m_pendingHeartbeat, ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(from),
                                                ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(to))) {
            return;
        }
        m_pendingText.clear();  // made again, with the token it now carries
        if (m_storeOn) {
            version = ++m_slotVersion;
            storeText = Text(*m_pendingHeartbeat);
        }
    }
    if (version != 0) m_store.Save(version, storeText);
}

void CSensorServices::PutBack(std::unique_ptr<CCmlMessage> heartbeat, bool own) {
    // Back into the slot for the retry schedule, unless a newer one replaced
    // it. The store already holds whichever stays, except a merge of both.
    std::unique_ptr<CCmlMessage> dropped;
    std::string storeText;
    uint64_t version = 0;
    try {
        LockGuard hold(*this);
        m_inFlight.reset();
        if (!m_pendingHeartbeat) {
            m_pendingHeartbeat = std::move(heartbeat);
            m_pendingOwn = own;
            // Its text went into the record; it is made again on the retry.
        } else if (own || m_pendingOwn) {
            // The library's error responses join the agent's heartbeat (or
            // the newer of two of the library's), whichever failed.
            if (m_pendingOwn && !own) std::swap(heartbeat, m_pendingHeartbeat);
            m_pendingOwn = own && m_pendingOwn;
            HbUtils::CarryResponses(*heartbeat, *m_pendingHeartbeat);
            m_pendingText.clear();
            dropped = std::move(heartbeat);
            if (m_storeOn) {
                version = ++m_slotVersion;
                storeText = Text(*m_pendingHeartbeat);
            }
        } else if (m_flags.mergeHeartbeatOnPost) {
            m_pendingText.clear();
            HbUtils::Merge(*m_pendingHeartbeat, *heartbeat);
            dropped = std::move(m_pendingHeartbeat);
            m_pendingHeartbeat = std::move(heartbeat);
            if (m_storeOn) {
                version = ++m_slotVersion;
                storeText = Text(*m_pendingHeartbeat);
            }
        } else {
            dropped = std::move(heartbeat);
        }
    } catch (...) {
        Trace(SS_TRACE_ERROR, "CSensorServices::SendPendingHeartbeat", "unknown exception!");
    }
    if (version != 0) m_store.Save(version, storeText);
}

void CSensorServices::RestorePendingHeartbeat() {
    const char* where = "CSensorServices::RestorePendingHeartbeat()";
    std::string text;
    m_store.RemoveLeftTemporaries();
    if (!m_store.Load(text)) return;
    std::unique_ptr<CCmlDocumentBase> document;
    try {
        document = m_answerReader.Read(reinterpret_cast<const uint8_t*>(text.data()),
                                       static_cast<uint32_t>(text.size()), L"OVX-SensorServices-Pending-Heartbeat");
    } catch (...) {
        document.reset();
    }
    auto* message = dynamic_cast<CCmlMessage*>(document.get());
    if (message == nullptr || HbUtils::FindDocument(*message, kReqAgentStartupAnnouncement, true) == nullptr) {
        m_store.SetAside("is not a heartbeat");
        return;
    }
    {
        LockGuard hold(*this);
        if (m_pendingHeartbeat) return;  // the agent was quicker: its heartbeat wins
        document.release();
        m_pendingHeartbeat.reset(message);
        m_pendingOwn = false;
        // Sent as the very bytes that were stored.
        m_pendingText = std::move(text);
        ++m_slotVersion;
    }
    Trace(SS_TRACE_PROGRESS, where, "A heartbeat left pending by an earlier session is queued first.");
    RequestDispatch();
}

uint32_t CSensorServices::QueueHeartbeatRequest(SS_HMESSAGE handle, char* buffer, uint32_t* length, bool* taken,
                                                OutBufferTail* zeroLater, bool own) {
    if (taken != nullptr) *taken = false;
    const char* where = "CSensorServices::QueueHeartbeatRequest()";
    if (handle == nullptr) {
        Trace(SS_TRACE_ERROR, where, "A required input parameter is NULL.");
        return OVX_E_INVALID_ARGUMENT;
    }
    auto* message = reinterpret_cast<CCmlMessage*>(handle);
    try {
        uint32_t result = 0;
        std::wstring groupHint;
        const uint32_t stopped = AddGroupSettingsStep(handle, result, groupHint);

        if (stopped != 0) return stopped;
        auto* announcement = dynamic_cast<CAgentStartupAnnouncement*>(
            HbUtils::FindDocument(*message, kReqAgentStartupAnnouncement, true));
        if (announcement == nullptr) {
            Trace(SS_TRACE_ERROR, where, "Heartbeat message is missing its startup announcement");
            return OVX_E_UNEXPECTED;
        }
        if (announcement->GetContent().groupNameHint.empty() && !groupHint.empty()) {
            announcement->GetContent().groupNameHint = groupHint;
        }
        std::string text;
        if (buffer != nullptr && length != nullptr) {
            text = Text(*message);

            OutBufferTail tail{buffer, *length};
            if (text.size() <= *length) {
                std::memcpy(buffer, text.data(), text.size());
                tail = {buffer + text.size(), *length - text.size()};
                *length = static_cast<uint32_t>(text.size());
            }
            if (zeroLater != nullptr) {
                *zeroLater = tail;
            } else if (tail.size != 0) {
                std::memset(tail.data, 0, tail.size);
            }
        }
        EnqueueHeartbeat(message, taken, std::move(text), own);
        return result;
    } catch (...) {
        return OVX_E_UNEXPECTED;
    }
}

uint32_t CSensorServices::SendPendingData(int32_t serverIndex) {
    if (!IsDestinationOpen() && !IsListenerOpen()) return OVX_E_NOT_INITIALIZED;
    // The ping goes first and may move the index to the server that
    // answered it: the heartbeat follows it there.
    // Settings that reached no server in their probation time go first:
    // the list is then the good one, from its first server.
    if (RollBackExpiredSettings()) serverIndex = 0;
    SendPendingPing(serverIndex);
    return SendPendingHeartbeat(serverIndex);
}

uint32_t CSensorServices::PostHeartbeatRecord(const CHeartbeatRecord& record, int32_t serverIndex, bool compress,
                                              uint8_t** response, uint32_t* responseLength) {
    if (compress) {
        LockGuard hold(*this);
        compress = m_plainServers.count(serverIndex) == 0;
    }
    SCS_PostInfo info{};
    uint32_t status = Post(PostKind::kHeartbeat, serverIndex, kHeartbeatPath, compress ? SCS_POST_GZIP : 0,
                           kHeartbeatType, record.Data(), record.Size(), Timeouts(), response, responseLength, &info);
    if (compress && status == OVX_E_SCS_HTTP_STATUS && (info.httpStatus == 415 || info.httpStatus == 400)) {
        // A server that cannot read compressed bodies gets plain ones from
        // now on; this heartbeat goes again at once, plain.
        if (TraceWanted(SS_TRACE_WARNING)) {
            Trace(SS_TRACE_WARNING, "CSensorServices::SendPendingHeartbeat",
                  ("Server index #" + std::to_string(serverIndex) + " refused a compressed heartbeat (HTTP " +
                   std::to_string(info.httpStatus) + "); sending it uncompressed from now on.")
                      .c_str());
        }
        {
            LockGuard hold(*this);
            m_plainServers.insert(serverIndex);
        }
        status = Post(PostKind::kHeartbeat, serverIndex, kHeartbeatPath, 0, kHeartbeatType, record.Data(),
                      record.Size(), Timeouts(), response, responseLength, &info);
    }
    if (status != 0 && info.retryAfterMs != 0) {
        LockGuard hold(*this);
        if (RetryState() != nullptr) RetryState()->SetServerDelay(info.retryAfterMs);
    }
    return status;
}

std::unique_ptr<CCmlMessage> CSensorServices::TakePendingHeartbeat(std::string& text, SessionFlags& flags,
                                                                   uint64_t& version, bool& own) {
    LockGuard hold(*this);
    std::unique_ptr<CCmlMessage> heartbeat = std::move(m_pendingHeartbeat);
    own = m_pendingOwn;
    m_pendingOwn = false;
    text = std::move(m_pendingText);
    m_pendingText.clear();
    flags = m_flags;
    version = m_slotVersion;
    if (!heartbeat) return heartbeat;
    try {
        // One queued while a rollback was under way may still ask with the
        // rolled-back token: it goes with the one in force.
        const std::string refused = m_groupSettings.RefusedToken();
        if (!refused.empty() &&
            HbUtils::ReplaceGroupSettingsToken(*heartbeat, ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(refused),
                                               ovxToolsLib::ovxUnicode<wchar_t>::FromUtf8(m_groupSettings.Token()))) {
            text.clear();
        }
        // Kept until the server acknowledges it, for the store to merge a
        // heartbeat posted meanwhile with (merge mode only: otherwise the
        // newer one replaces it).
        if (m_storeOn && flags.mergeHeartbeatOnPost) m_inFlight.reset(heartbeat->Clone());
    } catch (...) {
        m_inFlight.reset();  // short of memory: the store keeps the pending heartbeat only
    }
    return heartbeat;
}

void CSensorServices::ForgetSentHeartbeat(uint64_t takenVersion) {
    // Sent: the store goes, unless a newer heartbeat is already waiting
    // (the store holds that one).
    bool remove = false;
    std::string storeText;
    uint64_t version = 0;
    try {
        LockGuard hold(*this);
        const bool merged = m_inFlight != nullptr;
        m_inFlight.reset();
        remove = m_storeOn && !m_pendingHeartbeat;
        if (merged && m_pendingHeartbeat) {  // the store held both: now the pending one alone
            version = ++m_slotVersion;
            storeText = StoreTextLocked();
        }
    } catch (...) {
        version = 0;  // the store keeps both: sent again at worst, never lost
    }
    if (remove) m_store.Remove(takenVersion);
    if (version != 0) m_store.Save(version, storeText);
}

uint32_t CSensorServices::SendPendingHeartbeat(int32_t serverIndex) {
    const char* where = "CSensorServices::SendPendingHeartbeat";
    std::string text;
    SessionFlags flags;
    uint64_t takenVersion = 0;
    bool own = false;
    std::unique_ptr<CCmlMessage> heartbeat = TakePendingHeartbeat(text, flags, takenVersion, own);
    if (!heartbeat) return 0;

    uint32_t status = 0;
    uint8_t* response = nullptr;
    uint32_t responseLength = 0;
    std::unique_ptr<CHeartbeatRecord> record;
    bool retired = false;
    try {
        try {
            record = std::make_unique<CHeartbeatRecord>(text.empty() ? Text(*heartbeat) : std::move(text));
        } catch (const std::bad_alloc&) {
            throw CTRLEXC("unable to allocate heartbeat buffer!", OVX_E_OUT_OF_MEMORY);
        }
        status = PostHeartbeatRecord(*record, serverIndex, flags.compressPosts, &response, &responseLength);
        ContinueAfterBlockingCall();
        if (status != 0) {
            SS_ErrorCallbackFn callback = GetErrorCallback();
            if (callback != nullptr) CallAgent([&] { callback(status, 1); });
        } else if (response != nullptr && responseLength != 0) {
            if (flags.processResponseThread) {
                // Done with the sent heartbeat before the worker is woken:
                // the session lock this takes is then free by the time the
                // worker and the agent it calls back want it. Nothing after
                // this can fail the post.
                ForgetSentHeartbeat(takenVersion);
                RetireSentHeartbeat(std::move(heartbeat), std::move(record));
                retired = true;
                m_worker.QueueWorkItem(response, responseLength);
            } else {
                HelperProcessHeartbeatResponse(response, responseLength);
            }
        }
    } catch (const CTRLEXC& error) {
        Trace(SS_TRACE_ERROR, where, error.Line().c_str());
        status = error.GetCode();
    } catch (...) {
        Trace(SS_TRACE_ERROR, where, "unknown exception!");
        status = OVX_E_UNEXPECTED;
    }
    if (response != nullptr) Scs().SCS_Free(response);
    if (retired) return status;
    if (status == 0) {
        ForgetSentHeartbeat(takenVersion);
        RetireSentHeartbeat(std::move(heartbeat), std::move(record));
    } else {
        PutBack(std::move(heartbeat), own);
    }
    return status;
}

void CSensorServices::RetireSentHeartbeat(std::unique_ptr<CCmlMessage> heartbeat,
                                          std::unique_ptr<CHeartbeatRecord> record) {
    // Kept, a heartbeat lives on while the agent builds the next one: only
    // one of usual size is, so that a large one does not double what the
    // agent's heartbeats take at their peak (its freeing costs far more
    // than a wait on the allocator's lock anyway).
    constexpr uint32_t kKeptTextLimit = 256 * 1024;
    if (record != nullptr && record->Size() > kKeptTextLimit) return;
    SentHeartbeat older;  // one the agent has not posted after: freed here
    LockGuard hold(*this);
    older = std::move(m_sent);
    m_sent.message = std::move(heartbeat);
    m_sent.record = std::move(record);
}

void CSensorServices::FreeSentHeartbeat() {
    SentHeartbeat sent;  // freed on return, outside the lock
    LockGuard hold(*this);
    sent = std::move(m_sent);
}

}  // namespace ovxSensorServices
