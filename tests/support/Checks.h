// The tests' assertion vocabulary: several values joined into
// one text, so that one comparison checks every one of them and shows them
// all on a mismatch, and a call's answer together with the trace lines it
// wrote.
#ifndef OVX_TESTS_SUPPORT_CHECKS_H
#define OVX_TESTS_SUPPORT_CHECKS_H

#include <gmock/gmock.h>

#include <string>
#include <type_traits>

#include "support/TraceLines.h"

namespace ovxTest {

using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// One value of a joined text: a text (NULL as "(null)") or a number, taken
// when the list is made, so that a later call in the same list cannot change
// what an earlier one gave.
template <class Char>
struct Field {
    Field(const Char* text) : text(text != nullptr ? text : Of("(null)")) {}
    Field(std::basic_string<Char> text) : text(std::move(text)) {}
    template <class N, class = std::enable_if_t<std::is_arithmetic<N>::value>>
    Field(N number) : text(Of(std::to_string(number).c_str())) {}
    static std::basic_string<Char> Of(const char* ascii) {
        return {ascii, ascii + std::char_traits<char>::length(ascii)};
    }
    std::basic_string<Char> text;
};

// The values, one space between each two.
template <class Char>
std::basic_string<Char> JoinedOf(std::initializer_list<Field<Char>> fields) {
    std::basic_string<Char> out;
    for (const Field<Char>& field : fields) out += Field<Char>::Of(" ") + field.text;
    return out.substr(out.empty() ? 0 : 1);
}
inline std::string Joined(std::initializer_list<Field<char>> fields) { return JoinedOf(fields); }
inline std::wstring WJoined(std::initializer_list<Field<wchar_t>> fields) { return JoinedOf(fields); }

// What `call` answers and how many more lines hold `line` (written at
// `level`, when one is given) once it returned, as one text.
template <class Call>
std::string AnswerAndLines(const std::string& line, Call call, uint32_t level = 0) {
    const auto count = [&] { return level == 0 ? TraceLines::Count(line) : TraceLines::CountAtLevel(level, line); };
    const size_t before = count();
    const auto answer = call();
    return Joined({answer, count() - before});
}

inline uint32_t Len(const std::string& text) { return static_cast<uint32_t>(text.size()); }

}  // namespace ovxTest

#endif  // OVX_TESTS_SUPPORT_CHECKS_H
