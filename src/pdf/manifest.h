// The manifest: one row per image found (ImageRecord), as CSV with a header
// row or as JSON Lines, written as the rows come so that a run stopped at
// any point leaves a valid file with the rows so far.
#ifndef KESTRAN_PDF_MANIFEST_H
#define KESTRAN_PDF_MANIFEST_H

#include <string>

#include "pdf/output_choice.h"

namespace kestran::pdf {

enum class ManifestFormat { Csv, JsonLines };

// JSON Lines for a name ending in ".jsonl" (any case), CSV otherwise.
ManifestFormat ManifestFormatFor(const std::string& path);

// The CSV header row (with its line end); empty for JSON Lines.
std::string ManifestHeader(ManifestFormat format);

// One record as a row with its line end. Columns, in order: source, page,
// index, object ("inline" for an inline image), width, height, bits,
// colour_space, filters, action, detail, output_file, size, sha256, x0, y0,
// x1, y1 (the placement's box in points), ppi_x, ppi_y. CSV follows RFC 4180
// (CRLF, a field with a comma, quote or line break quoted, quotes doubled);
// JSON Lines gives one object per line, strings escaped, bytes that are not
// UTF-8 as U+FFFD. Numbers are written the same in every locale.
std::string ManifestRow(ManifestFormat format, const ImageRecord& record);

// The manifest file. Never replaces a file: when the name is taken, the
// first free one of "name (2).csv", "name (3).csv"... is used instead.
// Owned by one thread at a time.
class ManifestWriter {
public:
    ManifestWriter() = default;
    ~ManifestWriter();
    ManifestWriter(const ManifestWriter&) = delete;
    ManifestWriter& operator=(const ManifestWriter&) = delete;

    // Creates the file and writes the header. False with `error` set when
    // it cannot be created.
    bool Open(const std::string& path, std::string* error = nullptr);
    // The file's path as created (differs from the one asked for when that was taken).
    const std::string& Path() const { return path_; }
    ManifestFormat Format() const { return format_; }

    // Appends rows made by ManifestRow, each in one write so that the file
    // never ends in the middle of a row. False once a write has failed.
    bool Write(const std::string& rows);
    // Formats and appends one record.
    bool Write(const ImageRecord& record) { return Write(ManifestRow(format_, record)); }

private:
    int fd_ = -1;
    bool failed_ = false;
    std::string path_;
    ManifestFormat format_ = ManifestFormat::Csv;
};

}  // namespace kestran::pdf

#endif
