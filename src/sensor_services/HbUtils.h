// Operations on heartbeats: finding a request or response by tag among the
// message namespaces, and merging a newer heartbeat into a pending one.
#ifndef OVX_SENSOR_SERVICES_HBUTILS_H
#define OVX_SENSOR_SERVICES_HBUTILS_H

#include <string>

#include "cml/core/cmlMessage.h"

namespace ovxSensorServices {
namespace HbUtils {

// The namespaces of the messages this library sends and reads.
bool IsMessageNamespace(const std::wstring& ns);

// The first request (or response) with `tag` whose namespace is one of the
// message namespaces; NULL when there is none.
ovx::cml::CMessageBase* FindDocument(ovx::cml::CCmlMessage& message, const std::wstring& tag, bool requests);

// Merges `newer` into `pending`, kind by kind; documents of other kinds in
// `newer` are not carried over. Entries match on their identifying fields
// through hashed keys, so merging lists of n entries costs O(n).
void Merge(const ovx::cml::CCmlMessage& newer, ovx::cml::CCmlMessage& pending);

// Adds copies of the responses of `from` to `to`, after those `to` holds.
void CarryResponses(const ovx::cml::CCmlMessage& from, ovx::cml::CCmlMessage& to);

// Gives the group settings request items of `message` that ask with token
// `from` the token `to` instead; true when one changed.
bool ReplaceGroupSettingsToken(ovx::cml::CCmlMessage& message, const std::wstring& from, const std::wstring& to);

}  // namespace HbUtils
}  // namespace ovxSensorServices

#endif  // OVX_SENSOR_SERVICES_HBUTILS_H
