#include <iomanip>
#include <locale>

#include "cml/core/cmlValueTypes.h"
#include "cml/core/cmlXmlText.h"
#include "cml/documents/cml_documents_test_support.h"

using namespace ovx::cml::XmlUtils;
using namespace ovx::cml::testing;

namespace {

template <class Char = wchar_t, class T>
std::basic_string<Char> Lexical(const T& value) {
    std::basic_ostringstream<Char> out;
    out << value;
    return out.str();
}
template <class T>
T Read(const std::wstring& text) {
    T value;
    value.FromString(text);
    return value;
}

}  // namespace

// Read, assigned to another value and written: every field the text gives
// comes out in full form, the copy's the same as the original's.
template <class T>
std::wstring Written(const std::wstring& text) {
    T copy;
    copy = Read<T>(text);
    EXPECT_EQ(Lexical(Read<T>(text)), Lexical(copy)) << "the copy of " << text;
    const std::wstring wide = Lexical(copy);
    EXPECT_EQ(std::string(wide.begin(), wide.end()), Lexical<char>(copy)) << "the narrow form of " << text;
    return wide;
}

TEST(ValueTypes, EveryLexicalFormIsWrittenInFull) {
    const struct {
        std::wstring (*written)(const std::wstring&);
        const wchar_t *text, *expected;
    } rows[] = {
        {Written<CDateTime>, L"2007-01-15T10:04:05Z", L"2007-01-15T10:04:05.000000Z"},
        {Written<CDateTime>, L"2007-01-15T10:04:05.25", L"2007-01-15T10:04:05.250000"},
        {Written<CDateTime>, L"2007-01-15T10:04:05+00:00", L"2007-01-15T10:04:05.000000Z"},
        {Written<CDateTime>, L"2007-01-15T10:04:05-05:30", L"2007-01-15T10:04:05.000000-05:30"},
        {Written<CDateTime>, L"99-3-4T1:2:9.5+14:00", L"0099-03-04T01:02:09.500000+14:00"},
        {Written<CDateTime>, L"2007-13-45T25:61:75Z", L"2007-13-45T25:61:75.000000Z"},  // kept as they are
        {Written<CDate>, L"2024-02-29", L"2024-02-29"},
        {Written<CDate>, L"2024-02-29Z", L"2024-02-29Z"},
        {Written<CDate>, L"2024-02-29+01:00", L"2024-02-29+01:00"},
        {Written<CDate>, L"2001-02-03-04:00", L"2001-02-03-04:00"},
        {Written<CTime>, L"23:59:60", L"23:59:60.000000"},
        {Written<CTime>, L"00:00:00.123456-11:00", L"00:00:00.123456-11:00"},
        {Written<CTime>, L"10:04:05+02:00", L"10:04:05.000000+02:00"},
        {Written<CDuration>, L"P1DT2H", L"P0Y0M1DT2H0M0S"},
        {Written<CDuration>, L"-P1Y2M3DT4H5M6.5S", L"-P1Y2M3DT4H5M6.5S"},
        {Written<CDuration>, L"PT0.25S", L"P0Y0M0DT0H0M0.25S"},
        {Written<CDuration>, L"P10M", L"P0Y10M0DT0H0M0S"},   // M before T is months
        {Written<CDuration>, L"PT10M", L"P0Y0M0DT0H10M0S"},  // and minutes after it
    };
    for (const auto& row : rows) EXPECT_EQ(row.expected, row.written(row.text)) << row.text;
}

// Only an unset or unreadable date or time is null; a failed read keeps the
// fields before the failure and clears the rest.
TEST(ValueTypes, AFailedReadKeepsTheFieldsBeforeItAndDurationsSaturate) {
    CDateTime partial = Read<CDateTime>(L"2007-01-xxT10:04:05Z");
    EXPECT_EQ(L"2007|1|0|0|0|", Joined({partial.GetYear(), partial.GetMonth(), partial.GetDay(), partial.GetHour(),
                                        partial.HasTimeZone()}));

    CDateTime value = Read<CDateTime>(L"2007-01-15T10:04:05Z");
    value.FromString(L"");  // reading starts afresh
    EXPECT_TRUE(value.IsNull() && value.GetHour() == 0 && !value.HasTimeZone());
    // Null: a year too large to hold, an unset time (its hour -1), an unset
    // date, an empty duration and one without its P; midnight is a time.
    EXPECT_EQ(L"1|1|-1|1|1|1|0|", Joined({Read<CDateTime>(L"99999999999-01-01T00:00:00").IsNull(), CTime().IsNull(),
                                          CTime().GetHour(), CDate().IsNull(), Read<CDuration>(L"").IsNull(),
                                          Read<CDuration>(L"1D").IsNull(), Read<CTime>(L"00:00:00").IsNull()}));
    // Durations saturate and stop at the first bad part; a fraction only for seconds.
    EXPECT_EQ(L"4294967295|P1Y0M0DT0H0M0S|0|",
              Joined({Read<CDuration>(L"P99999999999D").GetDays(), Lexical(Read<CDuration>(L"P1Y2X3D")),
                      Read<CDuration>(L"P1.5D").GetDays()}));

    CDuration set;
    EXPECT_TRUE(set.IsNull());
    set.SetHours(3);
    EXPECT_FALSE(set.IsNull());
    set = Read<CDuration>(L"");
    EXPECT_TRUE(set.IsNull());  // the null flag is copied too
}

// Neither the stream's format nor a locale reach the lexical forms.
TEST(ValueTypes, LocalesAndStreamFormatsDoNotReachTheLexicalForms) {
    std::wostringstream out;
    out << std::hex << std::setfill(L'*') << std::showpos << std::setprecision(2);
    const auto flags = out.flags();
    out << Read<CDateTime>(L"2007-01-15T10:04:05-05:30") << Read<CDuration>(L"PT1.5S") << L"|" << 255;
    EXPECT_EQ(L"2007-01-15T10:04:05.000000-05:30P0Y0M0DT0H0M1.5S|ff", out.str());
    EXPECT_TRUE(flags == out.flags() && out.fill() == L'*' && out.precision() == 2);

    // A locale that groups thousands must not reach the lexical form.
    struct Grouping : std::numpunct<char> {
        char do_thousands_sep() const override { return ','; }
        std::string do_grouping() const override { return "\3"; }
    };
    std::ostringstream grouped;
    grouped.imbue(std::locale(grouped.getloc(), new Grouping));
    grouped << Read<CDate>(L"2007-01-15") << ' ' << 1234567;
    EXPECT_EQ("2007-01-15 1,234,567", grouped.str());
    // Nor does a process locale with a decimal comma reach reading.
    struct Comma : std::numpunct<wchar_t> {
        wchar_t do_decimal_point() const override { return L','; }
    };
    std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Comma));
    const double seconds[] = {Read<CTime>(L"10:04:05.25").GetSeconds(), Read<CDuration>(L"PT1.5S").GetSeconds()};
    std::locale::global(previous);
    EXPECT_DOUBLE_EQ(5.25, seconds[0]);
    EXPECT_DOUBLE_EQ(1.5, seconds[1]);
}

// Values are read from attribute and text nodes; a null node is refused
// with the operation of its type.
TEST(ValueTypes, DeserializeReadsAttributeAndTextNodesAndRefusesNull) {
    CCmlParser parser;
    xercesc::DOMElement* root = RootOf(parser, "<r when='2007-01-15T10:04:05Z' empty=''>P3D</r>").GetDOMElement();
    CDateTime when;
    CDuration days;
    CDate date;
    when.Deserialize(root->getAttributeNode(u"when"));
    days.Deserialize(root->getFirstChild());
    date.Deserialize(root->getAttributeNode(u"empty"));
    EXPECT_EQ(L"2007-01-15T10:04:05.000000Z|P0Y0M3DT0H0M0S|1|", Joined({Lexical(when), Lexical(days), date.IsNull()}));
    const std::pair<const wchar_t*, void (*)()> cases[] = {
        {L"Processing dateTime value", [] { CDateTime().Deserialize(nullptr); }},
        {L"Processing date value", [] { CDate().Deserialize(nullptr); }},
        {L"Processing time value", [] { CTime().Deserialize(nullptr); }},
        {L"Processing duration value", [] { CDuration().Deserialize(nullptr); }},
    };
    for (const auto& c : cases) ExpectRefusal(OVX_E_CML_NULL_ELEMENT, c.first, L"Null element received", c.second);
}

TEST(XmlText, TextsAndDomCodesConvertBothWays) {
    std::wstring text = L"a\u00e9\u20ac\U0001F600z";
    EXPECT_EQ(6u, ToXml(text).size());  // the emoji is a surrogate pair
    EXPECT_EQ(text, ToWide(ToXml(text).c_str()));
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(L"a\uFFFDb", ToWide(lone));
    EXPECT_EQ(L"", ToWide(nullptr));
    // Compared or widened on the stack, text reads as ToWide makes it.
    EXPECT_TRUE(SameText(ToXml(text).c_str(), text));
    EXPECT_TRUE(SameText(lone, L"a\uFFFDb"));
    EXPECT_FALSE(SameText(lone, L"a"));
    EXPECT_FALSE(SameText(u"ab", L"abc"));
    EXPECT_TRUE(SameText(nullptr, L""));
    EXPECT_FALSE(SameText(nullptr, L"a"));
    // Around the stack buffer's end, and well past it.
    for (size_t length : {127u, 128u, 300u}) {
        const std::wstring longText(length, L'x');
        EXPECT_EQ(longText, CWideText(ToXml(longText).c_str()).view()) << length;
    }
    EXPECT_EQ(text, CWideText(ToXml(text).c_str()).c_str());
    EXPECT_EQ(L"a\uFFFDb", CWideText(lone).view());
    EXPECT_EQ(L"", CWideText(nullptr).view());
    EXPECT_EQ(u"\uFFFD", ToXml(std::wstring(1, static_cast<wchar_t>(0x110000))));
    // The codes of the DOM's own errors are mapped into the catalog's range,
    // those it does not define pass through unchanged.
    const std::pair<uint32_t, uint32_t> mapped[] = {{1, 0x47210043u},  {18, 0x47210054u}, {19, 19u},
                                                    {20, 0x47210055u}, {30, 0x4721005Fu}, {31, 31u},
                                                    {32, 0x47210061u}};
    for (const auto& pair : mapped) EXPECT_EQ(pair.second, DomCodeToStatus(pair.first)) << pair.first;
    for (uint32_t code = 0; code < 40; ++code) EXPECT_EQ(code, DomCodeFromStatus(DomCodeToStatus(code))) << code;
}
