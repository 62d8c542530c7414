// Whether a file can be read at all, before anything looks at its content.
// Below the opening of documents, which asks it when MuPDF cannot open one.
#ifndef KESTRAN_PDF_FILE_PROBLEM_H
#define KESTRAN_PDF_FILE_PROBLEM_H

#include <string>

namespace kestran::pdf {

// Why the file at `path` cannot be read at all, in the words of strerror
// ("Permission denied", "Is a directory", "No such file or directory",
// "Input/output error"), or "not a regular file" for a pipe or a device
// (reading one may block for ever or never end); empty when the file opens
// and its first byte can be read. Whatever fails after that is the content's
// fault: not a PDF, damaged beyond repair, or locked by a password.
std::string ReadProblem(const std::string& path);

}  // namespace kestran::pdf

#endif
