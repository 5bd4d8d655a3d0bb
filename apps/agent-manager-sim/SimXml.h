// A one-pass reader for the plain XML agents post: UTF-8, no document type,
// no comments, processing instructions or CDATA sections, names in ASCII.
// It hands each element to the same handlers a streaming parser (expat)
// would, with the attribute values as that parser gives them (references
// replaced, white space normalized), and it is several times cheaper: it
// keeps no table of names and copies nothing but the values.
//
// It never decides that a document is ill-formed. Anything outside that
// plain form, well-formed or not, makes it give up (kGiveUp), and the
// caller reads the document again with the full parser, whose verdict is
// the one that counts; the handlers may have been called for part of the
// document by then.
#ifndef OVX_APPS_AGENT_MANAGER_SIM_SIMXML_H
#define OVX_APPS_AGENT_MANAGER_SIM_SIMXML_H

#include <cstddef>

namespace ovxSim {

// As expat's: `attributes` holds name, value, name, value..., then null.
using XmlStart = void (*)(void* user, const char* name, const char** attributes);
using XmlEnd = void (*)(void* user, const char* name);

enum class PlainXml { kRead, kGiveUp };

// kRead: `data` is a well-formed document, every element of which was
// handed to `start` and `end` in order.
PlainXml ReadPlainXml(const char* data, size_t size, void* user, XmlStart start, XmlEnd end);

}  // namespace ovxSim

#endif  // OVX_APPS_AGENT_MANAGER_SIM_SIMXML_H
