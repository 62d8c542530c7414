// The process-wide conversion option table, shared by the settings store, the
// panels and the extraction job.
//
// Reading an absent key inserts it with an empty text (operator[]), so a
// missing key reads as "" (and as 0 through StringUtil::ToInt). The table has
// no lock: it is written on the UI thread only, and only while no job runs; a
// job works on its own copy (ConvertOptionMap copy = ConvertOptions;) taken
// when it starts, so the merge check box, which stays enabled, cannot change
// a running job.
#ifndef KESTRAN_DOMAIN_CONVERT_OPTIONS_H
#define KESTRAN_DOMAIN_CONVERT_OPTIONS_H

#include <unordered_map>

#include <wx/string.h>

enum ConvertOptionKey : int {
    LAST_CONVERT_DIR = 0,    // folder files were last added from (settings file)
    LAST_OUTPUT_DIR = 1,     // output folder (settings file)
    SAVE_IN_SOURCE_DIR = 2,  // "1": write next to each source file, "0": LAST_OUTPUT_DIR
    MERGE_INTO_ONE = 3,      // "1" / "0"
    MERGE_AVAILABLE = 4,     // "1" / "0"; 3 and 4 both non-zero: ask for MERGED_FILE_NAME
    MERGED_FILE_NAME = 5,
    OUTPUT_TYPE = 6,         // index into the output-type choices, "0"
    STATUS_COLUMN = 9,       // grid column the job reports into, "5"
    MIN_IMAGE_SIDE = 10,     // pixels: images narrower or lower are left out; "0" = all (settings file)
    SKIP_FLAT_IMAGES = 11,   // "1": images of one flat colour are left out (settings file)
    WRITE_MANIFEST = 12      // "1": each file's list of images beside them, <name>-images.csv (settings file)
};

using ConvertOptionMap = std::unordered_map<int, wxString>;

extern ConvertOptionMap ConvertOptions;

#endif
