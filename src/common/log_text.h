// Text for a log line: one entry, one line, whatever a file name holds.
//
// Header only, so that the PDF engine, which links none of src/common, uses
// the same rule as the daily log.
#ifndef KESTRAN_COMMON_LOG_TEXT_H
#define KESTRAN_COMMON_LOG_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace kestran {

namespace log_text_detail {

// Length of the well-formed UTF-8 sequence at `pos` (1 to 4), or 0 when the
// byte there starts none (a stray continuation byte, an overlong form, a
// surrogate, a code point past U+10FFFF, a sequence cut short).
inline size_t Utf8SequenceLength(std::string_view text, size_t pos)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte, which rules out
    unsigned char high = 0xBF;  // overlong forms, surrogates and > U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (pos + length > text.size() || byte(pos + 1) < low || byte(pos + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if ((byte(pos + i) & 0xC0) != 0x80)
            return 0;
    return length;
}

// True when the text at `pos` is shown as an escape: C0 controls, DEL, the C1
// controls (U+0080 to U+009F: NEL ends a line for some readers, CSI drives
// terminals) and bytes that are not UTF-8.
inline bool ShownEscaped(std::string_view text, size_t pos, size_t& length)
{
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    length = Utf8SequenceLength(text, pos);
    if (length == 0) {
        length = 1;
        return true;
    }
    if (lead < 0x20 || lead == 0x7F)
        return true;
    return lead == 0xC2 && static_cast<unsigned char>(text[pos + 1]) < 0xA0;
}

inline bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// True when a backslash at `pos` - 1 followed by the text at `pos` would read
// as one of the escapes EscapeForLog writes.
inline bool ReadsAsEscape(std::string_view text, size_t pos)
{
    if (pos >= text.size())
        return false;
    const char c = text[pos];
    if (c == 'n' || c == 'r' || c == 't' || c == '\\')
        return true;
    if (c == 'x')
        return pos + 2 < text.size() && IsHexDigit(text[pos + 1]) && IsHexDigit(text[pos + 2]);
    size_t length = 1;
    return ShownEscaped(text, pos, length);
}

}  // namespace log_text_detail

// `text` as it goes into a log line or a message on standard error. Readable
// UTF-8 (accents, CJK, emoji) stays as it is. Tab, line feed and carriage
// return become \t, \n and \r; every other control character, DEL and each
// byte that is not UTF-8 becomes \xNN (lower-case hex, byte by byte, so a C1
// control shows as \xc2\x85).
//
// A backslash is an ordinary character of Linux file names (and of names made
// on Windows), and it is kept single so that a path reads, and is found by
// grep, as it always did and as earlier logs hold it. It is doubled only where
// what follows would otherwise read as one of the escapes above: before 'n',
// 'r', 't', a backslash, 'x' and two hex digits, or an escaped character.
// Thus "out\\x" stays out\x, while a name holding backslash-n (two characters)
// shows as \\n, never as \n. The result is unambiguous: \\ is one backslash,
// \n \r \t \xNN are the escapes, and any other backslash stands for itself.
inline std::string EscapeForLog(std::string_view text)
{
    using log_text_detail::ReadsAsEscape;
    using log_text_detail::ShownEscaped;
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[pos]);
        size_t length = 1;
        if (!ShownEscaped(text, pos, length)) {
            out.append(text.substr(pos, length));
            if (c == '\\' && ReadsAsEscape(text, pos + 1))
                out += '\\';
            pos += length;
            continue;
        }
        for (size_t i = 0; i < length; ++i, ++pos) {
            const unsigned char b = static_cast<unsigned char>(text[pos]);
            if (b == '\n')
                out += "\\n";
            else if (b == '\r')
                out += "\\r";
            else if (b == '\t')
                out += "\\t";
            else
                out += {'\\', 'x', kHex[b >> 4], kHex[b & 0x0F]};
        }
    }
    return out;
}

}  // namespace kestran

#endif
