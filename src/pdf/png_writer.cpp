#include "pdf/png_writer.h"

#include "pdf/checksums.h"
#include "pdf/colour_profile.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#ifdef KESTRAN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace kestran::pdf {
namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void PutChunk(std::vector<uint8_t>& out, const char type[4], const uint8_t* data, size_t size)
{
    Put32(out, static_cast<uint32_t>(size));
    size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (size > 0)
        out.insert(out.end(), data, data + size);
    Put32(out, Crc32(kCrc32Start, out.data() + start, size + 4));
}

// The profile a PNG's iCCP chunk holds: the format's when it describes the
// colour type's colours (gray for gray, RGB for colour and palettes), else none.
const std::vector<uint8_t>* WrittenProfile(const PngFormat& format)
{
    const bool gray = format.color == PngColor::Gray || format.color == PngColor::GrayAlpha;
    const std::vector<uint8_t>& profile = format.icc_profile;
    if (profile.empty() || !IsUsableIccProfile(profile.data(), profile.size(), gray ? 1 : 3))
        return nullptr;
    return &profile;
}

// iCCP with the written profile, else sRGB when asked for.
void PutColourChunk(std::vector<uint8_t>& out, const PngFormat& format)
{
    if (const std::vector<uint8_t>* written = WrittenProfile(format)) {
        const std::vector<uint8_t>& profile = *written;
        static const char kName[] = "ICC profile";  // with its terminating zero
        std::vector<uint8_t> chunk(kName, kName + sizeof kName);
        chunk.push_back(0);  // compression method: zlib
        uLongf packed = compressBound(static_cast<uLong>(profile.size()));
        const size_t head = chunk.size();
        chunk.resize(head + packed);
        if (compress2(chunk.data() + head, &packed, profile.data(), static_cast<uLong>(profile.size()), 6) == Z_OK) {
            chunk.resize(head + packed);
            PutChunk(out, "iCCP", chunk.data(), chunk.size());
            return;
        }
    }
    if (format.srgb) {
        const uint8_t intent = 1;  // relative colorimetric
        PutChunk(out, "sRGB", &intent, 1);
    }
}

void PutHeader(std::vector<uint8_t>& out, const PngFormat& format)
{
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    out.insert(out.end(), kSignature, kSignature + 8);
    uint8_t ihdr[13];
    for (int i = 0; i < 4; ++i) {
        ihdr[i] = static_cast<uint8_t>(format.width >> (24 - 8 * i));
        ihdr[4 + i] = static_cast<uint8_t>(format.height >> (24 - 8 * i));
    }
    ihdr[8] = static_cast<uint8_t>(format.bit_depth);
    ihdr[9] = static_cast<uint8_t>(format.color);
    ihdr[10] = 0;  // deflate
    ihdr[11] = 0;  // adaptive filtering
    ihdr[12] = 0;  // no interlace
    PutChunk(out, "IHDR", ihdr, sizeof ihdr);
    PutColourChunk(out, format);
    if (format.color == PngColor::Palette) {
        PutChunk(out, "PLTE", format.palette.data(), format.palette.size());
        if (!format.transparency.empty())
            PutChunk(out, "tRNS", format.transparency.data(), format.transparency.size());
    }
}

void PutIdatAndEnd(std::vector<uint8_t>& out, const uint8_t* data, size_t size)
{
    const size_t kChunk = size_t(1) << 20;
    do {
        size_t part = size < kChunk ? size : kChunk;
        PutChunk(out, "IDAT", data, part);
        data += part;
        size -= part;
    } while (size > 0);
    PutChunk(out, "IEND", nullptr, 0);
}

uint8_t Paeth(int a, int b, int c)
{
    int p = a + b - c;
    int pa = p > a ? p - a : a - p;
    int pb = p > b ? p - b : b - p;
    int pc = p > c ? p - c : c - p;
    if (pa <= pb && pa <= pc)
        return static_cast<uint8_t>(a);
    return static_cast<uint8_t>(pb <= pc ? b : c);
}

// Filters one row into `dst` (filter byte first). Sub/Up/Paeth on whole-byte
// samples; rows of packed samples (depth < 8) and palettes compress best unfiltered.
void FilterRow(const PngFormat& format, const uint8_t* row, const uint8_t* prev, size_t row_bytes, uint8_t* dst)
{
    if (format.bit_depth < 8 || format.color == PngColor::Palette) {
        dst[0] = 0;
        std::memcpy(dst + 1, row, row_bytes);
        return;
    }
    const size_t bpp = static_cast<size_t>(PngChannels(format.color)) * static_cast<size_t>(format.bit_depth / 8);
    uint8_t* out = dst + 1;
    if (prev == nullptr) {
        dst[0] = 1;  // Sub
        for (size_t i = 0; i < row_bytes; ++i)
            out[i] = static_cast<uint8_t>(row[i] - (i >= bpp ? row[i - bpp] : 0));
        return;
    }
    dst[0] = 4;  // Paeth
    for (size_t i = 0; i < bpp && i < row_bytes; ++i)
        out[i] = static_cast<uint8_t>(row[i] - prev[i]);
    for (size_t i = bpp; i < row_bytes; ++i)
        out[i] = static_cast<uint8_t>(row[i] - Paeth(row[i - bpp], prev[i], prev[i - bpp]));
}

// The zlib level for the rows of `format` at `level`, a level on libdeflate's
// scale. zlib's level 1 is its fast mode; higher levels cost much more than
// libdeflate's at the same number. Packed rows (1-bit scans, line art) repeat
// at long distances, where zlib's lazy matching from level 4 on pays: on the
// benchmark's 60 pages of 2480 x 3508 1-bit scans, level 1 wrote 5.66 MB in
// 0.38 s, level 4 5.01 MB in 0.57 s (libdeflate holding the whole image:
// 4.44 MB, but 1.5 MB more memory per page).
int ZlibLevel(int level, const PngFormat& format)
{
    if (level > 2)
        return level;
    return format.bit_depth < 8 ? 4 : 1;
}

#ifdef KESTRAN_HAVE_LIBDEFLATE
// One-shot deflate of the whole filtered image: libdeflate is the fastest
// deflate here, but it needs all the data at once.
// Deflates into `out` after the bytes it already holds, in place: the PNG is
// built around the data without a second copy of it.
bool DeflateAll(const uint8_t* data, size_t size, int level, std::vector<uint8_t>& out)
{
    struct Free {
        void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
    };
    thread_local std::unique_ptr<libdeflate_compressor, Free> compressor;
    thread_local int compressor_level = 0;
    if (!compressor || compressor_level != level) {
        compressor.reset(libdeflate_alloc_compressor(level));
        compressor_level = level;
    }
    if (!compressor)
        return false;
    const size_t start = out.size();
    out.resize(start + libdeflate_zlib_compress_bound(compressor.get(), size));
    size_t written = libdeflate_zlib_compress(compressor.get(), data, size, out.data() + start, out.size() - start);
    if (written == 0)
        return false;
    out.resize(start + written);
    return true;
}
#endif

// Filters and deflates row by row with zlib, so that no filtered copy of the
// whole image is ever held: used for large images.
class StreamingDeflate {
public:
    explicit StreamingDeflate(int level) { ok_ = deflateInit(&zs_, level) == Z_OK; }
    ~StreamingDeflate()
    {
        if (ok_)
            deflateEnd(&zs_);
    }
    StreamingDeflate(const StreamingDeflate&) = delete;
    StreamingDeflate& operator=(const StreamingDeflate&) = delete;

    bool Add(const uint8_t* data, size_t size, bool last, std::vector<uint8_t>& out)
    {
        if (!ok_)
            return false;
        zs_.next_in = const_cast<Bytef*>(data);
        zs_.avail_in = static_cast<uInt>(size);
        for (;;) {
            if (out.size() - produced_ < 65536)
                out.resize(std::max<size_t>(out.size() * 2, produced_ + (size_t(1) << 20)));
            zs_.next_out = out.data() + produced_;
            zs_.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - produced_, 1u << 30));
            const uInt before = zs_.avail_out;
            const int status = deflate(&zs_, last ? Z_FINISH : Z_NO_FLUSH);
            produced_ += before - zs_.avail_out;
            if (status == Z_STREAM_END) {
                out.resize(produced_);
                return true;
            }
            if (status != Z_OK && status != Z_BUF_ERROR)
                return false;
            if (!last && zs_.avail_in == 0)
                return true;
        }
    }

private:
    z_stream zs_{};
    bool ok_ = false;
    size_t produced_ = 0;
};

// Above this size of filtered data the encoder streams (zlib) instead of
// compressing in one call (libdeflate): memory then stays at the image itself.
constexpr size_t kOneShotLimit = size_t(64) << 20;

}  // namespace

// Hashes what a PNG shows (see EncodePng): the format first, then row after row.
class PngPixelHasher {
public:
    explicit PngPixelHasher(const PngFormat& format)
        : row_bytes_(PngRowBytes(format)),
          packed_(format.bit_depth < 8),
          bit_depth_(format.bit_depth),
          flat_(format.bit_depth < 8 ? 1 : static_cast<size_t>(PngChannels(format.color)) * (format.bit_depth / 8))
    {
        static constexpr uint64_t kPngTag = 0x504e47;  // "PNG": no TIFF of the same pixels is the same file
        hasher_.AddNumber(kPngTag);
        hasher_.AddNumber(format.width);
        hasher_.AddNumber(format.height);
        hasher_.AddNumber(static_cast<uint64_t>(format.bit_depth));
        hasher_.AddNumber(static_cast<uint64_t>(format.color));
        if (format.color == PngColor::Palette) {
            hasher_.AddBytes(format.palette);
            hasher_.AddBytes(format.transparency);
        }
        const std::vector<uint8_t>* profile = WrittenProfile(format);
        hasher_.AddNumber(profile != nullptr ? 1 : format.srgb ? 2 : 0);
        if (profile != nullptr)
            hasher_.AddBytes(*profile);
        const size_t used = static_cast<size_t>(format.width) * static_cast<size_t>(PngChannels(format.color)) *
                            static_cast<size_t>(format.bit_depth) % 8;
        if (used != 0)
            last_byte_mask_ = static_cast<uint8_t>(0xff << (8 - used));
    }

    // One unfiltered row of PngRowBytes bytes. The bits after the last pixel
    // are whatever the source left there; readers ignore them, so does the hash.
    void AddRow(const uint8_t* row)
    {
        if (row_bytes_ == 0)
            return;
        hasher_.Add(row, row_bytes_ - 1);
        const uint8_t last = row[row_bytes_ - 1] & last_byte_mask_;
        hasher_.Add(&last, 1);
        if (flat_.Flat())
            WatchFlat(row);
    }

    PixelHash Finish() const
    {
        PixelHash hash = hasher_.Finish();
        hash.flat = flat_.Flat();
        return hash;
    }

private:
    // Whole pixels of 8 or 16-bit samples compare byte for byte. Packed ones
    // (1, 2 or 4 bits, one sample) of a flat row are the first sample
    // repeated in every byte, the bits after the row's end aside.
    void WatchFlat(const uint8_t* row)
    {
        if (!packed_) {
            flat_.Add(row, row_bytes_);
            return;
        }
        uint8_t pattern = static_cast<uint8_t>(row[0] >> (8 - bit_depth_));
        for (int bits = bit_depth_; bits < 8; bits *= 2)
            pattern = static_cast<uint8_t>(pattern | (pattern << bits));
        bool same = (row[row_bytes_ - 1] & last_byte_mask_) == (pattern & last_byte_mask_);
        for (size_t i = 0; same && i + 1 < row_bytes_; ++i)
            same = row[i] == pattern;
        // The pattern byte itself goes to the watch, so that rows compare with the first.
        flat_.Add(&pattern, 1);
        if (!same)
            flat_.Differs();
    }

    PixelHasher hasher_;
    size_t row_bytes_;
    uint8_t last_byte_mask_ = 0xff;
    bool packed_;
    int bit_depth_;
    FlatWatch flat_;
};

int PngChannels(PngColor color)
{
    switch (color) {
    case PngColor::Gray: return 1;
    case PngColor::Rgb: return 3;
    case PngColor::Palette: return 1;
    case PngColor::GrayAlpha: return 2;
    case PngColor::Rgba: return 4;
    }
    return 0;
}

size_t PngRowBytes(const PngFormat& format)
{
    return (static_cast<size_t>(format.width) * PngChannels(format.color) * format.bit_depth + 7) / 8;
}

bool IsValidPngFormat(const PngFormat& format)
{
    if (format.width == 0 || format.height == 0 || format.width > 0x7fffffffu || format.height > 0x7fffffffu)
        return false;
    int d = format.bit_depth;
    switch (format.color) {
    case PngColor::Gray:
        if (d != 1 && d != 2 && d != 4 && d != 8 && d != 16)
            return false;
        break;
    case PngColor::Palette:
        if (d != 1 && d != 2 && d != 4 && d != 8)
            return false;
        if (format.palette.empty() || format.palette.size() % 3 != 0 ||
            format.palette.size() / 3 > (static_cast<size_t>(1) << d))
            return false;
        if (format.transparency.size() > format.palette.size() / 3)
            return false;
        break;
    case PngColor::Rgb:
    case PngColor::GrayAlpha:
    case PngColor::Rgba:
        if (d != 8 && d != 16)
            return false;
        break;
    default:
        return false;
    }
    return true;
}

bool EncodePng(const PngFormat& format, const uint8_t* rows, size_t stride, std::vector<uint8_t>& out, int level,
               bool (*should_stop)(void*), void* stop_user, PixelHash* pixels)
{
    out.clear();
    if (!IsValidPngFormat(format) || rows == nullptr)
        return false;
    std::optional<PngPixelHasher> hasher;
    if (pixels != nullptr)
        hasher.emplace(format);
    const size_t row_bytes = PngRowBytes(format);
    const size_t filtered_size = (row_bytes + 1) * format.height;
    std::vector<uint8_t> compressed;
    bool one_shot = false;
#ifdef KESTRAN_HAVE_LIBDEFLATE
    one_shot = filtered_size <= kOneShotLimit;
#endif
    if (one_shot) {
#ifdef KESTRAN_HAVE_LIBDEFLATE
        std::vector<uint8_t> filtered(filtered_size);
        const uint8_t* prev = nullptr;
        for (uint32_t y = 0; y < format.height; ++y) {
            if (should_stop != nullptr && (y & 63) == 0 && should_stop(stop_user))
                return false;
            const uint8_t* row = rows + stride * y;
            FilterRow(format, row, prev, row_bytes, filtered.data() + (row_bytes + 1) * y);
            if (hasher)
                hasher->AddRow(row);
            prev = row;
        }
        // One IDAT chunk, its data compressed straight into place.
        PutHeader(out, format);
        const size_t length_at = out.size();
        Put32(out, 0);
        static const uint8_t kIdat[4] = {'I', 'D', 'A', 'T'};
        out.insert(out.end(), kIdat, kIdat + 4);
        if (!DeflateAll(filtered.data(), filtered.size(), level, out) || out.size() - length_at - 8 > 0x7fffffffu) {
            out.clear();
            return false;
        }
        filtered = std::vector<uint8_t>();
        const size_t length = out.size() - length_at - 8;
        for (int i = 0; i < 4; ++i)
            out[length_at + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
        Put32(out, Crc32(kCrc32Start, out.data() + length_at + 4, length + 4));
        PutChunk(out, "IEND", nullptr, 0);
        if (hasher)
            *pixels = hasher->Finish();
        return true;
#endif
    } else {
        StreamingDeflate deflater(ZlibLevel(level, format));
        const size_t rows_per_chunk = std::max<size_t>(1, (size_t(1) << 20) / (row_bytes + 1));
        std::vector<uint8_t> chunk((row_bytes + 1) * rows_per_chunk);
        const uint8_t* prev = nullptr;
        for (uint32_t y = 0; y < format.height;) {
            if (should_stop != nullptr && should_stop(stop_user))
                return false;
            size_t n = 0;
            for (; n < rows_per_chunk && y < format.height; ++n, ++y) {
                const uint8_t* row = rows + stride * y;
                FilterRow(format, row, prev, row_bytes, chunk.data() + (row_bytes + 1) * n);
                if (hasher)
                    hasher->AddRow(row);
                prev = row;
            }
            if (!deflater.Add(chunk.data(), (row_bytes + 1) * n, y == format.height, compressed))
                return false;
        }
    }
    out.reserve(compressed.size() + 128 + format.palette.size() + format.transparency.size());
    PutHeader(out, format);
    PutIdatAndEnd(out, compressed.data(), compressed.size());
    if (hasher)
        *pixels = hasher->Finish();
    return true;
}

bool WrapPngIdat(const PngFormat& format, const uint8_t* zlib_data, size_t zlib_size, std::vector<uint8_t>& out)
{
    out.clear();
    if (!IsValidPngFormat(format) || zlib_data == nullptr || zlib_size == 0)
        return false;
    out.reserve(zlib_size + 128 + format.palette.size());
    PutHeader(out, format);
    PutIdatAndEnd(out, zlib_data, zlib_size);
    return true;
}

bool WrapPngIdatParts(const PngFormat& format, const uint8_t* zlib_data, size_t zlib_size, std::vector<uint8_t>& head,
                      std::vector<uint8_t>& tail)
{
    head.clear();
    tail.clear();
    if (!IsValidPngFormat(format) || zlib_data == nullptr || zlib_size == 0 || zlib_size > 0x7fffffffu)
        return false;
    PutHeader(head, format);
    Put32(head, static_cast<uint32_t>(zlib_size));
    static const uint8_t kIdat[4] = {'I', 'D', 'A', 'T'};
    head.insert(head.end(), kIdat, kIdat + 4);
    Put32(tail, Crc32(Crc32(kCrc32Start, kIdat, 4), zlib_data, zlib_size));
    PutChunk(tail, "IEND", nullptr, 0);
    return true;
}

struct PngRowsCheck::Zlib {
    z_stream zs{};
};

PngRowsCheck::PngRowsCheck(const PngFormat& format, PixelHash* pixels)
    : zlib_(std::make_unique<Zlib>()), pixels_(pixels)
{
    if (!IsValidPngFormat(format))
        return;
    row_bytes_ = PngRowBytes(format);
    expected_ = (row_bytes_ + 1) * format.height;
    if (pixels_ != nullptr) {
        hasher_ = std::make_unique<PngPixelHasher>(format);
        // The byte distance of the filters: a whole pixel, or 1 below 8 bits.
        pixel_bytes_ = std::max<size_t>(1, static_cast<size_t>(PngChannels(format.color)) *
                                               static_cast<size_t>(format.bit_depth) / 8);
        row_.assign(row_bytes_ + 1, 0);
        prev_.assign(row_bytes_ + 1, 0);  // the row above the first is zeros
    }
    if (inflateInit(&zlib_->zs) != Z_OK)
        return;
    ready_ = true;
    status_ = Z_OK;
    window_.resize(std::min<size_t>(expected_ + 1, size_t(1) << 18) + 1);
}

PngRowsCheck::~PngRowsCheck()
{
    if (ready_)
        inflateEnd(&zlib_->zs);
}

void PngRowsCheck::Inflate()
{
    z_stream& zs = zlib_->zs;
    zs.next_out = window_.data();
    zs.avail_out = static_cast<uInt>(window_.size());
    status_ = inflate(&zs, Z_NO_FLUSH);
    if (status_ != Z_OK && status_ != Z_STREAM_END) {
        failed_ = true;
        return;
    }
    const size_t got = window_.size() - zs.avail_out;
    for (; next_filter_ < total_ + got; next_filter_ += row_bytes_ + 1) {
        if (window_[next_filter_ - total_] > 4) {
            failed_ = true;
            return;
        }
    }
    total_ += got;
    if (total_ > expected_) {
        failed_ = true;
        return;
    }
    if (hasher_)
        Unfilter(window_.data(), got);
}

void PngRowsCheck::Unfilter(const uint8_t* data, size_t size)
{
    while (size > 0) {
        const size_t take = std::min(size, row_.size() - filled_);
        std::memcpy(row_.data() + filled_, data, take);
        filled_ += take;
        data += take;
        size -= take;
        if (filled_ < row_.size())
            return;
        filled_ = 0;
        uint8_t* cur = row_.data() + 1;
        const uint8_t* up = prev_.data() + 1;
        const size_t n = row_bytes_;
        const size_t bpp = pixel_bytes_;
        switch (row_[0]) {  // checked to be 0 to 4 by Inflate
        case 1:
            for (size_t i = bpp; i < n; ++i)
                cur[i] = static_cast<uint8_t>(cur[i] + cur[i - bpp]);
            break;
        case 2:
            for (size_t i = 0; i < n; ++i)
                cur[i] = static_cast<uint8_t>(cur[i] + up[i]);
            break;
        case 3:
            for (size_t i = 0; i < n; ++i)
                cur[i] = static_cast<uint8_t>(cur[i] + (((i >= bpp ? cur[i - bpp] : 0) + up[i]) >> 1));
            break;
        case 4:
            for (size_t i = 0; i < n; ++i)
                cur[i] = static_cast<uint8_t>(
                    cur[i] + (i >= bpp ? Paeth(cur[i - bpp], up[i], up[i - bpp]) : Paeth(0, up[i], 0)));
            break;
        default: break;
        }
        hasher_->AddRow(cur);
        row_.swap(prev_);
    }
}

bool PngRowsCheck::Feed(const uint8_t* data, size_t size)
{
    z_stream& zs = zlib_->zs;
    while (ready_ && !failed_ && size > 0 && status_ != Z_STREAM_END) {
        const uInt part = static_cast<uInt>(std::min<size_t>(size, size_t(1) << 30));
        zs.next_in = const_cast<Bytef*>(data);
        zs.avail_in = part;
        while (!failed_ && zs.avail_in > 0 && status_ != Z_STREAM_END)
            Inflate();
        data += part;
        size -= part;
    }
    return ready_ && !failed_;
}

bool PngRowsCheck::Finish()
{
    // Output zlib may still hold after the last input block.
    z_stream& zs = zlib_->zs;
    zs.avail_in = 0;
    while (ready_ && !failed_ && status_ == Z_OK) {
        const size_t before = total_;
        Inflate();
        if (total_ == before)
            break;
    }
    const bool whole = ready_ && !failed_ && status_ == Z_STREAM_END && total_ == expected_;
    if (whole && hasher_)
        *pixels_ = hasher_->Finish();
    return whole;
}

bool IsPngFilteredStream(const PngFormat& format, const uint8_t* zlib_data, size_t zlib_size, PixelHash* pixels)
{
    if (zlib_data == nullptr || zlib_size < 2)
        return false;
    PngRowsCheck check(format, pixels);
    return check.Feed(zlib_data, zlib_size) && check.Finish();
}

void PngHeaderBytes(const PngFormat& format, std::vector<uint8_t>& out) { PutHeader(out, format); }

void PngChunkBytes(const char type[4], const uint8_t* data, size_t size, std::vector<uint8_t>& out)
{
    PutChunk(out, type, data, size);
}

struct PngStreamEncoder::State {
    PngFormat format;
    PngSink sink;
    std::optional<PngPixelHasher> hasher;
    PixelHash* pixels = nullptr;
    z_stream zs{};
    bool zs_ready = false;
    bool header_written = false;
    bool failed = false;
    size_t row_bytes = 0;
    uint32_t rows_done = 0;
    std::vector<uint8_t> prev;       // the previous row, unfiltered
    std::vector<uint8_t> filtered;   // one filtered row
    std::vector<uint8_t> out;        // compressed data waiting to become an IDAT chunk
    std::vector<uint8_t> chunk;      // an IDAT chunk being sent

    static constexpr size_t kIdatSize = size_t(1) << 16;

    bool Send(const std::vector<uint8_t>& bytes) { return sink(bytes.data(), bytes.size()); }

    bool Header()
    {
        if (header_written)
            return true;
        header_written = true;
        std::vector<uint8_t> head;
        PutHeader(head, format);
        return Send(head);
    }

    bool FlushIdat(size_t size)
    {
        chunk.clear();
        PutChunk(chunk, "IDAT", out.data(), size);
        return Send(chunk);
    }

    // Feeds `size` bytes to zlib, sending full IDAT chunks as they fill.
    bool Deflate(const uint8_t* data, size_t size, bool last)
    {
        zs.next_in = const_cast<Bytef*>(data);
        zs.avail_in = static_cast<uInt>(size);
        for (;;) {
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            const int status = deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
                return false;
            const size_t produced = out.size() - zs.avail_out;
            if (produced > 0 && !FlushIdat(produced))
                return false;
            if (status == Z_STREAM_END)
                return true;
            if (!last && zs.avail_in == 0 && zs.avail_out != 0)
                return true;
        }
    }
};

PngStreamEncoder::PngStreamEncoder(const PngFormat& format, int level, PngSink sink, PixelHash* pixels)
    : state_(new State())
{
    State& s = *state_;
    s.format = format;
    s.sink = std::move(sink);
    s.failed = !IsValidPngFormat(format);
    if (s.failed)
        return;
    s.pixels = pixels;
    if (pixels != nullptr)
        s.hasher.emplace(format);
    s.zs_ready = deflateInit(&s.zs, ZlibLevel(level, format)) == Z_OK;
    s.failed = !s.zs_ready;
    s.row_bytes = PngRowBytes(format);
    s.filtered.resize(s.row_bytes + 1);
    s.out.resize(State::kIdatSize);
}

PngStreamEncoder::~PngStreamEncoder()
{
    if (state_->zs_ready)
        deflateEnd(&state_->zs);
}

bool PngStreamEncoder::AddRows(const uint8_t* rows, size_t stride, size_t count)
{
    State& s = *state_;
    if (s.failed || count > s.format.height - s.rows_done || !s.Header()) {
        s.failed = true;
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* row = rows + stride * i;
        FilterRow(s.format, row, s.rows_done == 0 ? nullptr : s.prev.data(), s.row_bytes, s.filtered.data());
        if (s.hasher)
            s.hasher->AddRow(row);
        s.prev.assign(row, row + s.row_bytes);
        ++s.rows_done;
        if (!s.Deflate(s.filtered.data(), s.filtered.size(), false)) {
            s.failed = true;
            return false;
        }
    }
    return true;
}

bool PngStreamEncoder::Finish()
{
    State& s = *state_;
    if (s.failed || s.rows_done != s.format.height || !s.Header() || !s.Deflate(nullptr, 0, true)) {
        s.failed = true;
        return false;
    }
    std::vector<uint8_t> end;
    PutChunk(end, "IEND", nullptr, 0);
    if (!s.Send(end))
        return false;
    if (s.hasher)
        *s.pixels = s.hasher->Finish();
    return true;
}

uint32_t PngPixelsPerMetre(double ppi)
{
    const double per_metre = ppi / 0.0254;
    if (!(per_metre >= 1) || per_metre > 2147483647.0)
        return 0;
    return static_cast<uint32_t>(per_metre + 0.5);
}

namespace {

// The PNG signature and a whole IHDR chunk.
constexpr size_t kPngHeadBytes = 8 + 12 + 13;

}  // namespace

PngPhysInserter::PngPhysInserter(uint32_t x, uint32_t y, PngSink sink) : sink_(std::move(sink))
{
    std::vector<uint8_t> data;
    Put32(data, x);
    Put32(data, y);
    data.push_back(1);  // the unit is the metre
    PutChunk(chunk_, "pHYs", data.data(), data.size());
}

bool PngPhysInserter::operator()(const uint8_t* data, size_t size)
{
    if (done_)
        return sink_(data, size);
    const size_t take = std::min(size, kPngHeadBytes - head_.size());
    head_.insert(head_.end(), data, data + take);
    if (head_.size() < kPngHeadBytes)
        return true;
    done_ = true;
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    const bool png = std::memcmp(head_.data(), kSignature, 8) == 0 && std::memcmp(head_.data() + 12, "IHDR", 4) == 0;
    if (!sink_(head_.data(), head_.size()) || (png && !sink_(chunk_.data(), chunk_.size())))
        return false;
    head_ = std::vector<uint8_t>();
    return take == size || sink_(data + take, size - take);
}

bool PngPhysInserter::Finish()
{
    if (done_)
        return true;
    done_ = true;  // too short to be a PNG: passed on as it came
    return head_.empty() || sink_(head_.data(), head_.size());
}

}  // namespace kestran::pdf
