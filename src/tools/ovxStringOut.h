// An output stream that appends to a std::string: what std::ostringstream
// does, without the string buffer's copy of the whole text at the end and
// with room reserved up front.
#ifndef OVX_TOOLS_OVXSTRINGOUT_H
#define OVX_TOOLS_OVXSTRINGOUT_H

#include <ostream>
#include <streambuf>
#include <string>

namespace ovxToolsLib {

class ovxStringOut {
public:
    explicit ovxStringOut(std::string& target) : m_buffer(target), m_stream(&m_buffer) {}
    ovxStringOut(const ovxStringOut&) = delete;
    ovxStringOut& operator=(const ovxStringOut&) = delete;
    std::ostream& stream() { return m_stream; }

private:
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(std::string& target) : m_target(target) {}

    protected:
        std::streamsize xsputn(const char* text, std::streamsize count) override {
            m_target.append(text, static_cast<size_t>(count));
            return count;
        }
        int_type overflow(int_type c) override {
            if (!traits_type::eq_int_type(c, traits_type::eof())) m_target.push_back(traits_type::to_char_type(c));
            return traits_type::not_eof(c);
        }

    private:
        std::string& m_target;
    };
    Buffer m_buffer;
    std::ostream m_stream;
};

}  // namespace ovxToolsLib

#endif  // OVX_TOOLS_OVXSTRINGOUT_H
