#include "pdf/tiff_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include <tiffio.h>
#include <zlib.h>

#ifdef KESTRAN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace kestran::pdf {
namespace {

// libtiff seeks back to patch the directory offset, so the file is built in
// memory through a client of our own and handed on whole.
struct MemoryFile {
    std::vector<uint8_t>& data;
    size_t pos = 0;
};

tmsize_t ReadProc(thandle_t h, void* buf, tmsize_t size)
{
    auto* f = static_cast<MemoryFile*>(h);
    if (size < 0 || f->pos >= f->data.size())
        return 0;
    const size_t n = std::min(static_cast<size_t>(size), f->data.size() - f->pos);
    std::memcpy(buf, f->data.data() + f->pos, n);
    f->pos += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t WriteProc(thandle_t h, void* buf, tmsize_t size)
{
    auto* f = static_cast<MemoryFile*>(h);
    if (size < 0)
        return -1;
    const size_t n = static_cast<size_t>(size);
    try {
        if (f->pos + n > f->data.size())
            f->data.resize(f->pos + n);
    } catch (...) {
        return -1;  // out of memory: libtiff reports a write error
    }
    std::memcpy(f->data.data() + f->pos, buf, n);
    f->pos += n;
    return size;
}

toff_t SeekProc(thandle_t h, toff_t off, int whence)
{
    auto* f = static_cast<MemoryFile*>(h);
    uint64_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->data.size() : 0;
    const uint64_t target = base + off;
    if (target > std::numeric_limits<size_t>::max() / 2)
        return static_cast<toff_t>(-1);
    f->pos = static_cast<size_t>(target);
    return target;
}

// ImageMagick refuses a TIFF shorter than one uncompressed row ("insufficient
// image data in file"), as a flat image of few rows compresses to: the file
// is extended with zero bytes after its data, which every reader ignores.
void ExtendToOneRow(std::vector<uint8_t>& file, size_t row_bytes)
{
    if (file.size() < row_bytes)
        file.resize(row_bytes, 0);
}

int CloseProc(thandle_t) { return 0; }
toff_t SizeProc(thandle_t h) { return static_cast<MemoryFile*>(h)->data.size(); }
int MapProc(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc(thandle_t, void*, toff_t) {}

// libtiff's own messages go to standard error by default; the extractor
// speaks for itself, so they are silenced once.
void SilenceLibtiff()
{
    static const bool silenced = [] {
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandler(nullptr);
        return true;
    }();
    (void)silenced;
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};

// A new CMYK TIFF in `file` with every tag but the data set.
std::unique_ptr<TIFF, TiffCloser> OpenCmykTiff(MemoryFile& file, const TiffFormat& format, uint32_t rows_per_strip,
                                               uint16_t predictor, bool big_endian)
{
    // "w8" would give BigTIFF, which few readers know; a classic TIFF holds
    // up to 4 GiB, more than the decoded-size limit allows.
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFClientOpen("image.tif", big_endian ? "wmb" : "wm", &file, ReadProc,
                                                         WriteProc, SeekProc, CloseProc, SizeProc, MapProc, UnmapProc));
    if (!tif)
        return tif;
    TIFF* t = tif.get();
    const uint16_t samples = format.alpha ? 5 : 4;
    bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, format.width) && TIFFSetField(t, TIFFTAG_IMAGELENGTH, format.height) &&
              TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(format.bits)) &&
              TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples) &&
              TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_SEPARATED) &&
              TIFFSetField(t, TIFFTAG_INKSET, INKSET_CMYK) &&
              TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
              TIFFSetField(t, TIFFTAG_PREDICTOR, predictor) &&
              // Level 1 (libdeflate in Debian's libtiff): on the benchmark's
              // print-workflow class 3.4 s of CPU instead of 4.2 s at level 6,
              // for files 5 % larger.
              TIFFSetField(t, TIFFTAG_ZIPQUALITY, 1) && TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    if (ok && format.alpha) {
        const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        ok = TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (ok && !format.icc_profile.empty())
        ok = TIFFSetField(t, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(format.icc_profile.size()),
                          format.icc_profile.data());
    if (!ok)
        tif.reset();
    return tif;
}

// Starts the hash of what a TIFF shows with its format.
PixelHasher TiffPixelHasher(const TiffFormat& format)
{
    static constexpr uint64_t kTiffTag = 0x54494646;  // "TIFF": no PNG of the same pixels is the same file
    PixelHasher hasher;
    hasher.AddNumber(kTiffTag);
    hasher.AddNumber(format.width);
    hasher.AddNumber(format.height);
    hasher.AddNumber(static_cast<uint64_t>(format.bits));
    hasher.AddNumber(format.alpha ? 1 : 0);
    hasher.AddBytes(format.icc_profile);
    return hasher;
}

// Bytes of one pixel: four inks and any alpha.
size_t TiffPixelBytes(const TiffFormat& format) { return (format.alpha ? 5u : 4u) * (format.bits / 8); }

// Hashes stored samples as EncodeCmykTiff's row source gives them: 16-bit
// ones in the machine's byte order (the file stores them big-endian). A
// sample may be split between two blocks.
class StoredSampleHasher {
public:
    StoredSampleHasher(PixelHasher& hasher, int bits, FlatWatch& flat) : hasher_(hasher), flat_(flat), wide_(bits == 16)
    {
    }

    void Add(const uint8_t* data, size_t size)
    {
        if (!wide_) {
            hasher_.Add(data, size);
            flat_.Add(data, size);
            return;
        }
        uint16_t native[512];
        size_t count = 0;
        if (has_high_ && size > 0) {
            native[count++] = static_cast<uint16_t>((high_ << 8) | data[0]);
            ++data;
            --size;
            has_high_ = false;
        }
        for (; size >= 2; data += 2, size -= 2) {
            native[count++] = static_cast<uint16_t>((data[0] << 8) | data[1]);
            if (count == 512) {
                hasher_.Add(reinterpret_cast<const uint8_t*>(native), sizeof native);
                flat_.Add(reinterpret_cast<const uint8_t*>(native), sizeof native);
                count = 0;
            }
        }
        if (size == 1) {
            high_ = data[0];
            has_high_ = true;
        }
        hasher_.Add(reinterpret_cast<const uint8_t*>(native), count * 2);
        flat_.Add(reinterpret_cast<const uint8_t*>(native), count * 2);
    }

private:
    PixelHasher& hasher_;
    FlatWatch& flat_;
    bool wide_;
    uint8_t high_ = 0;
    bool has_high_ = false;
};

// Up to this decoded size the check inflates in one go with libdeflate, three
// times as fast as zlib's streaming; larger streams are checked in blocks.
constexpr uint64_t kOneGoInflateBytes = uint64_t(64) << 20;

// True when a zlib stream inflates to exactly `expected` bytes, which go to
// `hasher` when it is not null.
bool InflatesToExactly(const uint8_t* data, size_t size, uint64_t expected, StoredSampleHasher* hasher)
{
#ifdef KESTRAN_HAVE_LIBDEFLATE
    if (expected < kOneGoInflateBytes) {
        struct FreeDecompressor {
            void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
        };
        const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> d(libdeflate_alloc_decompressor());
        if (d == nullptr)
            return false;
        // One byte more than expected tells a longer stream from an exact one.
        std::vector<uint8_t> scratch(static_cast<size_t>(expected) + 1);
        size_t in_used = 0, out_size = 0;
        const libdeflate_result r = libdeflate_zlib_decompress_ex(d.get(), data, size, scratch.data(),
                                                                  scratch.size(), &in_used, &out_size);
        if (r != LIBDEFLATE_SUCCESS || out_size != expected)
            return false;
        if (hasher != nullptr)
            hasher->Add(scratch.data(), out_size);
        return true;
    }
#endif
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    // Ended however this returns: the hasher and the buffer may throw.
    struct EndInflate {
        void operator()(z_stream* stream) const { inflateEnd(stream); }
    };
    const std::unique_ptr<z_stream, EndInflate> ending(&z);
    std::vector<uint8_t> scratch(size_t(1) << 16);
    uint64_t total = 0;
    int status = Z_OK;
    while (status == Z_OK && total <= expected) {
        if (z.avail_in == 0 && size > 0) {
            const size_t part = std::min<size_t>(size, 1u << 30);
            z.next_in = const_cast<Bytef*>(data);
            z.avail_in = static_cast<uInt>(part);
            data += part;
            size -= part;
        }
        z.next_out = scratch.data();
        z.avail_out = static_cast<uInt>(scratch.size());
        status = inflate(&z, Z_NO_FLUSH);
        const size_t got = scratch.size() - z.avail_out;
        total += got;
        if (hasher != nullptr && total <= expected)
            hasher->Add(scratch.data(), got);
        if (status == Z_BUF_ERROR && z.avail_in == 0 && size == 0)
            break;  // the data ends before the stream does
    }
    return status == Z_STREAM_END && total == expected;
}

}  // namespace

bool WrapCmykTiffStrip(const TiffFormat& format, const uint8_t* zlib_data, size_t zlib_size, std::vector<uint8_t>& out,
                       PixelHash* pixels)
{
    out.clear();
    // 8 bits only: 16-bit PDF samples are big-endian, and Pillow reads no
    // big-endian 16-bit CMYK; the encoder writes those little-endian.
    if (format.width == 0 || format.height == 0 || format.bits != 8 || format.alpha || zlib_data == nullptr ||
        zlib_size == 0 || zlib_size > 0xffffffffu)
        return false;
    const uint64_t expected = uint64_t(format.width) * format.height * 4 * (format.bits / 8);
    PixelHasher hasher = TiffPixelHasher(format);
    FlatWatch flat(TiffPixelBytes(format));
    StoredSampleHasher samples(hasher, format.bits, flat);
    if (!InflatesToExactly(zlib_data, zlib_size, expected, pixels != nullptr ? &samples : nullptr))
        return false;
    SilenceLibtiff();
    MemoryFile file{out};
    std::unique_ptr<TIFF, TiffCloser> tif = OpenCmykTiff(file, format, format.height, PREDICTOR_NONE, true);
    bool ok = tif && TIFFWriteRawStrip(tif.get(), 0, const_cast<uint8_t*>(zlib_data), static_cast<tmsize_t>(zlib_size)) >= 0 &&
              TIFFWriteDirectory(tif.get()) != 0;
    tif.reset();
    if (!ok) {
        out.clear();
        return false;
    }
    ExtendToOneRow(out, static_cast<size_t>(format.width) * 4);
    if (pixels != nullptr) {
        *pixels = hasher.Finish();
        pixels->flat = flat.Flat();
    }
    return true;
}

bool EncodeCmykTiff(const TiffFormat& format, const TiffRowSource& rows, std::vector<uint8_t>& out,
                    bool (*should_stop)(void*), void* stop_user, PixelHash* pixels)
{
    out.clear();
    if (format.width == 0 || format.height == 0 || (format.bits != 8 && format.bits != 16))
        return false;
    SilenceLibtiff();
    const uint16_t samples = format.alpha ? 5 : 4;
    const size_t row_bytes = static_cast<size_t>(format.width) * samples * (format.bits / 8);
    if (row_bytes / samples / (format.bits / 8) != format.width)
        return false;
    const uint32_t rows_per_strip =
        static_cast<uint32_t>(std::clamp<size_t>((size_t(1) << 16) / row_bytes, 1, format.height));

    MemoryFile file{out};
    std::unique_ptr<TIFF, TiffCloser> tif = OpenCmykTiff(file, format, rows_per_strip, PREDICTOR_HORIZONTAL, false);
    TIFF* t = tif.get();
    bool ok = t != nullptr;
    std::vector<uint8_t> strip;
    if (ok)
        strip.resize(row_bytes * rows_per_strip);
    PixelHasher hasher = TiffPixelHasher(format);
    FlatWatch flat(TiffPixelBytes(format));
    for (uint32_t y = 0, index = 0; ok && y < format.height; y += rows_per_strip, ++index) {
        if (should_stop != nullptr && should_stop(stop_user)) {
            ok = false;
            break;
        }
        const uint32_t count = std::min(rows_per_strip, format.height - y);
        // The predictor works in place: the strip is filled anew every time,
        // and hashed before it is written.
        ok = rows(y, count, strip.data());
        if (ok && pixels != nullptr) {
            hasher.Add(strip.data(), row_bytes * count);
            flat.Add(strip.data(), row_bytes * count);
        }
        ok = ok && TIFFWriteEncodedStrip(t, index, strip.data(), static_cast<tmsize_t>(row_bytes * count)) >= 0;
    }
    if (ok)
        ok = TIFFWriteDirectory(t) != 0;
    tif.reset();
    if (!ok) {
        out.clear();
        return false;
    }
    out.resize(file.data.size());
    ExtendToOneRow(out, row_bytes);
    if (pixels != nullptr) {
        *pixels = hasher.Finish();
        pixels->flat = flat.Flat();
    }
    return true;
}

bool SetTiffResolution(std::vector<uint8_t>& file, double ppi_x, double ppi_y)
{
    if (file.size() < 8 || !(ppi_x > 0) || !(ppi_y > 0) || ppi_x > 1e6 || ppi_y > 1e6)
        return false;
    SilenceLibtiff();
    std::vector<uint8_t> copy(file);
    MemoryFile memory{copy};
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFClientOpen("image.tif", "r+", &memory, ReadProc, WriteProc, SeekProc,
                                                         CloseProc, SizeProc, MapProc, UnmapProc));
    bool ok = tif && TIFFSetField(tif.get(), TIFFTAG_XRESOLUTION, static_cast<float>(ppi_x)) &&
              TIFFSetField(tif.get(), TIFFTAG_YRESOLUTION, static_cast<float>(ppi_y)) &&
              TIFFSetField(tif.get(), TIFFTAG_RESOLUTIONUNIT, static_cast<uint16_t>(RESUNIT_INCH)) &&
              TIFFRewriteDirectory(tif.get()) != 0;
    tif.reset();
    if (!ok)
        return false;
    file.swap(copy);
    return true;
}

}  // namespace kestran::pdf
