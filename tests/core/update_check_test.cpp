// The update check against real servers on 127.0.0.1: the file, its version,
// version order, the proxy settings and the record shared with the dialog.
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "common/app_util.h"
#include "conversion_support.h"
#include "domain/convert_options.h"
#include "domain/domain_config.h"
#include "domain/domain_option.h"
#include "domain/update_check.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"

namespace {

using conversion_test::PumpUntil;

class CurlEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK); }
    void TearDown() override { curl_global_cleanup(); }
};
::testing::Environment* const kCurlEnvironment = ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

std::string UpdateFile(const std::string& version) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<updates><product name=\"Olvarin Kestran\" version=\"" +
           version + "\"/></updates>\n";
}

// Stands in for the progress dialog.
class Receiver : public wxEvtHandler {
public:
    Receiver() {
        Bind(EVT_UPDATE_CHECKED, [this](wxCommandEvent& e) {
            versions_.push_back(e.GetString());
            on_main_ = on_main_ && std::this_thread::get_id() == main_;
            if (record_)
                record_->start = true;
        });
    }
    std::shared_ptr<UpdateRunRecord> record_;
    std::vector<wxString> versions_;
    bool on_main_ = true;
    std::thread::id main_ = std::this_thread::get_id();
};

class UpdateCheck : public TempHomeTest {
protected:
    void SetUp() override {
        DomainOption::Clear();
        SetUpdateCheckLimits({});
        wxAppConsole::GetInstance()->ProcessPendingEvents();
    }
    void TearDown() override {
        DomainOption::Clear();
        SetUpdateCheckLimits({});
    }

    void PointAt(const std::string& stem) {
        const wxString path = home_.Path() + "/option.cfg";
        ASSERT_TRUE(TempHome::WriteFile(path, "<setting><url><update>" + stem + "</update></url></setting>"));
        ASSERT_TRUE(DomainOption().LoadFrom(path));
    }
    // One check as the dialog runs it; `output` receives what it printed.
    static wxString RunCheck(std::string* output = nullptr) {
        Receiver receiver;
        receiver.record_ = std::make_shared<UpdateRunRecord>(&receiver);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(StartUpdateCheck(receiver.record_));
        EXPECT_TRUE(PumpUntil([&] { return !receiver.versions_.empty(); }));
        const std::string printed = testing::internal::GetCapturedStdout();
        if (output)
            *output = printed;
        receiver.record_->Detach();
        return receiver.versions_.empty() ? wxString("(none)") : receiver.versions_.front();
    }
};

struct ServerCase {
    std::string name;
    std::vector<std::pair<std::string, std::string>> answers;  // path, response ("@" = the local file)
    std::string version, output;
    bool hang = false;
};
void PrintTo(const ServerCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<std::pair<std::string, std::string>> Chain(const std::string& name, int redirects) {
    std::vector<std::pair<std::string, std::string>> answers;
    std::string from = "/" + name + "-update.xml";
    for (int i = 1; i < redirects; from = "/" + name + std::to_string(i++))
        answers.emplace_back(from, HttpTestServer::Redirect("/" + name + std::to_string(i)));
    answers.emplace_back(from, HttpTestServer::Redirect("/file.xml"));
    answers.emplace_back("/file.xml", HttpTestServer::Ok(UpdateFile("2.2.0")));
    return answers;
}

std::vector<ServerCase> ServerCases() {
    using S = HttpTestServer;
    const std::string big = UpdateFile("2.2.0") + std::string(2 << 20, ' ');
    return {
        {"newer", {{"/newer-update.xml", S::Ok(UpdateFile("2.2.0"))}}, "2.2.0", ""},
        {"equal", {{"/equal-update.xml", S::Ok(UpdateFile("2.1.24"))}}, "2.1.24", ""},
        {"older", {{"/older-update.xml", S::Ok(UpdateFile("2.1.3"))}}, "2.1.3", ""},
        {"twice",
         {{"/twice-update.xml", S::Ok("<u><product n=\"Olvarin Kestran\" v=\"2.2.1\"/>"
                                      "<product n=\"Olvarin Kestran\" v=\"9.0\"/></u>")}},
         "2.2.1", ""},
        {"swapped", {{"/swapped-update.xml", S::Ok("<u><product v=\"2.2.0\" n=\"Olvarin Kestran\"/></u>")}}, "", ""},
        {"missing", {{"/missing-update.xml", S::Ok("<u><product n=\"Olvarin Other\" v=\"2.2.0\"/></u>")}}, "", ""},
        {"malformed", {{"/malformed-update.xml", S::Ok("<u><product n=\"Olvarin Kestran\" v=\"2.2.0\"/></x>")}}, "", ""},
        {"html", {{"/html-update.xml", S::Ok("<!DOCTYPE html><html><body><p>Sorry<br></p></body></html>")}}, "", ""},
        {"notfound", {{"/notfound-update.xml", S::Status(404, UpdateFile("2.2.0"))}}, "", "error num: 22\n"},
        {"servererror", {{"/servererror-update.xml", S::Status(500, UpdateFile("2.2.0"))}}, "", "error num: 22\n"},
        {"large", {{"/large-update.xml", S::Ok(big)}}, "", "error num: 63\n"},
        {"largeunsized", {{"/largeunsized-update.xml", S::Ok(big, false)}}, "", "error num: 23\n"},
        {"hang", {{"/hang-update.xml", S::Ok(UpdateFile("2.2.0"))}}, "", "error num: 28\n", true},
        {"redirect", Chain("redirect", 1), "2.2.0", ""},
        {"fiveredirects", Chain("fiveredirects", 5), "2.2.0", ""},
        {"sixredirects", Chain("sixredirects", 6), "", "error num: 47\n"},
        {"filescheme", {{"/filescheme-update.xml", S::Redirect("file://@")}}, "", "error num: 1\n"},
    };
}

class UpdateServer : public UpdateCheck, public ::testing::WithParamInterface<ServerCase> {};

TEST_P(UpdateServer, ReportsTheAdvertisedVersionOrNothing) {
    const ServerCase& c = GetParam();
    HttpTestServer server;
    // A redirect to a local file would find a newer version there, were it followed.
    const wxString local = home_.Path() + "/advert.xml";
    ASSERT_TRUE(TempHome::WriteFile(local, UpdateFile("7.0")));
    for (auto [path, response] : c.answers) {
        if (response.find("file://@") != std::string::npos)
            response.replace(response.find('@'), 1, local.utf8_string());
        c.hang ? server.Hold(path, response) : server.Serve(path, response);
    }
    if (c.hang) {
        UpdateCheckLimits limits;
        limits.total_timeout_ms = 500;
        SetUpdateCheckLimits(limits);
    }
    PointAt(server.Url("/" + c.name));

    std::string output;
    EXPECT_EQ(RunCheck(&output), wxString(c.version));
    EXPECT_EQ(output, c.output);
    ASSERT_FALSE(server.Heads().empty());
    for (const std::string& head : server.Heads())
        EXPECT_NE(head.find("\r\nUser-Agent: Olvarin Kestran/2.1.24\r\n"), std::string::npos) << head;
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateServer, ::testing::ValuesIn(ServerCases()),
                         [](const ::testing::TestParamInfo<ServerCase>& info) { return info.param.name; });

TEST(UpdateVersion, FoundByPositionInTheFirstMatchingPair) {
    const std::string latin1 = "Olvarin Kestr\xE4n";
    const struct {
        std::string text, version, product = "Olvarin Kestran";
    } rows[] = {
        {"<a><b><c><product x=\"Olvarin Kestran\" y=\"2.3\"/></c></b></a>", "2.3"},
        {"<a><product p=\"Other\" q=\"9\" r=\"Olvarin Kestran\" s=\"2.4\" t=\"Olvarin Kestran\" u=\"7\"/></a>", "2.4"},
        {"<a><product p=\"Other\" q=\"9\" r=\"Olvarin Kestran\"/><product p=\"Olvarin Kestran\" q=\"3\"/></a>", "3"},
        {"<a><product p=\"Olvarin Kestran\"/></a>", ""},
        {"<a><Product p=\"Olvarin Kestran\" q=\"2\"/><x:product p=\"Olvarin Kestran\" q=\"2\"/></a>", ""},
        {"<a><product p=\"olvarin kestran\" q=\"2\"/><product p=\"Olvarin Kestran \" q=\"2\"/></a>", ""},
        {"<a><product p=\"Olvarin Kestran\" q=\"2\"/>", "2"},  // read as the start of a document
        {"<a><product p=\"Olvarin Kestran\" q=\"2\"/></b>", ""},
        {"<!DOCTYPE a [<!ENTITY v \"2.9\">]><a><product p=\"Olvarin Kestran\" q=\"&v;\"/></a>", ""},
        {"", ""},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a><product p=\"" + latin1 + "\" q=\"2.5\"/></a>", "2.5",
         "Olvarin Kestr\xC3\xA4n"},
        {"<a><product p=\"" + latin1 + "\" q=\"2.5\"/></a>", "", "Olvarin Kestr\xC3\xA4n"},  // not UTF-8
    };
    for (const auto& row : rows)
        EXPECT_EQ(FindVersion(row.text.data(), row.text.size(), wxString::FromUTF8(row.product)),
                  wxString(row.version)) << row.text;

    // Decoded text reaches the parser as UTF-8, whatever its declaration says.
    const wxString text = wxString::FromUTF8(
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a><product p=\"Olvarin Kestr\xC3\xA4n\" q=\"2.6\"/></a>");
    EXPECT_EQ(FindVersion(text, wxString::FromUTF8("Olvarin Kestr\xC3\xA4n")), "2.6");
    EXPECT_EQ(FindVersion(wxString("<a><product p=\"Olvarin Kestran\" q=\"2.7\"/></a>"), "Olvarin Kestran"), "2.7");
}

TEST(UpdateVersion, OrderOfReleases) {
    const struct {
        const char *current, *advertised;
        int order;
    } rows[] = {
        {"2.9", "2.10", -1},     {"2.1.3", "2.1.24", -1}, {"2.1", "2.1.0", 0},     {"1.2.3.4", "1.2.3.5", -1},
        {"2.1.24", "3", -1},     {"2.1.24", "2.1.24rc", 0}, {"2.1.24", "2.2.0", -1}, {"2.1.24", "2.1.3", 1},
        {"2.1.24", "2.1.24", 0}, {"2.1.24", "", 1},        {"2.x.1", "2.0.1", 0},   {" 2.1 \t", "2.1", 0},
        {"v2.1", "2.1", 0},      {"1.2.3.4.9", "1.2.3.4", 0}, {"70000", "65535", 0}, {"2.256", "2.255", 1},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CompareVersions(row.current, row.advertised), row.order) << row.current << " / " << row.advertised;

    unsigned char key[9];
    MakeVersionKey("2.1.24", key);
    EXPECT_EQ(std::memcmp(key, "\0\2\0\1\0\x18\0\0\0", 9), 0);
    MakeVersionKey("1.99999.3.4.5", key);
    EXPECT_EQ(std::memcmp(key, "\0\1\xFF\xFF\0\3\0\4\0", 9), 0);
}

TEST(UpdateProxy, NeedsHostAndPort) {
    const std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    ASSERT_TRUE(curl);
    using O = std::optional<std::string>;
    const struct {
        O host, port;
        bool set;
    } rows[] = {{std::nullopt, "8080", false}, {"", "8080", false}, {"proxy", std::nullopt, false},
                {"proxy", "", false},          {"proxy", "8080", true}};
    for (const auto& row : rows)
        for (int kind : {1, 4, 9})
            EXPECT_EQ(SetProxyOptions(curl.get(), {kind, row.host, row.port, "u", "p"}), row.set);
    EXPECT_FALSE(SetProxyOptions(nullptr, {1, "proxy", "8080", {}, {}}));
}

TEST(UpdateProxy, KindTwoAsksTheProxyWithoutATunnel) {
    ConnectProxy proxy;
    proxy.Answer(HttpTestServer::Ok(UpdateFile("2.3")));
    long code = 0;
    const ProxyRequest request{2, "127.0.0.1", std::to_string(proxy.Port()), {}, {}};
    EXPECT_EQ(FetchUpdateFile("http://127.0.0.1:9/x.xml", request, &code), UpdateFile("2.3"));
    EXPECT_EQ(code, CURLE_OK);
    ASSERT_EQ(proxy.Heads().size(), 1u);
    EXPECT_EQ(proxy.Heads()[0].rfind("GET http://127.0.0.1:9/x.xml HTTP/1.", 0), 0u) << proxy.Heads()[0];
}

struct ProxyCase {
    std::string name;
    bool address, port;
    std::string user, password, authorization;
    bool via_proxy, reaches_server;
};
void PrintTo(const ProxyCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateThroughProxy : public UpdateCheck, public ::testing::WithParamInterface<ProxyCase> {
protected:
    void SetUp() override {
        UpdateCheck::SetUp();
        saved_ = g_domain_config;
        home_.MakeDocuments();
        config_ = std::make_unique<DomainConfig>(home_.Path() + "/KESTRAN.cfg");
        g_domain_config = config_.get();
    }
    void TearDown() override {
        g_domain_config = saved_;
        config_.reset();
        ConvertOptions.clear();
        UpdateCheck::TearDown();
    }
    DomainConfig* saved_ = nullptr;
    std::unique_ptr<DomainConfig> config_;
};

TEST_P(UpdateThroughProxy, UsesTheStoredProxy) {
    const ProxyCase& c = GetParam();
    HttpTestServer server;
    ConnectProxy proxy;
    server.Serve("/p-update.xml", HttpTestServer::Ok(UpdateFile("2.2.0")));
    PointAt(server.Url("/p"));
    DomainConfig::ProxySettings settings;
    settings.address = c.address ? "127.0.0.1" : "";
    settings.port = c.port ? wxString::Format("%d", proxy.Port()) : wxString();
    settings.user = c.user;
    settings.password = c.password;
    config_->SetProxy(settings);

    EXPECT_EQ(RunCheck(), c.reaches_server ? "2.2.0" : "");
    EXPECT_EQ(server.Connections(), c.reaches_server ? 1 : 0);
    EXPECT_EQ(proxy.Connections(), c.via_proxy ? 1 : 0);
    if (!c.via_proxy)
        return;
    ASSERT_EQ(proxy.Heads().size(), 1u);
    const std::string head = proxy.Heads()[0];
    const std::string target = "127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ(head.rfind("CONNECT " + target + " HTTP/1.1\r\n", 0), 0u) << head;
    if (c.authorization.empty())
        EXPECT_EQ(head.find("Proxy-Authorization"), std::string::npos) << head;
    else
        EXPECT_NE(head.find("\r\nProxy-Authorization: Basic " + c.authorization + "\r\n"), std::string::npos) << head;
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateThroughProxy,
                         ::testing::Values(ProxyCase{"tunnel", true, true, "", "", "", true, true},
                                           ProxyCase{"credentials", true, true, "anna", "s3cret",
                                                     "YW5uYTpzM2NyZXQ=", true, true},
                                           ProxyCase{"useronly", true, true, "anna", "", "", true, true},
                                           ProxyCase{"portonly", false, true, "", "", "", false, false},
                                           ProxyCase{"addressonly", true, false, "", "", "", false, true}),
                         [](const ::testing::TestParamInfo<ProxyCase>& info) { return info.param.name; });

TEST_F(UpdateCheck, OneEventOnTheMainThreadThenReadyAgain) {
    HttpTestServer server;
    server.Serve("/r-update.xml", HttpTestServer::Ok(UpdateFile("2.2.0")));
    PointAt(server.Url("/r"));
    Receiver receiver;
    receiver.record_ = std::make_shared<UpdateRunRecord>(&receiver);
    EXPECT_TRUE(receiver.record_->start);
    ASSERT_TRUE(StartUpdateCheck(receiver.record_));
    EXPECT_FALSE(receiver.record_->start);
    ASSERT_TRUE(PumpUntil([&] { return receiver.record_.use_count() == 1; }));  // the worker let go
    wxAppConsole::GetInstance()->ProcessPendingEvents();
    EXPECT_EQ(receiver.versions_, std::vector<wxString>{"2.2.0"});
    EXPECT_TRUE(receiver.on_main_);
    EXPECT_TRUE(receiver.record_->start);
    receiver.record_->Detach();
}

TEST_F(UpdateCheck, DetachedRecordGetsNothing) {
    HttpTestServer server;
    server.Hold("/d-update.xml", HttpTestServer::Ok(UpdateFile("2.2.0")));
    PointAt(server.Url("/d"));
    auto receiver = std::make_unique<Receiver>();
    auto record = std::make_shared<UpdateRunRecord>(receiver.get());
    ASSERT_TRUE(StartUpdateCheck(record));
    ASSERT_TRUE(server.WaitForHeads(1));  // the worker waits for the answer
    record->Detach();
    receiver.reset();
    const std::weak_ptr<UpdateRunRecord> left = record;
    record.reset();
    server.Release();
    // Waits without delivering events, so an event queued after Detach
    // would still be pending below.
    for (const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
         !left.expired() && std::chrono::steady_clock::now() < give_up;)
        std::this_thread::yield();
    ASSERT_TRUE(left.expired());
    EXPECT_FALSE(wxAppConsole::GetInstance()->HasPendingEvents());

    UpdateRunRecord detached(nullptr);
    EXPECT_FALSE(detached.Post("2.2.0"));
    EXPECT_FALSE(StartUpdateCheck(nullptr));
}

}  // namespace
