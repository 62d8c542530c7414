#include "pdf/cancel_flag.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace kestran::pdf {
namespace {

std::atomic<bool> g_cancel{false};

struct CookieList {
    std::mutex mutex;
    std::vector<fz_cookie*> cookies;
};

CookieList& Cookies()
{
    static CookieList* list = new CookieList();  // immortal: used from worker threads up to exit
    return *list;
}

}  // namespace

void RequestCancel()
{
    g_cancel.store(true);
    CookieList& list = Cookies();
    std::lock_guard<std::mutex> lock(list.mutex);
    for (fz_cookie* cookie : list.cookies)
        cookie->abort = 1;
}

void ClearCancel() { g_cancel.store(false); }

bool CancelRequested() { return g_cancel.load(); }

CookieRegistration::CookieRegistration(fz_cookie* cookie) : cookie_(cookie)
{
    CookieList& list = Cookies();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.cookies.push_back(cookie_);
    if (g_cancel.load())
        cookie_->abort = 1;
}

CookieRegistration::~CookieRegistration()
{
    CookieList& list = Cookies();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.cookies.erase(std::remove(list.cookies.begin(), list.cookies.end(), cookie_), list.cookies.end());
}

}  // namespace kestran::pdf
