#include "domain/domain_option.h"

#include <memory>
#include <string>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <wx/filename.h>
#include <wx/intl.h>

#include "common/app_util.h"

std::map<wxString, wxString> DomainOption::urls_;

namespace {

struct XmlDocDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct XPathContextDeleter {
    void operator()(xmlXPathContext* context) const { xmlXPathFreeContext(context); }
};
struct XPathObjectDeleter {
    void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};
using XmlDoc = std::unique_ptr<xmlDoc, XmlDocDeleter>;
using XPathContext = std::unique_ptr<xmlXPathContext, XPathContextDeleter>;
using XPathObject = std::unique_ptr<xmlXPathObject, XPathObjectDeleter>;

wxString FromXml(const xmlChar* text) {
    return text ? wxString::FromUTF8(reinterpret_cast<const char*>(text)) : wxString();
}

// The text of a node and its descendants, as xmlNodeGetContent gives it,
// except that entity references add nothing: their expansion is exactly what
// the parser was told not to do.
void AppendText(const xmlNode* node, std::string& out) {
    for (const xmlNode* child = node->children; child; child = child->next) {
        switch (child->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            if (child->content)
                out += reinterpret_cast<const char*>(child->content);
            break;
        case XML_ELEMENT_NODE:
            AppendText(child, out);
            break;
        default:
            break;
        }
    }
}

wxString ContentOf(const xmlNode* node) {
    if (node->type == XML_COMMENT_NODE || node->type == XML_PI_NODE)
        return FromXml(node->content);
    if (node->type != XML_ELEMENT_NODE)  // an entity reference stays unexpanded
        return wxString();
    std::string text;
    AppendText(node, text);
    return wxString::FromUTF8(text.data(), text.size());
}

}  // namespace

bool DomainOption::Load(wxString* error) {
    return LoadFrom(AppUtil::GetOptionFilePath(), error);
}

bool DomainOption::LoadFrom(const wxString& path, wxString* error) {
    auto fail = [&](const wxString& why) {
        if (error)
            *error = wxString::Format(_("Cannot use the option file %s: %s"), path, why);
        return false;
    };

    if (!wxFileName::FileExists(path))
        return fail(_("the file does not exist."));

    // No network, no DTD, no entity substitution; errors are reported here,
    // not printed by libxml2.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    const wxScopedCharBuffer utf8_path = path.utf8_str();
    XmlDoc doc(xmlReadFile(utf8_path.data(), nullptr, options));
    if (!doc)
        return fail(_("it is not well-formed XML."));

    XPathContext context(xmlXPathNewContext(doc.get()));
    if (!context)
        return fail(_("out of memory."));
    XPathObject result(xmlXPathEvalExpression(BAD_CAST "/setting/url", context.get()));
    if (!result || result->type != XPATH_NODESET || !result->nodesetval ||
        result->nodesetval->nodeNr < 1 || !result->nodesetval->nodeTab[0])
        return fail(_("it has no <url> element inside a <setting> root."));

    std::map<wxString, wxString> urls;
    const xmlNode* url = result->nodesetval->nodeTab[0];
    for (const xmlNode* child = url->children; child; child = child->next) {
        if (xmlNodeIsText(child) || !child->name)
            continue;
        urls["url:" + FromXml(child->name)] = ContentOf(child);
    }
    urls["url:update"] += "-update.xml";
    urls_.swap(urls);
    return true;
}

wxString DomainOption::GetUrl(const wxString& key) {
    const auto it = urls_.find(key);
    return it == urls_.end() ? wxString() : it->second;
}

void DomainOption::Clear() {
    urls_.clear();
}
