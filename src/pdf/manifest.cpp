#include "pdf/manifest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace kestran::pdf {
namespace {

constexpr const char* kColumns[] = {"source", "page", "index", "object", "width", "height", "bits",
                                    "colour_space", "filters", "action", "detail", "output_file", "size",
                                    "sha256", "x0", "y0", "x1", "y1", "ppi_x", "ppi_y"};

// Two decimals, whatever the locale.
std::string Decimal(double value)
{
    char text[400];  // the largest double in full
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2);
    return result.ec == std::errc() ? std::string(text, result.ptr) : std::string("0");
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

// Length of the UTF-8 sequence at `i`, or 0 when it is not one.
size_t Utf8Length(const std::string& text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > text.size())
        return 0;
    for (size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if ((n == 2 && c < 0xC2) || (n == 3 && c == 0xE0 && byte(i + 1) < 0xA0) ||
        (n == 3 && c == 0xED && byte(i + 1) >= 0xA0) || (n == 4 && c == 0xF0 && byte(i + 1) < 0x90) ||
        (n == 4 && (c > 0xF4 || (c == 0xF4 && byte(i + 1) >= 0x90))))
        return 0;
    return n;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = Utf8Length(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            static const char kHex[] = "0123456789abcdef";
            switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: out += std::string("\\u00") + kHex[c >> 4] + kHex[c & 15]; break;
            }
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out + "\"";
}

// The row's values in column order, as text; `quoted` says which are strings.
struct Values {
    std::string text[sizeof kColumns / sizeof kColumns[0]];
    bool quoted[sizeof kColumns / sizeof kColumns[0]] = {};
};

Values ValuesOf(const ImageRecord& r)
{
    // A record of an image set aside before the page ran knows only its page.
    const bool described = r.width > 0 || r.height > 0;
    const auto number = [](uint64_t v) { return std::to_string(v); };
    Values v;
    size_t i = 0;
    const auto put = [&](std::string text, bool quoted) {
        v.quoted[i] = quoted;
        v.text[i++] = std::move(text);
    };
    put(r.source, true);
    put(number(static_cast<uint64_t>(r.page)), false);
    put(r.index > 0 ? number(static_cast<uint64_t>(r.index)) : std::string(), false);
    if (!described)
        put(std::string(), false);
    else if (r.object_num > 0)
        put(number(static_cast<uint64_t>(r.object_num)), false);
    else
        put("inline", true);
    put(described ? number(static_cast<uint64_t>(r.width)) : std::string(), false);
    put(described ? number(static_cast<uint64_t>(r.height)) : std::string(), false);
    put(described ? number(static_cast<uint64_t>(r.bits)) : std::string(), false);
    put(r.colour_space, true);
    put(r.filters, true);
    put(r.action, true);
    put(r.detail, true);
    put(r.output_file, true);
    put(r.output_file.empty() ? std::string() : number(r.output_size), false);
    put(r.sha256, true);
    const Placement& p = r.placement;
    for (double value : {p.x0, p.y0, p.x1, p.y1, p.ppi_x, p.ppi_y})
        put(p.known ? Decimal(value) : std::string(), false);
    return v;
}

}  // namespace

ManifestFormat ManifestFormatFor(const std::string& path)
{
    std::string tail = path.size() >= 6 ? path.substr(path.size() - 6) : std::string();
    for (char& c : tail)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return tail == ".jsonl" ? ManifestFormat::JsonLines : ManifestFormat::Csv;
}

std::string ManifestHeader(ManifestFormat format)
{
    if (format == ManifestFormat::JsonLines)
        return std::string();
    std::string header;
    for (const char* column : kColumns)
        header += (header.empty() ? "" : ",") + std::string(column);
    return header + "\r\n";
}

std::string ManifestRow(ManifestFormat format, const ImageRecord& record)
{
    const Values v = ValuesOf(record);
    std::string row;
    const size_t count = sizeof kColumns / sizeof kColumns[0];
    if (format == ManifestFormat::Csv) {
        for (size_t i = 0; i < count; ++i)
            row += (i > 0 ? "," : "") + CsvField(v.text[i]);
        return row + "\r\n";
    }
    for (size_t i = 0; i < count; ++i) {
        row += (i > 0 ? ",\"" : "{\"") + std::string(kColumns[i]) + "\":";
        row += v.quoted[i] ? JsonString(v.text[i]) : v.text[i].empty() ? std::string("null") : v.text[i];
    }
    return row + "}\n";
}

ManifestWriter::~ManifestWriter()
{
    if (fd_ >= 0)
        close(fd_);
}

bool ManifestWriter::Open(const std::string& path, std::string* error)
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    failed_ = false;
    format_ = ManifestFormatFor(path);
    // "name (2).ext" for a taken name, the extension being the file name's last one.
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    const std::string stem = has_extension ? path.substr(0, dot) : path;
    const std::string extension = has_extension ? path.substr(dot) : std::string();
    int err = 0;
    for (int copy = 1; copy < 100000; ++copy) {
        path_ = copy == 1 ? path : stem + " (" + std::to_string(copy) + ")" + extension;
        fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0)
            break;
        err = errno;
        if (err != EEXIST)
            break;
    }
    if (fd_ < 0) {
        if (error != nullptr)
            *error = std::strerror(err);
        path_.clear();
        return false;
    }
    const std::string header = ManifestHeader(format_);
    if (!header.empty() && !Write(header)) {
        if (error != nullptr)
            *error = std::strerror(errno);
        return false;
    }
    return true;
}

bool ManifestWriter::Write(const std::string& rows)
{
    if (fd_ < 0 || failed_)
        return false;
    const char* data = rows.data();
    size_t size = rows.size();
    while (size > 0) {
        const ssize_t n = write(fd_, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failed_ = true;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace kestran::pdf
