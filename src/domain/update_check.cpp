#include "domain/update_check.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include <expat.h>

#include "common/app_util.h"
#include "common/task_thread.h"
#include "domain/app_events.h"
#include "domain/domain_option.h"

namespace {

struct CurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct ParserDeleter {
    void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};
using Parser = std::unique_ptr<XML_ParserStruct, ParserDeleter>;

std::mutex g_limits_mutex;
UpdateCheckLimits g_limits;

// State of one FindVersion call, reached through the parser's user data.
struct VersionSearch {
    XML_Parser parser = nullptr;
    std::string product;                 // UTF-8, as expat reports values
    std::optional<std::string> version;  // the first match
};

void XMLCALL OnStartElement(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto* search = static_cast<VersionSearch*>(data);
    if (search->version || std::strcmp(name, "product") != 0)
        return;
    // expat lists name, value, name, value...; one product takes two
    // consecutive attributes: the first's value is its name, the second's its version.
    for (int i = 0; attributes[i]; i += 4) {
        if (!attributes[i + 2])
            return;  // a name without a version
        if (search->product == attributes[i + 1]) {
            search->version = attributes[i + 3];
            return;
        }
    }
}

// An update file has no use for entities; refusing their declarations keeps
// a tampered file from making the parser expand anything.
void XMLCALL OnEntityDeclaration(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                 const XML_Char*, const XML_Char*, const XML_Char*) {
    XML_StopParser(static_cast<VersionSearch*>(data)->parser, XML_FALSE);
}

wxString FindVersionIn(const char* bytes, std::size_t size, const wxString& product, const char* encoding) {
    if (size > static_cast<std::size_t>(INT_MAX))
        return wxString();
    Parser parser(XML_ParserCreate(encoding));
    if (!parser)
        return wxString();
    VersionSearch search;
    search.parser = parser.get();
    search.product = product.utf8_string();
    XML_SetUserData(parser.get(), &search);
    XML_SetStartElementHandler(parser.get(), OnStartElement);
    XML_SetEntityDeclHandler(parser.get(), OnEntityDeclaration);
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    // Not final: the file is read as the beginning of a document (see the header).
    if (XML_Parse(parser.get(), bytes, static_cast<int>(size), XML_FALSE) != XML_STATUS_OK || !search.version)
        return wxString();
    return wxString::FromUTF8(search.version->data(), search.version->size());
}

// Up to 65535 from the leading digits of [begin, end).
unsigned ReadPart(const char* begin, const char* end) {
    unsigned value = 0;
    for (const char* p = begin; p < end && *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > 0xFFFF)
            return 0xFFFF;
    }
    return value;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

void PrintCurlError(CURLcode code) {
    // The worker's only trace of a failed request; flushed so it shows at once.
    std::printf("error num: %d\n", static_cast<int>(code));
    std::fflush(stdout);
}

}  // namespace

bool SetProxyOptions(CURL* curl, const ProxyRequest& proxy) {
    if (!curl || !proxy.host || proxy.host->empty() || !proxy.port || proxy.port->empty())
        return false;
    const std::string address = *proxy.host + ":" + *proxy.port;
    if (curl_easy_setopt(curl, CURLOPT_PROXY, address.c_str()) != CURLE_OK)
        return false;
    if (proxy.user && proxy.password) {
        const std::string credentials = *proxy.user + ":" + *proxy.password;
        curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, credentials.c_str());
    }
    switch (proxy.kind) {
    case 1:
        curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L);
        curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        break;
    case 2:
        curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP_1_0));
        break;
    case 3:
        curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS4));
        break;
    case 4:
        curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS5));
        break;
    case 5:
        curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS4A));
        break;
    case 6:
        curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS5_HOSTNAME));
        break;
    default:
        break;
    }
    return true;
}

std::optional<ProxyRequest> MakeProxyRequest(const DomainConfig::ProxySettings& settings) {
    if (settings.port.empty())
        return std::nullopt;
    ProxyRequest request;
    request.kind = 1;
    request.host = settings.address.utf8_string();
    request.port = settings.port.utf8_string();
    // Typed credentials are meant to be used, but only as a pair.
    if (!settings.user.empty() && !settings.password.empty()) {
        request.user = settings.user.utf8_string();
        request.password = settings.password.utf8_string();
    }
    return request;
}

wxString FindVersion(const char* bytes, std::size_t size, const wxString& product) {
    return FindVersionIn(bytes, size, product, nullptr);
}

wxString FindVersion(const wxString& text, const wxString& product) {
    const std::string utf8 = text.utf8_string();
    return FindVersionIn(utf8.data(), utf8.size(), product, "UTF-8");
}

void MakeVersionKey(const std::string& utf8, unsigned char key[9]) {
    std::memset(key, 0, 9);
    const char* begin = utf8.data();
    const char* end = begin + utf8.size();
    while (begin < end && IsBlank(*begin))
        ++begin;
    while (end > begin && IsBlank(end[-1]))
        --end;
    if (begin < end && (*begin == 'v' || *begin == 'V'))
        ++begin;
    for (int part = 0; part < 4 && begin < end; ++part) {
        const char* dot = static_cast<const char*>(std::memchr(begin, '.', static_cast<std::size_t>(end - begin)));
        const char* part_end = dot ? dot : end;
        const unsigned value = ReadPart(begin, part_end);
        key[part * 2] = static_cast<unsigned char>(value >> 8);
        key[part * 2 + 1] = static_cast<unsigned char>(value & 0xFF);
        if (!dot)
            break;
        begin = dot + 1;
    }
}

int CompareVersions(const wxString& current, const wxString& advertised) {
    unsigned char a[9], b[9];
    MakeVersionKey(current.utf8_string(), a);
    MakeVersionKey(advertised.utf8_string(), b);
    const int order = std::memcmp(a, b, sizeof a);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

std::size_t WriteUpdateBody(char* data, std::size_t size, std::size_t count, void* target) {
    auto* body = static_cast<std::string*>(target);
    if (!body)
        return 0;
    if (count != 0 && size > static_cast<std::size_t>(-1) / count)
        return 0;
    const std::size_t bytes = size * count;
    const std::size_t cap = GetUpdateCheckLimits().max_body;
    if (body->size() > cap || bytes > cap - body->size())
        return 0;
    try {
        body->append(data, bytes);
    } catch (const std::bad_alloc&) {
        return 0;  // exceptions must not cross libcurl
    }
    return bytes;
}

void SetUpdateCheckLimits(const UpdateCheckLimits& limits) {
    std::lock_guard<std::mutex> lock(g_limits_mutex);
    g_limits = limits;
}

UpdateCheckLimits GetUpdateCheckLimits() {
    std::lock_guard<std::mutex> lock(g_limits_mutex);
    return g_limits;
}

std::string FetchUpdateFile(const std::string& url, const std::optional<ProxyRequest>& proxy, long* curl_code,
                            long* http_status) {
    if (curl_code)
        *curl_code = -1;
    if (http_status)
        *http_status = 0;
    CurlHandle curl(curl_easy_init());
    if (!curl)
        return std::string();
    if (proxy) {
        if (!SetProxyOptions(curl.get(), *proxy))
            return std::string();
        // The configured proxy serves every host, whatever no_proxy says.
        curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "");
    } else {
        // Direct means direct: an http_proxy in the environment is not ours.
        curl_easy_setopt(curl.get(), CURLOPT_PROXY, "");
    }

    const UpdateCheckLimits limits = GetUpdateCheckLimits();
    const std::string agent = (AppUtil::GetProductName() + "/" + AppUtil::GetVersion()).utf8_string();
    std::string body;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, limits.max_redirects);
#if LIBCURL_VERSION_NUM >= 0x075500  // 7.85.0
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, limits.connect_timeout_ms);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, limits.total_timeout_ms);
    // A declared length over the limit fails before any of the body arrives;
    // WriteUpdateBody enforces it for bodies without one.
    curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.max_body));
    curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);  // runs on a worker thread
    curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, WriteUpdateBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);

    const CURLcode code = curl_easy_perform(curl.get());
    if (curl_code)
        *curl_code = static_cast<long>(code);
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (http_status)
        *http_status = status;
    if (code != CURLE_OK) {
        PrintCurlError(code);
        return std::string();
    }
    // FAILONERROR covers 400 and up; a 3xx left over (no Location) or a 1xx
    // is no update file either.
    if (status < 200 || status > 299)
        return std::string();
    return body;
}

UpdateCheckOutcome ClassifyUpdateFailure(long curl_code, long http_status) {
    if (curl_code == CURLE_HTTP_RETURNED_ERROR || (curl_code == CURLE_OK && (http_status < 200 || http_status > 299)))
        return UpdateServerError;
    // An answer came: it was no update file (or too large to be one).
    if (curl_code == CURLE_OK || curl_code == CURLE_FILESIZE_EXCEEDED || curl_code == CURLE_WRITE_ERROR)
        return UpdateNotUpdateFile;
    return UpdateNoConnection;
}

bool UpdateRunRecord::Post(const wxString& version, UpdateCheckOutcome outcome, long http_status) {
    auto event = std::make_unique<wxCommandEvent>(EVT_UPDATE_CHECKED, GetId());
    event->SetString(version);
    event->SetInt(outcome);
    event->SetExtraLong(http_status);
    return Queue(std::move(event));
}

std::unique_ptr<UpdateCheckItem> MakeUpdateCheckItem(std::shared_ptr<UpdateRunRecord> record) {
    auto item = std::make_unique<UpdateCheckItem>();
    item->record = std::move(record);
    item->url = DomainOption::GetUrl("url:update").utf8_string();
    if (g_domain_config)
        item->proxy = MakeProxyRequest(g_domain_config->GetProxy());
    return item;
}

void RunUpdateCheck(void* item) {
    std::unique_ptr<UpdateCheckItem> check(static_cast<UpdateCheckItem*>(item));
    if (!check)
        return;
    long curl_code = -1, http_status = 0;
    const std::string body = FetchUpdateFile(check->url, check->proxy, &curl_code, &http_status);
    const wxString version =
        body.empty() ? wxString() : FindVersion(body.data(), body.size(), AppUtil::GetProductName());
    const UpdateCheckOutcome outcome =
        !version.empty() ? UpdateChecked
        : !body.empty()  ? UpdateNotUpdateFile
                         : ClassifyUpdateFailure(curl_code, http_status);
    if (check->record)
        check->record->Post(version, outcome, http_status);
}

bool StartUpdateCheck(std::shared_ptr<UpdateRunRecord> record) {
    if (!record)
        return false;
    record->start = false;
    std::unique_ptr<UpdateCheckItem> item = MakeUpdateCheckItem(record);
    // The thread deletes itself, after a run or at once when it cannot start.
    TaskThread* thread = std::make_unique<TaskThread>(item.get(), &RunUpdateCheck).release();
    if (!thread->Start()) {
        record->start = true;
        return false;  // `item` never reached a worker and is freed here
    }
    item.release();  // RunUpdateCheck owns it from now on
    return true;
}
