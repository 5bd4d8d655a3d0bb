// The exchanges whose answer the agent needs at once or soon: the key
// exchange and the site attachment (posted and answered on the agent's
// thread), the ping (queued for the dispatch thread, answered through a
// callback) and the alive heartbeats of the pulse thread.
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <thread>

#include "cml/core/cmlException.h"
#include "cml/core/cmlMessage.h"
#include "cml/core/cmlNamespaces.h"
#include "cml/core/cmlVocabulary.h"
#include "cml/documents/cmlAvpSections.h"
#include "cml/documents/cmlTrust.h"
#include "ovxStatus.h"
#include "sensor_services/HeartbeatRecord.h"
#include "sensor_services/SensorServices.h"
#include "sensor_services/SessionText.h"
#include "tools/ovxClock.h"
#include "tools/ovxGuid.h"
#include "transport/mslLoader_ovxSessionConfigSvcs.h"

using mslLoader_ovxSessionConfigSvcs::Scs;
using namespace ovx::cml;

namespace ovxSensorServices {

namespace {

const char kTrustPath[] = "/ovx/sensor_services/trust";
const char kTrustType[] = "application/x-ovx-cml-data; charset=UTF-8";
const char kPingPath[] = "/ovx/sensor_services/new_ping";
const char kAlivePath[] = "/ovx/sensor_services/alive";
const char kXmlDataType[] = "application/x-ovx-xml-data; charset=UTF-8";
const char kNullArgument[] = "A required input parameter is NULL.";
constexpr std::chrono::milliseconds kBusyWait(500);

// Step lines of an exchange at level 8 and its failures at level 1; a
// failure carries its status out of the exchange.
class ExchangeSteps {
public:
    ExchangeSteps(const CSensorServices& session, const char* where) : m_session(session), m_where(where) {}
    void Step(const char* text) const { m_session.TraceLine(SS_TRACE_PROGRESS, m_where, text); }
    [[noreturn]] void Fail(const char* text, uint32_t status) const { throw CTRLEXC(text, status); }

private:
    const CSensorServices& m_session;
    const char* m_where;
};

std::string Serialized(const CCmlMessage& message) {
    std::ostringstream out;
    message.Serialize(out);
    return out.str();
}

CCmlRequest* MakeRequest(const wchar_t* nameSpace, const wchar_t* version, const wchar_t* tag) {
    CCmlClassFactory* factory = GetGlobalClassFactory();
    if (factory == nullptr) return nullptr;
    std::unique_ptr<CCmlDocumentBase> document(factory->CreateDocument(nameSpace, version, tag, kMatchExact));
    auto* request = dynamic_cast<CCmlRequest*>(document.get());
    if (request != nullptr) document.release();
    return request;
}

void AddAgentKey(const ExchangeSteps& steps, CExchangeKeysRequest& request, const char* keyAlgorithm,
                 uint32_t keyLength, const char* pemText) {
    if (pemText == nullptr) return;
    if (keyAlgorithm != nullptr) {
        steps.Step("Adding Key");
        request.AddKey(Wide(pemText).c_str(), Wide(keyAlgorithm).c_str(), keyLength);
    } else {
        steps.Step("Adding Certificate via AddKey interface");
        request.AddKey(Wide(pemText).c_str(), nullptr, 0);
    }
}

// The answer of a trust exchange: a CML message with at least one response.
std::unique_ptr<CCmlDocumentBase> ReadTrustAnswer(CServerDocumentReader& reader, const ExchangeSteps& steps,
                                                  const uint8_t* data, uint32_t size, const char* emptyVector) {
    std::unique_ptr<CCmlDocumentBase> answer = reader.Read(data, size, L"OVX-SensorServices-Trust-Response");
    if (!answer) steps.Fail("No document object is registered for the input message document.", OVX_E_UNEXPECTED);
    auto* message = dynamic_cast<CCmlMessage*>(answer.get());
    if (message == nullptr) steps.Fail("The message document is of an unexpected type.", OVX_E_CML_NOT_A_MESSAGE);
    if (message->GetResponses().empty()) steps.Fail(emptyVector, OVX_E_UNEXPECTED);
    return answer;
}

}  // namespace

void CSensorServices::TraceLine(uint32_t level, const char* where, const char* text) const {
    Trace(level, where, text);
}

// ---- the synchronous post

uint32_t CSensorServices::Post(PostKind kind, int32_t serverIndex, const char* path, uint32_t options,
                               const char* contentType, const uint8_t* data, uint32_t size, const uint32_t* timeouts,
                               uint8_t** response, uint32_t* responseSize, SCS_PostInfo* info) {
    SCS_PostInfo described{};
    described.structSize = sizeof described;
    uint32_t status;
    const auto& scs = Scs();
    if (scs.SCS_PostDataEx != nullptr) {
        status = scs.SCS_PostDataEx(DefaultDestination(), serverIndex, path, options, contentType, data, size, timeouts,
                                    response, responseSize, &described);
    } else {
        // An older library: no options, and the bodies are all we can count.
        status = scs.SCS_PostData(DefaultDestination(), serverIndex, path, 0, contentType, data, size, timeouts,
                                  response, responseSize);
        described.bytesSent = size;
        described.bytesReceived = *responseSize;
    }
    m_statistics.Record(kind, status, described.bytesSent, described.bytesReceived);
    if (status == 0 && m_groupSettings.EndProbation()) {
        ForgetProbation();
        Trace(SS_TRACE_PROGRESS, "CSensorServices::Post()", "A post succeeded: the new group settings are kept.");
    }
    if (info != nullptr) *info = described;
    return status;
}

uint32_t CSensorServices::GetStatistics(SS_Statistics* statistics) {
    // Up to the end of the first counts: a caller that has not even those
    // has a structure from no version of this header.
    constexpr uint32_t kSmallest = offsetof(SS_Statistics, ping);
    if (statistics == nullptr || statistics->structSize < kSmallest) {
        Trace(SS_TRACE_ERROR, "CSensorServices::GetStatistics()", "statistics is NULL or its structSize too small");
        return OVX_E_INVALID_ARGUMENT;
    }
    SS_Statistics all{};
    m_statistics.Fill(all);
    {
        LockGuard hold(*this);
        uint32_t timeout = svcRetryState::kInfinite;
        int32_t index = svcRetryState::kNoServer;
        if (RetryState() != nullptr) {
            RetryState()->GetSchedule(nullptr, &index);
            // What the dispatch thread really waits, not the schedule's
            // step before jitter and the server's Retry-After.
            timeout = RetryState()->HandedDelay();
        }
        all.serverIndex = index;
        all.retryDelayMs = timeout;
    }
    const uint32_t size = statistics->structSize;
    all.structSize = size;
    // Whole fields only: what lies past this header's structure is zeroed.
    size_t copied = sizeof all;
    if (size < sizeof all) {
        static const size_t kEnds[] = {offsetof(SS_Statistics, ping),
                                       offsetof(SS_Statistics, alive),
                                       offsetof(SS_Statistics, exchange),
                                       offsetof(SS_Statistics, bytesSent),
                                       offsetof(SS_Statistics, bytesReceived),
                                       offsetof(SS_Statistics, serverIndex),
                                       offsetof(SS_Statistics, retryDelayMs),
                                       offsetof(SS_Statistics, lastSuccessTime),
                                       offsetof(SS_Statistics, lastFailureStatus),
                                       offsetof(SS_Statistics, reserved2)};
        copied = 0;
        for (size_t end : kEnds) {
            if (end <= size) copied = end;
        }
    }
    std::memcpy(statistics, &all, copied);
    if (size > sizeof all) std::memset(reinterpret_cast<uint8_t*>(statistics) + sizeof all, 0, size - sizeof all);
    return 0;
}

uint32_t CSensorServices::SynchronousPostData(PostKind kind, const char* path, uint32_t flags, const char* contentType,
                                              const uint8_t* data, uint32_t size, const uint32_t* timeouts,
                                              uint8_t** response, uint32_t* responseSize) {
    uint32_t servers = 0;
    uint32_t busyLimit = 0;
    {
        LockGuard hold(*this);
        servers = RetryState() != nullptr ? RetryState()->serverCount() : 0;
        busyLimit = RetryState() != nullptr ? RetryState()->maxServerRetry() : 0;
    }
    uint32_t status = OVX_E_SCS_NO_SERVERS;
    uint32_t busy = 0;
    for (uint32_t index = 0; index < servers;) {
        uint8_t* answer = nullptr;
        uint32_t answerSize = 0;
        try {
            status = Post(kind, static_cast<int32_t>(index), path, flags, contentType, data, size, timeouts, &answer,
                          &answerSize);
        } catch (...) {
            status = OVX_E_UNEXPECTED;
        }
        if (status == 0) {
            if (response != nullptr && responseSize != nullptr) {
                *response = answer;
                *responseSize = answerSize;
            } else if (answer != nullptr) {
                Scs().SCS_Free(answer);
            }
            return 0;
        }
        if (answer != nullptr) Scs().SCS_Free(answer);
        if (status == OVX_E_SCS_SERVER_BUSY && ++busy <= busyLimit) {
            std::this_thread::sleep_for(kBusyWait);
            continue;
        }
        busy = 0;
        ++index;
    }
    return status;
}

// ---- key exchange and site attachment

namespace {

// The trust post of an exchange, on the caller's thread with the caller's
// three timeouts (the session's own shut-down timeout last): a failed post
// ends the exchange with `postFailure` and its status, an empty answer with
// "The response message is empty.". The answer is the caller's to free.
void PostTrust(CSensorServices& session, const ExchangeSteps& steps, const std::string& text,
               const uint32_t (&callerTimeouts)[3], const char* postFailure, uint8_t** response,
               uint32_t* responseSize) {
    steps.Step("Posting data");
    const uint32_t timeouts[CBaseServices::kTimeoutCount] = {callerTimeouts[0], callerTimeouts[1], callerTimeouts[2],
                                                             session.ShutdownTimeout()};
    const uint32_t status = session.SynchronousPostData(
        PostKind::kExchange, kTrustPath, 0, kTrustType, reinterpret_cast<const uint8_t*>(text.data()),
        static_cast<uint32_t>(text.size()), timeouts, response, responseSize);
    if (status != 0) steps.Fail(postFailure, status);
    steps.Step("Posting Complete");
    if (*response == nullptr || *responseSize == 0) steps.Fail("The response message is empty.", OVX_E_UNEXPECTED);
}

// Runs the steps of an exchange and turns what they throw into a line at
// level 1 and the exchange's status; `unexpected` is the line of anything
// but a session or CML failure.
template <class Steps>
uint32_t RunExchange(const CSensorServices& session, const char* where, const char* unexpected, Steps run) {
    try {
        return run();
    } catch (const CTRLEXC& error) {
        session.TraceLine(SS_TRACE_ERROR, where, error.GetText().c_str());
        return error.GetCode();
    } catch (const CCmlException& error) {
        session.TraceLine(SS_TRACE_ERROR, where, Narrow(error.Format()).c_str());
        return error.GetErrorCode() != 0 ? error.GetErrorCode() : OVX_E_UNEXPECTED;
    } catch (...) {
        session.TraceLine(SS_TRACE_ERROR, where, unexpected);
        return OVX_E_UNEXPECTED;
    }
}

}  // namespace

uint32_t CSensorServices::ExchangeKeys(SS_HMESSAGE handle, uint32_t connectTimeout, uint32_t transferTimeout,
                                       uint32_t dnsCacheTimeout, const char* keyAlgorithm, uint32_t keyLength,
                                       const char* pemText, char** outAlgorithm, uint32_t* outKeyLength,
                                       char** outPemText) {
    const char* where = "CSensorServices::ExchangeKeys";
    const ExchangeSteps steps(*this, where);
    steps.Step("ENTER");
    if (handle == nullptr || outAlgorithm == nullptr || outKeyLength == nullptr || outPemText == nullptr) {
        Trace(SS_TRACE_ERROR, "CSensorServices::ExchangeKeys()", kNullArgument);
        return OVX_E_INVALID_ARGUMENT;
    }
    *outAlgorithm = *outPemText = nullptr;
    *outKeyLength = 0;
    auto* message = reinterpret_cast<CCmlMessage*>(handle);
    uint8_t* response = nullptr;
    uint32_t responseSize = 0;
    const uint32_t result = RunExchange(*this, where, "Unexpected exception!!.", [&] {
        steps.Step("Creating CML Class Factory");
        if (GetGlobalClassFactory() == nullptr) steps.Fail("Could not get the CML class factory!!", OVX_E_UNEXPECTED);
        steps.Step("Make request document");
        std::unique_ptr<CExchangeKeysRequest> request(
            dynamic_cast<CExchangeKeysRequest*>(MakeRequest(kNsMessage, kVersionMessage, kReqExchangeKeysRequest)));
        if (!request) steps.Fail("Could not create a document object for the request.", OVX_E_UNEXPECTED);
        AddAgentKey(steps, *request, keyAlgorithm, keyLength, pemText);
        steps.Step("Adding Request");
        message->AddRequest(request.release());
        steps.Step("Serializing");
        const std::string text = Serialized(*message);
        PostTrust(*this, steps, text, {connectTimeout, transferTimeout, dnsCacheTimeout},
                  "SynchronousPostData() failed.", &response, &responseSize);
        return ReadKeysAnswer(response, responseSize, outAlgorithm, outKeyLength, outPemText);
    });
    if (response != nullptr) Scs().SCS_Free(response);
    Trace(SS_TRACE_PROGRESS, where, "EXIT");
    return result;
}

uint32_t CSensorServices::AttachToSite(SS_HMESSAGE handle, uint32_t connectTimeout, uint32_t transferTimeout,
                                       uint32_t dnsCacheTimeout, const char* userName, const char* password,
                                       const char* keyAlgorithm, uint32_t keyLength, const char* pemText) {
    const char* outer = "CSensorServices::AttachToSite()";
    const char* where = "CSensorServices::AttachToSite";
    const ExchangeSteps steps(*this, where);
    Trace(SS_TRACE_PROGRESS, outer, "ENTER");
    if (handle == nullptr || userName == nullptr || password == nullptr || pemText == nullptr) {
        Trace(SS_TRACE_ERROR, outer, kNullArgument);
        return OVX_E_INVALID_ARGUMENT;
    }
    auto* message = reinterpret_cast<CCmlMessage*>(handle);
    uint8_t* response = nullptr;
    uint32_t responseSize = 0;
    const bool dump = m_dumps.Enabled();
    const uint32_t result = RunExchange(*this, where, "Unexpected exception caught!!", [&] {
        steps.Step("Creating CML Class Factory");
        if (GetGlobalClassFactory() == nullptr) steps.Fail("Could not get CML class factory!!", OVX_E_UNEXPECTED);
        steps.Step("Make attach request document");
        std::unique_ptr<CAttachToSiteRequest> attach(dynamic_cast<CAttachToSiteRequest*>(
            MakeRequest(kNsAgentMessages, kVersionAgentMessages, kReqAttachToSiteRequest)));
        if (!attach) {
            steps.Fail("Could not create a document object for the attach-to-site-request!", OVX_E_UNEXPECTED);
        }
        attach->SetUserName(Wide(userName));
        attach->SetPassword(Wide(password));
        steps.Step("Adding Request");
        message->AddRequest(attach.release());
        steps.Step("Make exchange keys request document");
        std::unique_ptr<CExchangeKeysRequest> keys(
            dynamic_cast<CExchangeKeysRequest*>(MakeRequest(kNsMessage, kVersionMessage, kReqExchangeKeysRequest)));
        if (!keys) {
            steps.Fail("Could not create a document object for the exchange-keys request!!", OVX_E_UNEXPECTED);
        }
        AddAgentKey(steps, *keys, keyAlgorithm, keyLength, pemText);
        steps.Step("Adding Request");
        message->AddRequest(keys.release());
        steps.Step("Serializing");
        const std::string text = Serialized(*message);
        // The text carries the password: only ever into a 0600 dump.
        if (dump) Dump("ss_dump_attachreq.xml", text.data(), text.size());
        PostTrust(*this, steps, text, {connectTimeout, transferTimeout, dnsCacheTimeout},
                  "SynchronousPostData() failed!!", &response, &responseSize);
        if (dump) Dump("ss_dump_attachresp.xml", response, responseSize);
        return ReadAttachAnswer(response, responseSize);
    });
    if (response != nullptr) Scs().SCS_Free(response);
    Trace(SS_TRACE_PROGRESS, outer, "EXIT");
    return result;
}

uint32_t CSensorServices::ReadKeysAnswer(const uint8_t* data, uint32_t size, char** outAlgorithm,
                                         uint32_t* outKeyLength, char** outPemText) const {
    const char* where = "CSensorServices::ExchangeKeys";
    const ExchangeSteps steps(*this, where);
    steps.Step("Processing the response");
    std::unique_ptr<CCmlDocumentBase> answer =
        ReadTrustAnswer(m_answerReader, steps, data, size, "Empty response vector!");
    auto* first = dynamic_cast<CExchangeKeysResponse*>(static_cast<CCmlMessage*>(answer.get())->GetResponses().front());
    // Anything but a key in answer is a failure, never a success with empty
    // results.
    if (first == nullptr || first->GetTagName() != kRespExchangeKeysResponse) {
        steps.Fail("The message document is of an unexpected type.", OVX_E_CML_NOT_A_MESSAGE);
    }
    if (first->GetCode() != 0) {
        Trace(SS_TRACE_ERROR, where, "(error from called routine)");
        return first->GetCode();
    }
    if (first->GetKeyCount() == 0) steps.Fail("The exchange-keys response carries no key.", OVX_E_BAD_RESPONSE);
    steps.Step("Extracting the returned key and populating the return arguments.");
    const CCmlKey& key = *first->GetKey(0);
    std::unique_ptr<char[]> algorithm(AgentCopy(Narrow(key.GetAlgorithm()).c_str()));
    std::unique_ptr<char[]> pem(AgentCopy(Narrow(key.GetPemText()).c_str()));
    *outAlgorithm = algorithm.release();
    *outPemText = pem.release();
    *outKeyLength = key.GetLength();
    return 0;
}

uint32_t CSensorServices::ReadAttachAnswer(const uint8_t* data, uint32_t size) const {
    const ExchangeSteps steps(*this, "CSensorServices::AttachToSite");
    steps.Step("Processing the response");
    std::unique_ptr<CCmlDocumentBase> answer =
        ReadTrustAnswer(m_answerReader, steps, data, size, "Empty response vector!!");
    for (CCmlResponse* candidate : static_cast<CCmlMessage*>(answer.get())->GetResponses()) {
        if (candidate->GetTagName() != kRespAttachToSiteResponse) continue;
        auto* typed = dynamic_cast<CAttachToSiteResponse*>(candidate);
        if (typed == nullptr)
            steps.Fail("The attach-to-site response is of an unexpected type.", OVX_E_CML_NOT_A_MESSAGE);
        return typed->GetCode();
    }
    // An answer that does not speak of the attachment has not attached.
    steps.Fail("The answer carries no attach-to-site response.", OVX_E_BAD_RESPONSE);
}

// ---- the ping

uint32_t CSensorServices::PostPing(char* buffer, uint32_t* length) {
    const std::string text = ovxToolsLib::ovxNewGuidText();
    if (buffer != nullptr && length != nullptr) {
        std::memset(buffer, 0, *length);
        if (text.size() <= *length) {
            std::memcpy(buffer, text.data(), text.size());
            *length = static_cast<uint32_t>(text.size());
        }
    }
    Dump("ss_dump_pingreq.txt", text.data(), text.size());
    std::unique_ptr<CHeartbeatRecord> record(new (std::nothrow) CHeartbeatRecord(text));
    if (!record) return OVX_E_OUT_OF_MEMORY;
    std::unique_ptr<CHeartbeatRecord> older;
    {
        LockGuard hold(*this);
        older = std::move(m_pendingPing);
        m_pendingPing = std::move(record);
    }
    RequestDispatch();
    return 0;
}

uint32_t CSensorServices::SendPendingPing(int32_t& serverIndex) {
    std::unique_ptr<CHeartbeatRecord> ping;
    uint32_t servers = 0;
    uint32_t busyLimit = 0;
    {
        LockGuard hold(*this);
        ping = std::move(m_pendingPing);
        servers = RetryState() != nullptr ? RetryState()->serverCount() : 0;
        busyLimit = RetryState() != nullptr ? RetryState()->maxServerRetry() : 0;
    }
    if (!ping) return 0;

    uint32_t status = OVX_E_SCS_NO_SERVERS;
    if (servers != 0) {
        const uint32_t start =
            serverIndex >= 0 && static_cast<uint32_t>(serverIndex) < servers ? static_cast<uint32_t>(serverIndex) : 0;
        uint32_t index = start;
        uint32_t busy = 0;
        do {
            uint8_t* response = nullptr;
            uint32_t responseSize = 0;
            try {
                status = Post(PostKind::kPing, static_cast<int32_t>(index), kPingPath, 0, kXmlDataType, ping->Data(),
                              ping->Size(), Timeouts(), &response, &responseSize);
            } catch (...) {
                status = OVX_E_UNEXPECTED;
            }
            ContinueAfterBlockingCall();
            if (status == 0) {
                if (response != nullptr && responseSize != 0) HelperProcessPingResponse(response, responseSize);
                if (response != nullptr) Scs().SCS_Free(response);
                {
                    LockGuard hold(*this);
                    if (RetryState() != nullptr) {
                        uint32_t timeout = 0;
                        int32_t current = 0;
                        RetryState()->GetSchedule(&timeout, &current);
                        if (current != static_cast<int32_t>(index)) {
                            RetryState()->SetServer(timeout, static_cast<int32_t>(index));
                        }
                    }
                }
                serverIndex = static_cast<int32_t>(index);
                return 0;
            }
            if (response != nullptr) Scs().SCS_Free(response);
            SS_ErrorCallbackFn callback = GetErrorCallback();
            if (callback != nullptr) CallAgent([&] { callback(status, 2); });
            if (status == OVX_E_SCS_SERVER_BUSY && ++busy <= busyLimit) {
                std::this_thread::sleep_for(kBusyWait);
                continue;
            }
            busy = 0;
            index = (index + 1) % servers;
        } while (index != start);
    }
    SS_PingResponseFn callback = ReadCallback(&CCallbackRegistry::Callbacks::pingResponse);
    if (callback != nullptr) {
        CallAgent([&] { callback(reinterpret_cast<const char*>(ping->Data()), ping->Size(), status, nullptr, 0); });
    }
    return status;
}

uint32_t CSensorServices::HelperProcessPingResponse(const uint8_t* data, uint32_t size) {
    const char* where = "CSensorServices::HelperProcessPingResponse";
    ovxToolsLib::ovxAgentGate::Pass pass(Gate().get());
    if (!pass.Open()) return 0;
    SS_PingResponseFn callback = ReadCallback(&CCallbackRegistry::Callbacks::pingResponse);
    // Nobody listens: the answer is not even read.
    if (callback == nullptr) return 0;
    if (data == nullptr || size == 0) {
        Trace(SS_TRACE_ERROR, where, kNullArgument);
        return OVX_E_INVALID_ARGUMENT;
    }
    Dump("ss_dump_pingresp.txt", data, size);
    std::string requestId;
    const uint32_t status = ReadAnswerGuarded(
        [&]() -> uint32_t {
            std::unique_ptr<CCmlDocumentBase> answer =
                m_answerReader.Read(data, size, L"OVX-SensorServices-Ping-Response");
            auto* sections = dynamic_cast<CCmlAvpSections*>(answer.get());
            if (sections == nullptr || sections->GetNamespaceUri() != kNsAvpSections) {
                throw CTRLEXC("The ping response is not an AVP sections document.", OVX_E_BAD_RESPONSE);
            }
            const CAvpSection* section = sections->FindSection(std::wstring(L"agent-ping"));
            const CNameValuePair* value = section != nullptr ? section->FindParameter(L"request-id") : nullptr;
            if (value == nullptr) throw CTRLEXC("no request ID specified in response", OVX_E_BAD_RESPONSE);
            requestId = Narrow(value->GetValue());
            return 0;
        },
        [&](const std::string& line) { Trace(SS_TRACE_ERROR, where, line.c_str()); },
        [](const CCmlException& error) {
            return std::make_pair(OVX_E_BAD_RESPONSE, ParseFailureLine(error, OVX_E_BAD_RESPONSE));
        });
    if (status != 0) return status;
    CallAgent([&] { callback(requestId.c_str(), static_cast<uint32_t>(requestId.size()), 0, data, size); });
    return 0;
}

// ---- alive heartbeats

uint32_t CSensorServices::StartAliveHeartbeats(uint32_t intervalMinutes, uint32_t durationMinutes) {
    // A zero interval would post without pause.
    if (intervalMinutes == 0) return OVX_E_INVALID_ARGUMENT;
    uint32_t status = 0;
    try {
        LockGuard hold(*this);
        m_aliveIntervalMinutes = intervalMinutes;
        m_aliveDurationMinutes = durationMinutes;
        const uint64_t period = static_cast<uint64_t>(intervalMinutes) * m_flags.aliveUnitSeconds;
        const uint32_t seconds = period > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(period);
        if (m_pulse) {
            m_pulse->SetPeriod(seconds);
        } else {
            std::unique_ptr<CPulseThread> pulse(new CPulseThread());
            status = pulse->Init(Threading(), Gate(), &CSensorServices::AliveHeartbeat, seconds, this);
            if (status == 0) m_pulse = std::move(pulse);
        }
    } catch (...) {
        status = OVX_E_UNEXPECTED;
    }
    return status;
}

uint32_t CSensorServices::StopAliveHeartbeats() {
    // The pulse may be posting: it is stopped outside the lock, or an alive
    // post waiting for the lock would hold up its own stop for a minute.
    std::unique_ptr<CPulseThread> pulse;
    {
        LockGuard hold(*this);
        pulse = std::move(m_pulse);
    }
    return pulse ? pulse->Stop() : 0;
}

bool CSensorServices::HasAliveThread() const {
    LockGuard hold(*this);
    return m_pulse != nullptr;
}

uint32_t CSensorServices::AliveHeartbeat(void* argument) {
    auto* self = static_cast<CSensorServices*>(argument);
    if (self == nullptr) return OVX_E_NOT_INITIALIZED;
    int64_t since = 0;
    int64_t duration = 0;
    {
        LockGuard hold(*self);
        since = ovxToolsLib::ovxClock::NowSeconds() - static_cast<int64_t>(self->m_lastPostTime);
        duration = static_cast<int64_t>(self->m_aliveDurationMinutes) * self->m_flags.aliveUnitSeconds;
    }
    // An agent that stopped posting heartbeats is not kept alive forever.
    if (since >= duration) return 0;
    char* agentId = nullptr;
    uint32_t status = Scs().SCS_GetAgentId(&agentId);
    if (status != 0) {
        if (agentId != nullptr) Scs().SCS_Free(agentId);
        return status;
    }
    if (agentId == nullptr) return OVX_E_SCS_NO_AGENT_ID;
    uint8_t* response = nullptr;
    uint32_t responseSize = 0;
    status = self->SynchronousPostData(
        PostKind::kAlive, kAlivePath, 0, kXmlDataType, reinterpret_cast<const uint8_t*>(agentId),
        static_cast<uint32_t>(std::strlen(agentId)), self->Timeouts(), &response, &responseSize);
    Scs().SCS_Free(agentId);
    if (response != nullptr) Scs().SCS_Free(response);
    return status;
}

}  // namespace ovxSensorServices
