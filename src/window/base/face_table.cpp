#include "window/base/face_table.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <expat.h>

#include "pdf/pdf_service.h"

namespace {

std::map<wxString, FaceRect>& Table()
{
    static std::map<wxString, FaceRect> table;
    return table;
}

struct ParserDeleter {
    void operator()(XML_Parser p) const { XML_ParserFree(p); }
};
using ParserHandle = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter>;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// The stack of open elements; each node is the key of its element.
struct ParseState {
    std::vector<wxString> keys;
};

void XMLCALL OnStart(void* user, const XML_Char* name, const XML_Char** attrs)
{
    auto* state = static_cast<ParseState*>(user);
    wxString key = state->keys.empty() ? wxString() : state->keys.back();
    key << "/" << wxString::FromUTF8(name);
    state->keys.push_back(key);
    if (attrs == nullptr || attrs[0] == nullptr)
        return;  // an element without attributes only names its descendants
    FaceRect rect;
    for (size_t i = 0; attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2) {
        // atoi reading: leading blanks, sign, digits; anything else stops it.
        const int32_t value = static_cast<int32_t>(std::strtol(attrs[i + 1], nullptr, 10));
        const std::string attr = attrs[i];
        if (attr == "x")
            rect.x = value;
        else if (attr == "y")
            rect.y = value;
        else if (attr == "width")
            rect.width = value;
        else
            rect.height = value;
    }
    Table()[key] = rect;
}

void XMLCALL OnEnd(void* user, const XML_Char* /*name*/)
{
    auto* state = static_cast<ParseState*>(user);
    if (!state->keys.empty())
        state->keys.pop_back();
}

}  // namespace

int LoadFace(const wxString& path)
{
    const wxScopedCharBuffer utf8 = path.utf8_str();
    FileHandle file(NIMBfopen(utf8.data(), "r"));
    if (!file)
        return -1;
    // One theme at a time: a crop of the theme loaded before must never
    // be read against this theme's pictures.
    Table().clear();

    ParserHandle parser(XML_ParserCreate(nullptr));
    if (!parser)
        return 0;
    ParseState state;
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(parser.get(), OnStart, OnEnd);

    char buffer[1024];
    for (;;) {
        const size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
        const bool last = got < sizeof buffer;
        if (XML_Parse(parser.get(), buffer, static_cast<int>(got), last ? 1 : 0) == XML_STATUS_ERROR) {
            std::fprintf(stderr, "%s at line %lu ->%s\n", XML_ErrorString(XML_GetErrorCode(parser.get())),
                         static_cast<unsigned long>(XML_GetCurrentLineNumber(parser.get())), utf8.data());
            return 0;
        }
        if (last)
            return 0;
    }
}

FaceRect GetFace(const wxString& key)
{
    const auto& table = Table();
    const auto it = table.find(key);
    if (it != table.end())
        return it->second;
    std::fprintf(stderr, "face key not defined by the theme: %s\n", static_cast<const char*>(key.utf8_str()));
    return FaceRect();
}

bool HasFace(const wxString& key)
{
    return Table().count(key) != 0;
}

size_t FaceCount()
{
    return Table().size();
}
