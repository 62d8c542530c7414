// The update check: fetch the update file named by "url:update", find the
// version it advertises for this product and tell the dialog that asked.
//
// The update file is XML. Every element named "product", at any depth, lists
// products in its attributes, taken by position in pairs: the value of the
// first attribute is a product name, the value of the second that product's
// version, the third and fourth form the next pair, and so on (attribute names
// are not looked at). The first pair naming this product wins:
//
//   <updates><product name="Olvarin Kestran" version="2.2.0"/></updates>
//
// Flow: the progress dialog owns a std::shared_ptr<UpdateRunRecord> pointing
// back at itself, calls StartUpdateCheck and later receives EVT_UPDATE_CHECKED
// (string = the advertised version, "" when the check failed, int = the
// UpdateCheckOutcome) on the UI
// thread; its destructor calls record->Detach(), after which the worker, which
// may still be waiting for the server, posts nothing.
//
//   record_ = std::make_shared<UpdateRunRecord>(this);
//   Bind(EVT_UPDATE_CHECKED, [this](wxCommandEvent& e) { record_->start = true; Show(e.GetString()); });
//   if (record_->start) StartUpdateCheck(record_);   // clears `start`
//   ~Dialog() { record_->Detach(); }
//
// curl_global_init must have run (MainApp::OnInit does it) before a check.
#ifndef KESTRAN_DOMAIN_UPDATE_CHECK_H
#define KESTRAN_DOMAIN_UPDATE_CHECK_H

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <curl/curl.h>
#include <wx/event.h>
#include <wx/string.h>

#include "domain/domain_config.h"
#include "domain/event_target_record.h"

// A proxy in the 8-bit texts libcurl takes. Any text may be absent.
struct ProxyRequest {
    // 1 HTTP proxy tunnelling with CONNECT, 2 HTTP/1.0 proxy, 3 SOCKS4,
    // 4 SOCKS5, 5 SOCKS4a, 6 SOCKS5 resolving host names on the proxy;
    // any other value leaves the proxy type at libcurl's default.
    int kind = 1;
    std::optional<std::string> host, port, user, password;
};

// Puts `proxy` on `curl`: CURLOPT_PROXY "host:port", CURLOPT_PROXYUSERPWD
// "user:password" when both are present, and the proxy type of `kind` (kind 1
// also asks for a CONNECT tunnel, for plain http too). Returns false, setting
// nothing, when `curl` is null or host or port is absent or empty, and false
// when libcurl refuses the address; true otherwise. Any thread, on a handle
// that thread owns.
bool SetProxyOptions(CURL* curl, const ProxyRequest& proxy);

// The proxy a check uses with these settings, or nullopt for a direct
// request: nullopt when the port text is empty (an address without a port
// means "no proxy"); otherwise kind 1 with the address and port as they are
// (an empty address makes SetProxyOptions refuse, so the check fails without
// touching the network), and user and password only when both are non-empty.
// The settings' type text is not consulted. Converts to UTF-8, so the result
// may travel to another thread.
std::optional<ProxyRequest> MakeProxyRequest(const DomainConfig::ProxySettings& settings);

// The version the update file `bytes` advertises for `product`, or "".
// The bytes go to expat as they are, in one XML_Parse call that is not marked
// final, so expat takes the encoding from the XML declaration or byte-order
// mark (UTF-8 without one; UTF-8, UTF-16, ISO-8859-1 and US-ASCII are known,
// others fail). Because the call is not final, the text is read as the start
// of a document: an unclosed root or a truncated tail is not an error and the
// elements complete before it count. A parse error ends the search with "",
// even when a matching pair came before it. Entity declarations are refused
// (an error) and no external entity or DTD is ever loaded. `product` is
// compared exactly (case, blanks) with each pair's name. Keeps no state
// between calls; any thread.
wxString FindVersion(const char* bytes, std::size_t size, const wxString& product);
// The same on text that is already decoded: it is handed to expat as UTF-8
// whatever encoding its declaration names, since the characters, not the
// bytes the server sent, are what it holds.
wxString FindVersion(const wxString& text, const wxString& product);

// Packs a dotted version ("2.1.24") into 9 bytes that compare with memcmp in
// release order: the first four numbers as 16-bit big-endian fields (bytes
// 0-1, 2-3, 4-5, 6-7), byte 8 a spare that stays 0. Missing numbers are 0, so
// 2.1 and 2.1.0 pack alike; numbers above 65535 saturate at 65535; numbers
// after the fourth are ignored. Blanks around the text and one leading "v" or
// "V" are skipped. Each part reads its leading digits ("3rc1" reads 3, so
// "2.1.24rc" packs like "2.1.24"); a part without leading digits reads 0.
// Compare keys with memcmp over all 9 bytes, never strncmp: zero bytes are
// normal inside a key (every number below 256 has one).
void MakeVersionKey(const std::string& utf8, unsigned char key[9]);

// Negative when `advertised` is a newer release than `current`, 0 when they
// pack alike (see MakeVersionKey), positive when `advertised` is older. An
// empty `advertised` (a failed check) packs as 0.0.0.0, older than any release.
int CompareVersions(const wxString& current, const wxString& advertised);

// libcurl write callback: appends size * count bytes to `target`, a
// std::string* receiving the body as raw bytes. Returns the number of bytes
// taken, or 0, which makes libcurl abort with CURLE_WRITE_ERROR, when
// `target` is null, when the body would grow beyond
// GetUpdateCheckLimits().max_body (a larger answer is a failed check) or when
// memory runs out.
std::size_t WriteUpdateBody(char* data, std::size_t size, std::size_t count, void* target);

// Limits of one update request. Process-wide; the defaults suit the program,
// tests lower them so a server that never answers is given up quickly.
struct UpdateCheckLimits {
    long connect_timeout_ms = 10000;  // CURLOPT_CONNECTTIMEOUT_MS
    long total_timeout_ms = 30000;    // CURLOPT_TIMEOUT_MS, the whole transfer
    std::size_t max_body = 1 << 20;   // bytes; a larger body fails the check
    long max_redirects = 5;           // CURLOPT_MAXREDIRS
};
// Replaces the limits for requests that start afterwards. Any thread.
void SetUpdateCheckLimits(const UpdateCheckLimits& limits);
// The limits in force. Any thread.
UpdateCheckLimits GetUpdateCheckLimits();

// Fetches `url` (UTF-8) and returns the body as raw bytes, or "" when the
// request failed: no handle, a proxy SetProxyOptions refuses (then nothing
// touches the network), a libcurl error, an HTTP status outside 200-299, a
// body over the limit. Redirects are followed up to the limit, to http and
// https only, as is the first request; TLS is verified as libcurl does by
// default. With `proxy` nullopt the request goes direct, whatever proxy the
// environment names. A non-zero CURLcode is printed as "error num: %d\n" on
// standard output. `curl_code` (when given) receives the CURLcode, or -1 when
// no request was made. Blocks for the whole transfer (up to the total
// time-out); meant for a worker thread, any thread may call it.
std::string FetchUpdateFile(const std::string& url, const std::optional<ProxyRequest>& proxy,
                            long* curl_code = nullptr, long* http_status = nullptr);

// What a check came to; EVT_UPDATE_CHECKED carries it in its integer (and an
// HTTP status in its extra long), so that the window can say what went wrong.
enum UpdateCheckOutcome : int {
    UpdateChecked = 0,        // an update file naming this product: the string is its version
    UpdateNoConnection = 1,   // no answer: no network, unknown host, refused, timed out, proxy refused
    UpdateServerError = 2,    // the server answered with an HTTP error status
    UpdateNotUpdateFile = 3   // an answer that is no update file naming this product
};
// The outcome of a request that gave no version: `curl_code` and
// `http_status` as FetchUpdateFile reports them (-1: no request was made).
UpdateCheckOutcome ClassifyUpdateFailure(long curl_code, long http_status);

// What a running check and the dialog that started it share: the dialog as
// the target of EVT_UPDATE_CHECKED (see EventTargetRecord for who owns it
// and when the dialog detaches), and whether a check may start.
class UpdateRunRecord : public EventTargetRecord {
public:
    // `target` receives EVT_UPDATE_CHECKED until Detach().
    explicit UpdateRunRecord(wxEvtHandler* target) : EventTargetRecord(target, 0) {}

    // Queues EVT_UPDATE_CHECKED (id 0, string = `version`, int = `outcome`,
    // extra long = `http_status`) to the target. True when queued, false
    // when detached. Any thread.
    bool Post(const wxString& version, UpdateCheckOutcome outcome = UpdateChecked, long http_status = 0);

    // True while no check runs for this record: true when built, cleared by
    // StartUpdateCheck, set again by the EVT_UPDATE_CHECKED handler (the
    // worker never sets it, so a detached run leaves it clear).
    std::atomic<bool> start{true};
};

// One check's input, handed to the worker, which deletes it.
struct UpdateCheckItem {
    std::shared_ptr<UpdateRunRecord> record;
    std::string url;                   // UTF-8
    std::optional<ProxyRequest> proxy;  // nullopt: direct
};

// Builds a check's item on the calling thread: the URL from
// DomainOption::GetUrl("url:update") and the proxy from g_domain_config
// (MakeProxyRequest; direct when there is no settings store). Reading both
// here, on the UI thread, keeps the worker away from the settings store,
// which the application may destroy while a check still waits for a server.
std::unique_ptr<UpdateCheckItem> MakeUpdateCheckItem(std::shared_ptr<UpdateRunRecord> record);

// TaskThread callback: takes ownership of `item` (an UpdateCheckItem*,
// deleted before returning; null does nothing), fetches the update file,
// finds this product's version (FindVersion with AppUtil::GetProductName())
// and posts it to the record's target ("" on any failure). Runs on the worker;
// may also be called directly, then the event is still delivered by the
// target's thread's event loop.
void RunUpdateCheck(void* item);

// Clears record->start and starts a TaskThread running RunUpdateCheck on
// MakeUpdateCheckItem(record). Returns true when the worker started: exactly
// one EVT_UPDATE_CHECKED then follows unless the record is detached first.
// Returns false, with record->start set again, when `record` is null or the
// thread could not start. Call on the UI thread.
bool StartUpdateCheck(std::shared_ptr<UpdateRunRecord> record);

#endif
