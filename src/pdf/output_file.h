// Image file names and the safe way of putting an image file in place.
#ifndef KESTRAN_PDF_OUTPUT_FILE_H
#define KESTRAN_PDF_OUTPUT_FILE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestran::pdf {

// How many digits the page and the image number of a name take. Each is
// padded to the digits of the largest value it has among one file's names
// (the file's page count; the images written for the page), with a floor,
// so that a plain sort of the folder lists the images in page and paint
// order: report-004-099 before report-004-100.
struct NameWidths {
    int page = 3;
    int image = 2;
};
int PageDigits(long long page_count);     // at least 3
int ImageDigits(long long images_on_page);  // at least 2

// The name of an image file: <source name without extension>-<page>-<image>.<ext>,
// the page and the image (its number among the images first seen on that
// page, from 1) zero-padded to `widths`, for example report-007-02.png.
// `copy` 1 is the plain name; 2 and up give "report-007-02 (2).png" and so on,
// used when the plain name is taken: an existing file is never overwritten.
// A name that would exceed 255 bytes gets a shortened source name.
std::string ImageFileName(const std::string& stem, int page, int image, const std::string& extension, int copy = 1,
                          NameWidths widths = {});

// File name of a path without its folder and without its last extension
// ("/a/b/report.v2.pdf" gives "report.v2"; a leading dot is part of the name).
std::string SourceStem(const std::string& path);

enum class OutputStatus {
    Ok,
    FolderUnusable,  // the folder vanished or refuses new files
    WriteFailed,     // the data could not be written (disk full, I/O error)
    Abandoned,       // the producer of a streamed file gave up (bad data, stop), or the
                     // process is ending (DiscardTemporaryFiles)
};

// Writes `size` bytes as a new file in `folder` under the first free name of
// ImageFileName(stem, page, image, extension, 1, 2, ...). The data first goes
// to a hidden temporary file in the same folder, which is renamed only when
// complete and flushed, without ever replacing an existing file; on any
// failure the temporary file is removed. `written_name` receives the file name.
OutputStatus WriteImageFile(const std::string& folder, const std::string& stem, int page, int image,
                            const std::string& extension, const uint8_t* data, size_t size,
                            std::string* written_name = nullptr);

// The same for data in several pieces, written one after the other.
struct ByteSpan {
    const uint8_t* data;
    size_t size;
};
OutputStatus WriteImageFile(const std::string& folder, const std::string& stem, int page, int image,
                            const std::string& extension, const std::vector<ByteSpan>& parts,
                            std::string* written_name = nullptr);

// The same for data produced while it is written, so that a large image never
// has to be held whole: `produce` hands its bytes to the sink it is given, in
// order, and returns false to abandon the file (Abandoned, nothing left
// behind). The sink returns false once a write has failed.
using ByteSink = std::function<bool(const uint8_t* data, size_t size)>;
using ByteProducer = std::function<bool(const ByteSink& sink)>;
OutputStatus WriteImageFileStreamed(const std::string& folder, const std::string& stem, int page, int image,
                                    const std::string& extension, const ByteProducer& produce,
                                    std::string* written_name = nullptr);

class PartFile;

// An image file in two steps, for writers that learn the file's number only
// after its data is written (images encoded side by side, named in page
// order): Write puts the data into a hidden temporary file in the folder,
// Publish later gives it the first free name. Until then the file is one of
// the temporary files DiscardTemporaryFiles removes, and the destructor
// removes it when it was never published. WriteImageFileStreamed is the two
// steps at once.
class PendingImageFile {
public:
    PendingImageFile();
    ~PendingImageFile();
    PendingImageFile(PendingImageFile&& other) noexcept;
    PendingImageFile& operator=(PendingImageFile&& other) noexcept;

    // Creates the temporary file and writes what `produce` hands to its sink
    // (see ByteProducer). Ok when the data is complete on disk; otherwise
    // nothing is left behind. Once per object. With `sha256`, the bytes are
    // hashed as they go by (Sha256).
    OutputStatus Write(const std::string& folder, const ByteProducer& produce, bool sha256 = false);

    // Renames the written file to the first free name of ImageFileName(stem,
    // page, image, extension, 1, 2, ..., widths), never replacing a file. A
    // name taken by a file of exactly the same bytes ends the search: the
    // image is already there (a second run into the same folder), the
    // temporary file is removed, `written_name` names that file and
    // `already_there` (may be null) is set. On failure the temporary file is
    // removed. Only after Write returned Ok.
    OutputStatus Publish(const std::string& stem, int page, int image, const std::string& extension,
                         std::string* written_name = nullptr, NameWidths widths = {}, bool* already_there = nullptr);

    // The size and SHA-256 (lowercase hex; empty unless Write was asked for
    // it) of what Write wrote; kept after Publish.
    uint64_t Size() const { return size_; }
    const std::string& Sha256() const { return sha256_; }

private:
    void Remove();

    std::unique_ptr<PartFile> part_;
    std::string folder_;
    uint64_t size_ = 0;
    std::string sha256_;
};

// True when the files at paths `a` and `b` hold exactly the same bytes.
bool SameFileContent(const std::string& a, const std::string& b);

// For a process about to end: removes the temporary files being written now
// and makes every later WriteImageFile* return Abandoned without creating
// anything, so that ending the process at once leaves no partial file behind.
// A file already renamed into place stays, complete. Irreversible for the
// process. Safe from any thread; it waits only for writers creating or
// unlisting a temporary file, never for one writing its data.
void DiscardTemporaryFiles();

}  // namespace kestran::pdf

#endif
