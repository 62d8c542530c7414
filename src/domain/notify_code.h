// Notification codes that the window pieces send to their observers. The
// values are fixed; 20 and 21 are unused.
#ifndef KESTRAN_DOMAIN_NOTIFY_CODE_H
#define KESTRAN_DOMAIN_NOTIFY_CODE_H

enum NotifyCode : int {
    OpenSourceFolder = 1,    // none
    ShowStart = 2,           // none
    ShowStop = 3,            // none
    LockOptions = 4,         // none
    UnlockOptions = 5,       // none
    StartAll = 6,            // none
    StopJob = 7,             // none
    ListBusy = 8,            // none
    ListIdle = 9,            // none
    AddFiles = 10,           // none
    FileLoaded = 11,         // FileRowInfo*; an observer may clear its add flag
    AddFolder = 12,          // none
    DeleteSelected = 13,     // none
    ClearAll = 14,           // none
    SelectAll = 15,          // none
    RowFocused = 16,         // FileCellInfo* (row, column, row cells)
    RowsRemoved = 17,        // FileCellInfo* (row; -1 = all rows)
    SelectInvert = 18,       // none
    PageCellEdited = 19,     // FileCellInfo*; an observer may replace value_ or clear accept_
    ForceCustomFolder = 22,  // none
    OpenPreferences = 23,    // none
    RangeAllPages = 24,      // none
    RangeCurrentPage = 25,   // int* current page
    RangeCustom = 26,        // wxString* range text
    PreviewPageChanged = 27, // int* page shown
    PreferencesSave = 28,    // int* veto flag, 0 on entry; an observer sets it to keep the dialog open
    PreferencesReset = 29    // none
};

#endif
