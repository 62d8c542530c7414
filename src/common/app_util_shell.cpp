// The one desktop action of AppUtil. It lives apart from the path helpers
// because it needs wx's GUI library: the command-line extractor uses the paths
// and must not pull that library, and GTK with it, into its process.
#include "common/app_util.h"

#include <wx/log.h>
#include <wx/utils.h>

void AppUtil::OpenFolder(const wxString& path) {
    wxLogNull quiet;  // the result is not reported, as documented
    wxLaunchDefaultApplication(path);
}
