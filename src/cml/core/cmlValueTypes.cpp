#include "cml/core/cmlValueTypes.h"

#include <xercesc/dom/DOMException.hpp>

#include <cwchar>
#include <ios>
#include <limits>
#include <locale>
#include <sstream>

#include "cml/core/cmlException.h"
#include "cml/core/cmlXmlText.h"

namespace ovx {
namespace cml {
namespace XmlUtils {

namespace {

// Gives a writer the default format, whatever the caller had set (hex,
// showpos, ...), and restores the caller's format when the writer is done.
template <class Char>
class FormatGuard {
public:
    explicit FormatGuard(std::basic_ostream<Char>& out)
        : m_out(out),
          m_flags(out.flags()),
          m_fill(out.fill()),
          m_precision(out.precision()),
          m_width(out.width()),
          m_locale(out.imbue(std::locale::classic())) {
        out.flags(std::ios_base::dec);
        out.precision(6);
        out.width(0);
    }
    ~FormatGuard() {
        m_out.flags(m_flags);
        m_out.fill(m_fill);
        m_out.precision(m_precision);
        m_out.width(m_width);
        m_out.imbue(m_locale);
    }
    FormatGuard(const FormatGuard&) = delete;
    FormatGuard& operator=(const FormatGuard&) = delete;

private:
    std::basic_ostream<Char>& m_out;
    std::ios_base::fmtflags m_flags;
    Char m_fill;
    std::streamsize m_precision, m_width;
    std::locale m_locale;  // a grouping locale would write 2007 as "2,007"
};

// Fixed-width, zero-padded number; a sign goes before the zeros.
template <class Char, class Number>
void Padded(std::basic_ostream<Char>& out, Number value, int width) {
    out.fill(out.widen('0'));
    out.setf(std::ios_base::internal, std::ios_base::adjustfield);
    out.width(width);
    out << value;
}

template <class Char>
void WriteSeconds(std::basic_ostream<Char>& out, double seconds) {
    out.setf(std::ios_base::fixed, std::ios_base::floatfield);
    out.precision(6);
    Padded(out, seconds, 9);
    out.unsetf(std::ios_base::floatfield);
}

template <class Char>
void WriteZone(std::basic_ostream<Char>& out, const TimeZone& zone) {
    if (!zone.has) return;
    if (zone.hours == 0 && zone.minutes == 0) {
        out << 'Z';
        return;
    }
    out.setf(std::ios_base::showpos);
    Padded(out, zone.hours, 3);
    out.unsetf(std::ios_base::showpos);
    out << ':';
    Padded(out, zone.minutes, 2);
}

// Reads the lexical forms with the standard number extraction; each
// separator is skipped as one character, whatever it is. A failed read
// leaves the field it was meant for, and every later one, untouched.
class Reader {
public:
    // The classic locale: an agent's locale with a decimal comma must not
    // change how a lexical form reads.
    explicit Reader(const std::wstring& text) : m_in(text) { m_in.imbue(std::locale::classic()); }
    bool Int(int32_t& field) {
        long long value = 0;
        if (!m_ok || !(m_in >> value) || value < std::numeric_limits<int32_t>::min() ||
            value > std::numeric_limits<int32_t>::max()) {
            return m_ok = false;
        }
        field = static_cast<int32_t>(value);
        return true;
    }
    bool Real(double& field) {
        double value = 0;
        if (!m_ok || !(m_in >> value)) return m_ok = false;
        field = value;
        return true;
    }
    bool Skip() {
        if (m_ok && m_in.get() == std::char_traits<wchar_t>::eof()) m_ok = false;
        return m_ok;
    }
    void Zone(TimeZone& zone) {
        if (!m_ok || m_in.peek() == std::char_traits<wchar_t>::eof()) return;
        zone.has = true;
        if (m_in.peek() == L'Z') return;
        Int(zone.hours) && Skip() && Int(zone.minutes);
    }

private:
    std::wistringstream m_in;
    bool m_ok = true;
};

std::wstring NodeValue(const xercesc::DOMNode* node, const wchar_t* nullOperation, const wchar_t* domOperation) {
    if (node == nullptr) throw CCmlException(nullOperation, L"Null element received", OVX_E_CML_NULL_ELEMENT);
    try {
        const XMLCh* value = node->getNodeValue();
        return ToWide(value != nullptr ? value : node->getTextContent());
    } catch (const xercesc::DOMException& error) {
        ThrowDomError(domOperation, error);
    }
}

// Largest value a duration component holds; more saturates.
uint32_t Accumulate(uint32_t value, wchar_t digit) {
    uint32_t d = static_cast<uint32_t>(digit - L'0');
    if (value > (std::numeric_limits<uint32_t>::max() - d) / 10) return std::numeric_limits<uint32_t>::max();
    return value * 10 + d;
}

// The parts the date and time forms share, read and written through each
// class's own getters and setters (a class that overrides one is obeyed).
template <class Value>
void AssignDate(Value& to, const Value& from) {
    to.SetYear(from.GetYear());
    to.SetMonth(from.GetMonth());
    to.SetDay(from.GetDay());
}
template <class Value>
void AssignTime(Value& to, const Value& from) {
    to.SetHour(from.GetHour());
    to.SetMinute(from.GetMinute());
    to.SetSeconds(from.GetSeconds());
}
template <class Value>
void AssignZone(Value& to, const Value& from) {
    to.SetHasTimeZone(from.HasTimeZone());
    to.SetTimeZoneHours(from.GetTimeZoneHours());
    to.SetTimeZoneMinutes(from.GetTimeZoneMinutes());
}

// "YYYY-MM-DD"
template <class Char, class Value>
void WriteDatePart(std::basic_ostream<Char>& out, const Value& v) {
    Padded(out, v.GetYear(), 4);
    out << '-';
    Padded(out, v.GetMonth(), 2);
    out << '-';
    Padded(out, v.GetDay(), 2);
}
// "hh:mm:ss.ssssss"
template <class Char, class Value>
void WriteTimePart(std::basic_ostream<Char>& out, const Value& v) {
    Padded(out, v.GetHour(), 2);
    out << ':';
    Padded(out, v.GetMinute(), 2);
    out << ':';
    WriteSeconds(out, v.GetSeconds());
}
template <class Char, class Value>
void WriteZonePart(std::basic_ostream<Char>& out, const Value& v) {
    WriteZone(out, TimeZone{v.HasTimeZone(), v.GetTimeZoneHours(), v.GetTimeZoneMinutes()});
}

}  // namespace

// ---- CDateTime

CDateTime::~CDateTime() = default;

CDateTime& CDateTime::operator=(const CDateTime& other) {
    if (this == &other) return *this;
    AssignDate(*this, other);
    AssignTime(*this, other);
    AssignZone(*this, other);
    return *this;
}

void CDateTime::Clear() {
    m_year = m_month = m_day = m_hour = m_minute = 0;
    m_seconds = 0.0;
    m_zone = TimeZone();
}

void CDateTime::FromString(const std::wstring& text) {
    Clear();
    Reader in(text);
    in.Int(m_year) && in.Skip() && in.Int(m_month) && in.Skip() && in.Int(m_day) && in.Skip() && in.Int(m_hour) &&
        in.Skip() && in.Int(m_minute) && in.Skip() && in.Real(m_seconds);
    in.Zone(m_zone);
}

void CDateTime::Deserialize(const xercesc::DOMNode* node) {
    FromString(NodeValue(node, L"Processing dateTime value", L"Deserializing a dateTime node"));
}

template <class Char>
static void WriteDateTime(std::basic_ostream<Char>& out, const CDateTime& v) {
    FormatGuard<Char> guard(out);
    WriteDatePart(out, v);
    out << 'T';
    WriteTimePart(out, v);
    WriteZonePart(out, v);
}

void CDateTime::Write(std::wostream& out) const { WriteDateTime(out, *this); }
void CDateTime::Write(std::ostream& out) const { WriteDateTime(out, *this); }

// ---- CDate

CDate::~CDate() = default;

CDate& CDate::operator=(const CDate& other) {
    if (this == &other) return *this;
    AssignDate(*this, other);
    AssignZone(*this, other);
    return *this;
}

void CDate::Clear() {
    m_year = m_month = m_day = 0;
    m_zone = TimeZone();
}

void CDate::FromString(const std::wstring& text) {
    Clear();
    Reader in(text);
    in.Int(m_year) && in.Skip() && in.Int(m_month) && in.Skip() && in.Int(m_day);
    in.Zone(m_zone);
}

void CDate::Deserialize(const xercesc::DOMNode* node) {
    FromString(NodeValue(node, L"Processing date value", L"Deserializing a date node"));
}

template <class Char>
static void WriteDate(std::basic_ostream<Char>& out, const CDate& v) {
    FormatGuard<Char> guard(out);
    WriteDatePart(out, v);
    WriteZonePart(out, v);
}

void CDate::Write(std::wostream& out) const { WriteDate(out, *this); }
void CDate::Write(std::ostream& out) const { WriteDate(out, *this); }

// ---- CTime

CTime::~CTime() = default;

CTime& CTime::operator=(const CTime& other) {
    if (this == &other) return *this;
    AssignTime(*this, other);
    AssignZone(*this, other);
    return *this;
}

void CTime::Clear() {
    m_hour = -1;
    m_minute = 0;
    m_seconds = 0.0;
    m_zone = TimeZone();
}

void CTime::FromString(const std::wstring& text) {
    Clear();
    Reader in(text);
    in.Int(m_hour) && in.Skip() && in.Int(m_minute) && in.Skip() && in.Real(m_seconds);
    in.Zone(m_zone);
}

void CTime::Deserialize(const xercesc::DOMNode* node) {
    FromString(NodeValue(node, L"Processing time value", L"Deserializing a time node"));
}

template <class Char>
static void WriteTime(std::basic_ostream<Char>& out, const CTime& v) {
    FormatGuard<Char> guard(out);
    WriteTimePart(out, v);
    WriteZonePart(out, v);
}

void CTime::Write(std::wostream& out) const { WriteTime(out, *this); }
void CTime::Write(std::ostream& out) const { WriteTime(out, *this); }

// ---- CDuration

CDuration::~CDuration() = default;

CDuration& CDuration::operator=(const CDuration& other) {
    if (this == &other) return *this;
    SetNegative(other.IsNegative());
    SetYears(other.GetYears());
    SetMonths(other.GetMonths());
    SetDays(other.GetDays());
    SetHours(other.GetHours());
    SetMinutes(other.GetMinutes());
    SetSeconds(other.GetSeconds());
    SetNull(other.GetNull());  // last: the other setters clear it
    return *this;
}

void CDuration::Clear() {
    m_null = true;
    m_negative = false;
    m_years = m_months = m_days = m_hours = m_minutes = 0;
    m_seconds = 0.0;
}

void CDuration::FromString(const std::wstring& text) {
    Clear();
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && text[i] == L'-') negative = true, ++i;
    if (i >= text.size() || text[i] != L'P') return;
    ++i;
    m_null = false;
    m_negative = negative;
    bool timePart = false;
    while (i < text.size()) {
        if (text[i] == L'T' && !timePart) {
            timePart = true;
            ++i;
            continue;
        }
        size_t start = i;
        uint32_t whole = 0;
        while (i < text.size() && text[i] >= L'0' && text[i] <= L'9') whole = Accumulate(whole, text[i++]);
        if (i < text.size() && text[i] == L'.') {
            // Only seconds may have a fraction.
            ++i;
            while (i < text.size() && text[i] >= L'0' && text[i] <= L'9') ++i;
            if (!timePart || i >= text.size() || text[i] != L'S') return;
        }
        if (i == start || i >= text.size()) return;
        wchar_t designator = text[i++];
        if (!timePart && designator == L'Y') {
            m_years = whole;
        } else if (!timePart && designator == L'M') {
            m_months = whole;
        } else if (!timePart && designator == L'D') {
            m_days = whole;
        } else if (timePart && designator == L'H') {
            m_hours = whole;
        } else if (timePart && designator == L'M') {
            m_minutes = whole;
        } else if (timePart && designator == L'S') {
            std::wistringstream number(text.substr(start, i - 1 - start));
            number.imbue(std::locale::classic());
            number >> m_seconds;
        } else {
            return;
        }
    }
}

void CDuration::Deserialize(const xercesc::DOMNode* node) {
    FromString(NodeValue(node, L"Processing duration value", L"Deserializing a duration node"));
}

template <class Char>
static void WriteDuration(std::basic_ostream<Char>& out, const CDuration& v) {
    FormatGuard<Char> guard(out);
    if (v.IsNegative()) out << '-';
    out << 'P' << v.GetYears() << 'Y' << v.GetMonths() << 'M' << v.GetDays() << "DT" << v.GetHours() << 'H'
        << v.GetMinutes() << 'M' << v.GetSeconds() << 'S';
}

void CDuration::Write(std::wostream& out) const { WriteDuration(out, *this); }
void CDuration::Write(std::ostream& out) const { WriteDuration(out, *this); }

#define OVX_VALUE_WRITERS(Type)                                                                        \
    std::wostream& operator<<(std::wostream& out, const Type& value) { return value.Write(out), out; } \
    std::ostream& operator<<(std::ostream& out, const Type& value) { return value.Write(out), out; }
OVX_VALUE_WRITERS(CDateTime)
OVX_VALUE_WRITERS(CDate)
OVX_VALUE_WRITERS(CTime)
OVX_VALUE_WRITERS(CDuration)
#undef OVX_VALUE_WRITERS

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx
