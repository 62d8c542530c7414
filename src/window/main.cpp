#include "window/main_app.h"

wxIMPLEMENT_APP(MainApp);
