#include "ovxCodecvt.h"

#include <cstdint>
#include <cstring>

namespace ovxToolsLib {

bool ovxAppendUtf8(std::string& out, char32_t c) {
    bool legal = c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    if (!legal) c = kOvxReplacementCharacter;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return legal;
}

int ovxDecodeUtf8(const char** cursor, const char* end, char32_t* character) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(*cursor);
    const unsigned char* e = reinterpret_cast<const unsigned char*>(end);
    if (p >= e) return 0;
    unsigned char lead = p[0];
    if (lead < 0x80) {
        *character = lead;
        *cursor += 1;
        return 1;
    }
    int extra;
    char32_t value;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        *character = kOvxReplacementCharacter;
        *cursor += 1;
        return -1;
    }
    for (int i = 1; i <= extra; ++i) {
        if (p + i >= e) {
            // Incomplete so far: valid continuation bytes up to the end.
            return 0;
        }
        if ((p[i] & 0xC0) != 0x80) {
            *character = kOvxReplacementCharacter;
            *cursor += 1;
            return -1;
        }
        value = (value << 6) | (p[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        *character = kOvxReplacementCharacter;
        *cursor += 1;
        return -1;
    }
    *character = value;
    *cursor += extra + 1;
    return 1;
}

std::string ovxUnicode<wchar_t>::ToUtf8(const wchar_t* text, size_t length, bool* clean) {
    std::string out;
    bool allLegal = true;
    if (text) {
        out.reserve(length);
        for (size_t i = 0; i < length; ++i) {
            const auto code = static_cast<uint32_t>(text[i]);
            if (code < 0x80) {
                out.push_back(static_cast<char>(code));
                continue;
            }
            allLegal &= ovxAppendUtf8(out, static_cast<char32_t>(code));
        }
    }
    if (clean) *clean = allLegal;
    return out;
}

std::wstring ovxUnicode<wchar_t>::FromUtf8(const char* text, size_t length, bool* clean) {
    std::wstring out;
    bool allLegal = true;
    if (text) {
        // Decoded in chunks on the stack and appended a chunk at a time: a
        // short text (most are) costs one allocation of its own size, and no
        // character is written twice. ASCII, most of what agents and servers
        // send, is copied as it is.
        constexpr size_t kChunk = 256;
        wchar_t chunk[kChunk];
        size_t used = 0;
        if (length > kChunk) out.reserve(length);
        const char* cursor = text;
        const char* end = text + length;
        constexpr size_t kWord = sizeof(uint64_t);
        while (cursor < end) {
            if (used + kWord > kChunk) {
                out.append(chunk, used);
                used = 0;
            }
            // Eight bytes at a time while none has its high bit set.
            uint64_t word;
            if (static_cast<size_t>(end - cursor) >= kWord &&
                (std::memcpy(&word, cursor, kWord), (word & 0x8080808080808080ULL) == 0)) {
                for (size_t k = 0; k < kWord; ++k) chunk[used + k] = static_cast<wchar_t>(cursor[k]);
                used += kWord;
                cursor += kWord;
                continue;
            }
            const auto lead = static_cast<unsigned char>(*cursor);
            if (lead < 0x80) {
                chunk[used++] = static_cast<wchar_t>(lead);
                ++cursor;
                continue;
            }
            char32_t character;
            int result = ovxDecodeUtf8(&cursor, end, &character);
            if (result == 0) {  // truncated sequence at the end of the input
                chunk[used++] = static_cast<wchar_t>(kOvxReplacementCharacter);
                allLegal = false;
                break;
            }
            if (result < 0) allLegal = false;
            chunk[used++] = static_cast<wchar_t>(character);
        }
        out.append(chunk, used);
    }
    if (clean) *clean = allLegal;
    return out;
}

std::string ovxCleanUtf8(const char* text, size_t length, bool* clean) {
    std::string out;
    bool allLegal = true;
    if (text != nullptr) {
        const char* cursor = text;
        const char* const end = text + length;
        // Runs of well-formed text are copied as they are, once each.
        const char* run = cursor;
        while (cursor < end) {
            if (static_cast<unsigned char>(*cursor) < 0x80) {
                ++cursor;
                continue;
            }
            const char* const at = cursor;
            char32_t character;
            const int result = ovxDecodeUtf8(&cursor, end, &character);
            if (result > 0) continue;
            if (out.empty()) out.reserve(length + 2);
            out.append(run, static_cast<size_t>(at - run));
            out.append("\xEF\xBF\xBD", 3);  // U+FFFD
            allLegal = false;
            if (result == 0) {  // truncated sequence at the end of the input
                cursor = end;
                run = end;
                break;
            }
            run = cursor;
        }
        if (allLegal) {
            out.assign(text, length);
        } else {
            out.append(run, static_cast<size_t>(end - run));
        }
    }
    if (clean) *clean = allLegal;
    return out;
}

std::codecvt_base::result COvxCodecvt::do_out(state_type&, const intern_type* from, const intern_type* fromEnd,
                                              const intern_type*& fromNext, extern_type* to, extern_type* toEnd,
                                              extern_type*& toNext) const {
    std::string encoded;
    while (from < fromEnd) {
        encoded.clear();
        ovxAppendUtf8(encoded, static_cast<char32_t>(static_cast<uint32_t>(*from)));
        if (static_cast<size_t>(toEnd - to) < encoded.size()) break;
        memcpy(to, encoded.data(), encoded.size());
        to += encoded.size();
        ++from;
    }
    fromNext = from;
    toNext = to;
    return from == fromEnd ? ok : partial;
}

std::codecvt_base::result COvxCodecvt::do_in(state_type&, const extern_type* from, const extern_type* fromEnd,
                                             const extern_type*& fromNext, intern_type* to, intern_type* toEnd,
                                             intern_type*& toNext) const {
    while (from < fromEnd && to < toEnd) {
        char32_t character;
        const char* cursor = from;
        if (ovxDecodeUtf8(&cursor, fromEnd, &character) == 0) break;
        *to++ = static_cast<wchar_t>(character);
        from = cursor;
    }
    fromNext = from;
    toNext = to;
    return from == fromEnd ? ok : partial;
}

int COvxCodecvt::do_length(state_type&, const extern_type* from, const extern_type* end, size_t max) const {
    const char* cursor = from;
    size_t count = 0;
    while (cursor < end && count < max) {
        char32_t character;
        if (ovxDecodeUtf8(&cursor, end, &character) == 0) break;
        ++count;
    }
    return static_cast<int>(cursor - from);
}

}  // namespace ovxToolsLib
