// Temporary image files named after the process writing them, and the removal
// of those whose writer died before renaming them (a hard kill, a crash, a
// power cut), which would otherwise stay in the output folder for ever.
#ifndef KESTRAN_PDF_STALE_TEMP_FILES_H
#define KESTRAN_PDF_STALE_TEMP_FILES_H

#include <string>

namespace kestran::pdf {

// Prefix of the temporary files WriteImageFile creates (they are hidden files).
// The rest of the name says which process writes the file, so that the first
// write of a process into a folder removes those of writers that died.
extern const char kTempFilePrefix[];

// Who writes a temporary file. A process id means something only on its own
// machine and in its own process-id namespace (a sandboxed program on the same
// machine counts its processes apart), and it is reused once the process is
// gone; its start time tells the writer from a later process with the same id.
struct TempFileWriter {
    std::string host;               // host name; characters other than [A-Za-z0-9._-] as '_'
    unsigned long long pid_namespace = 0;  // 0 = unknown
    long long pid = 0;
    unsigned long long start = 0;   // clock ticks from boot to the process start; 0 = unknown
};

// This process.
TempFileWriter ThisTempFileWriter();

// The name of a temporary file up to the six characters mkostemp adds:
// kTempFilePrefix + "<host>-<pid namespace>-<pid>-<start>-".
std::string TempFileNameStem(const TempFileWriter& writer);

// Reads the writer back from a complete temporary file name; false for any
// other name, the unnamed temporary files of earlier versions included.
bool ParseTempFileName(const std::string& name, TempFileWriter& writer);

// Clock ticks from boot to the start of process `pid` (/proc/<pid>/stat), 0
// when it cannot be told.
unsigned long long ProcessStartTicks(long long pid);

// True only when the writer of a file is certainly gone: it ran on this
// machine in this process-id namespace, and no process has its id any more,
// or the process that has it started at another time. Anything uncertain
// (another machine, an unknown namespace or start) keeps the file.
bool TempFileWriterIsGone(const TempFileWriter& writer, const TempFileWriter& self);

// Removes from `folder` the temporary files, of this user, whose writer is
// gone. Returns how many were removed.
int RemoveStaleTempFiles(const std::string& folder);

// RemoveStaleTempFiles on the first call for `folder` in this process: the
// first image a run writes into a folder clears what killed runs left there.
void RemoveStaleTempFilesOnce(const std::string& folder);

}  // namespace kestran::pdf

#endif
