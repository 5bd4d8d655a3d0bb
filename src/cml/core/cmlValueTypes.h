// XML Schema date, time and duration values as CML documents carry them.
// They keep exactly what was read (no range checks, no normalisation), so a
// value passes through this library unchanged.
#ifndef OVX_CML_CORE_CMLVALUETYPES_H
#define OVX_CML_CORE_CMLVALUETYPES_H

#include <xercesc/dom/DOMNode.hpp>

#include <cstdint>
#include <ostream>
#include <string>

namespace ovx {
namespace cml {
namespace XmlUtils {

// Time zone part shared by the date and time forms. The sign of an offset
// is carried by the hours.
struct TimeZone {
    bool has = false;
    int32_t hours = 0;
    int32_t minutes = 0;
};

class CDateTime {
public:
    CDateTime() { Clear(); }
    CDateTime(const CDateTime& other) = default;
    virtual ~CDateTime();
    virtual CDateTime& operator=(const CDateTime& other);
    // Reads the value of an attribute or text node.
    virtual void Deserialize(const xercesc::DOMNode* node);
    virtual void Write(std::wostream& out) const;
    virtual void Write(std::ostream& out) const;
    virtual bool IsNull() const { return m_year == 0; }
    virtual int32_t GetYear() const { return m_year; }
    virtual int32_t GetMonth() const { return m_month; }
    virtual int32_t GetDay() const { return m_day; }
    virtual int32_t GetHour() const { return m_hour; }
    virtual int32_t GetMinute() const { return m_minute; }
    virtual double GetSeconds() const { return m_seconds; }
    virtual bool HasTimeZone() const { return m_zone.has; }
    virtual int32_t GetTimeZoneHours() const { return m_zone.hours; }
    virtual int32_t GetTimeZoneMinutes() const { return m_zone.minutes; }
    virtual void SetYear(int32_t value) { m_year = value; }
    virtual void SetMonth(int32_t value) { m_month = value; }
    virtual void SetDay(int32_t value) { m_day = value; }
    virtual void SetHour(int32_t value) { m_hour = value; }
    virtual void SetMinute(int32_t value) { m_minute = value; }
    virtual void SetSeconds(double value) { m_seconds = value; }
    virtual void SetHasTimeZone(bool value) { m_zone.has = value; }
    virtual void SetTimeZoneHours(int32_t value) { m_zone.hours = value; }
    virtual void SetTimeZoneMinutes(int32_t value) { m_zone.minutes = value; }
    virtual void Clear();
    // Clears, then reads the lexical form "YYYY-MM-DDThh:mm:ss[.s][zone]".
    virtual void FromString(const std::wstring& text);

private:
    int32_t m_year, m_month, m_day, m_hour, m_minute;
    double m_seconds;
    TimeZone m_zone;
};

class CDate {
public:
    CDate() { Clear(); }
    CDate(const CDate& other) = default;
    virtual ~CDate();
    virtual CDate& operator=(const CDate& other);
    virtual void Deserialize(const xercesc::DOMNode* node);
    virtual void Write(std::wostream& out) const;
    virtual void Write(std::ostream& out) const;
    virtual bool IsNull() const { return m_year == 0; }
    virtual int32_t GetYear() const { return m_year; }
    virtual int32_t GetMonth() const { return m_month; }
    virtual int32_t GetDay() const { return m_day; }
    virtual bool HasTimeZone() const { return m_zone.has; }
    virtual int32_t GetTimeZoneHours() const { return m_zone.hours; }
    virtual int32_t GetTimeZoneMinutes() const { return m_zone.minutes; }
    virtual void SetYear(int32_t value) { m_year = value; }
    virtual void SetMonth(int32_t value) { m_month = value; }
    virtual void SetDay(int32_t value) { m_day = value; }
    virtual void SetHasTimeZone(bool value) { m_zone.has = value; }
    virtual void SetTimeZoneHours(int32_t value) { m_zone.hours = value; }
    virtual void SetTimeZoneMinutes(int32_t value) { m_zone.minutes = value; }
    virtual void Clear();
    void FromString(const std::wstring& text);

private:
    int32_t m_year, m_month, m_day;
    TimeZone m_zone;
};

class CTime {
public:
    CTime() { Clear(); }
    CTime(const CTime& other) = default;
    virtual ~CTime();
    virtual CTime& operator=(const CTime& other);
    virtual void Deserialize(const xercesc::DOMNode* node);
    virtual void Write(std::wostream& out) const;
    virtual void Write(std::ostream& out) const;
    virtual bool IsNull() const { return m_hour < 0; }
    virtual int32_t GetHour() const { return m_hour; }
    virtual int32_t GetMinute() const { return m_minute; }
    virtual double GetSeconds() const { return m_seconds; }
    virtual bool HasTimeZone() const { return m_zone.has; }
    virtual int32_t GetTimeZoneHours() const { return m_zone.hours; }
    virtual int32_t GetTimeZoneMinutes() const { return m_zone.minutes; }
    virtual void SetHour(int32_t value) { m_hour = value; }
    virtual void SetMinute(int32_t value) { m_minute = value; }
    virtual void SetSeconds(double value) { m_seconds = value; }
    virtual void SetHasTimeZone(bool value) { m_zone.has = value; }
    virtual void SetTimeZoneHours(int32_t value) { m_zone.hours = value; }
    virtual void SetTimeZoneMinutes(int32_t value) { m_zone.minutes = value; }
    // The hour becomes -1: a cleared time is null.
    virtual void Clear();
    void FromString(const std::wstring& text);

private:
    int32_t m_hour, m_minute;
    double m_seconds;
    TimeZone m_zone;
};

class CDuration {
public:
    CDuration() { Clear(); }
    CDuration(const CDuration& other) = default;
    virtual ~CDuration();
    virtual CDuration& operator=(const CDuration& other);
    virtual void Deserialize(const xercesc::DOMNode* node);
    virtual void Write(std::wostream& out) const;
    virtual void Write(std::ostream& out) const;
    virtual bool IsNull() const { return m_null; }
    virtual bool GetNull() const { return m_null; }
    virtual bool IsNegative() const { return m_negative; }
    virtual uint32_t GetYears() const { return m_years; }
    virtual uint32_t GetMonths() const { return m_months; }
    virtual uint32_t GetDays() const { return m_days; }
    virtual uint32_t GetHours() const { return m_hours; }
    virtual uint32_t GetMinutes() const { return m_minutes; }
    virtual double GetSeconds() const { return m_seconds; }
    virtual void SetNull(bool value) { m_null = value; }
    // Setting any component makes the value non-null.
    virtual void SetNegative(bool value) { m_negative = value, m_null = false; }
    virtual void SetYears(uint32_t value) { m_years = value, m_null = false; }
    virtual void SetMonths(uint32_t value) { m_months = value, m_null = false; }
    virtual void SetDays(uint32_t value) { m_days = value, m_null = false; }
    virtual void SetHours(uint32_t value) { m_hours = value, m_null = false; }
    virtual void SetMinutes(uint32_t value) { m_minutes = value, m_null = false; }
    virtual void SetSeconds(double value) { m_seconds = value, m_null = false; }
    // Zero and null.
    virtual void Clear();
    // Clears, then reads "[-]PnYnMnDTnHnMnS"; any part may be missing. A
    // text that begins as a duration makes the value non-null.
    void FromString(const std::wstring& text);

private:
    bool m_null, m_negative;
    uint32_t m_years, m_months, m_days, m_hours, m_minutes;
    double m_seconds;
};

std::wostream& operator<<(std::wostream& out, const CDateTime& value);
std::ostream& operator<<(std::ostream& out, const CDateTime& value);
std::wostream& operator<<(std::wostream& out, const CDate& value);
std::ostream& operator<<(std::ostream& out, const CDate& value);
std::wostream& operator<<(std::wostream& out, const CTime& value);
std::ostream& operator<<(std::ostream& out, const CTime& value);
std::wostream& operator<<(std::wostream& out, const CDuration& value);
std::ostream& operator<<(std::ostream& out, const CDuration& value);

}  // namespace XmlUtils
}  // namespace cml
}  // namespace ovx

#endif  // OVX_CML_CORE_CMLVALUETYPES_H
