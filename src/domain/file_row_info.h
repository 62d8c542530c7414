// The records that carry an added PDF file to its row of the file list, and
// the one that describes a cell event to observers.
#ifndef KESTRAN_DOMAIN_FILE_ROW_INFO_H
#define KESTRAN_DOMAIN_FILE_ROW_INFO_H

#include <cstdint>
#include <vector>

#include <wx/arrstr.h>
#include <wx/object.h>
#include <wx/string.h>

// The nine columns of a row; the index is the grid column.
enum FileColumn : int {
    COL_FILE_NAME = 0,      // name with extension, read-only
    COL_SIZE = 1,           // FileUtil::FormatSize text, read-only
    COL_TOTAL_PAGES = 2,    // "%d", empty when the file cannot be opened
    COL_OUTPUT_TYPE = 3,    // choice: index into the output types
    COL_SELECTED_PAGE = 4,  // editable page range, "1-%d" at first
    COL_STATUS = 5,         // status cell ("Not Converted", progress bar...)
    COL_SOURCE_PATH = 6,    // hidden: the path as added
    COL_SOURCE_DIR = 7,     // hidden: folder of the file, no trailing "/"
    COL_OUTPUT_NAME = 8,    // hidden: empty
    COL_COUNT = 9
};

// Note: <X11/Xlib.h> defines a macro Status; keep X11 headers out of the files
// that use ColumnKind.
enum ColumnKind : int {
    Editable = 0,
    Choice = 1,
    ReadOnly = 2,
    Status = 3
};

// How the grid shows each column: English label (translated when shown),
// width in pixels (0 = hidden) and kind; index = column.
struct FileColumnSpec {
    const char* label;
    int width;
    ColumnKind kind;
};

inline constexpr FileColumnSpec kFileColumns[COL_COUNT] = {
    {"File Name", 120, ReadOnly},    {"Size", 60, ReadOnly},        {"Total Pages", 80, ReadOnly},
    {"Output Type", 90, Choice},     {"Selected Page", 90, Editable}, {"Status", 90, Status},
    {"Source Path", 0, ReadOnly},    {"Source Dir", 0, ReadOnly},   {"Output Name", 0, ReadOnly},
};

// FileRowInfo::status_ values produced by row building. The main frame reads
// every non-zero value as "do not add silently": 2 and 3 cannot be opened,
// 4 is a scanned document.
enum FileRowStatus : int {
    RowOpened = 0,
    RowEmptyFile = 1,
    RowCannotOpen = 3,
    RowAlreadyListed = 5  // set by the file list: the same file is in the list already
};

class FileRowInfo : public wxObject {
public:
    FileRowInfo() = default;
    explicit FileRowInfo(const wxString& source_path) : source_path_(source_path) {}

    int status_ = RowOpened;
    bool add_ = true;          // cleared by a FileLoaded observer to keep the row out
    wxString source_path_;     // exactly as it came in the add list
    uint64_t size_ = 0;        // bytes
    wxArrayString cells_;      // COL_COUNT texts once built
    wxString reason_;          // why the file cannot be added, in the user's language; "" when it can
};

using FileRowInfoArray = std::vector<FileRowInfo>;

// Payload of RowFocused, RowsRemoved and PageCellEdited.
class FileCellInfo : public wxObject {
public:
    bool accept_ = true;     // PageCellEdited: an observer refuses the edit by clearing it
    int row_ = -1;           // -1: all rows (Clear All)
    int column_ = -1;
    wxString value_;         // the edited text; an observer may replace it
    wxArrayString cells_;    // the row's texts at notification time (empty for removals)
};

#endif
