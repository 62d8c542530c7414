#include "pdf/image_encoder.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "pdf/cancel_flag.h"
#include "pdf/mu_try.h"
#include "pdf/png_writer.h"
#include "pdf/tiff_writer.h"

namespace kestran::pdf {
namespace {

enum fz_colorspace_type SpaceType(fz_context* ctx, fz_colorspace* cs)
{
    return cs == nullptr ? FZ_COLORSPACE_NONE : fz_colorspace_type(ctx, cs);
}

bool IsIndexed(fz_context* ctx, fz_image* img) { return SpaceType(ctx, img->colorspace) == FZ_COLORSPACE_INDEXED; }

float DecodeMax(fz_context* ctx, fz_image* img)
{
    return IsIndexed(ctx, img) ? static_cast<float>((1 << img->bpc) - 1) : 1.0f;
}

bool DefaultDecode(fz_context* ctx, fz_image* img)
{
    const float max = DecodeMax(ctx, img);
    for (int i = 0; i < img->n; ++i)
        if (img->decode[2 * i] != 0.0f || img->decode[2 * i + 1] != max)
            return false;
    return true;
}

bool InvertedDecode(fz_context* ctx, fz_image* img)
{
    if (IsIndexed(ctx, img))
        return false;
    for (int i = 0; i < img->n; ++i)
        if (img->decode[2 * i] != 1.0f || img->decode[2 * i + 1] != 0.0f)
            return false;
    return true;
}

// The coverage MuPDF's renderer gives a mask drawn over a w x h image: the
// mask clips a full-size fill on an alpha-only pixmap.
fz_pixmap* DrawMaskAtSize(fz_context* ctx, fz_image* mask, int w, int h)
{
    fz_pixmap* dst = fz_new_pixmap(ctx, nullptr, w, h, nullptr, 1);
    fz_device* dev = nullptr;
    fz_path* path = nullptr;
    fz_var(dev);
    fz_var(path);
    fz_try(ctx)
    {
        fz_clear_pixmap(ctx, dst);
        dev = fz_new_draw_device(ctx, fz_identity, dst);
        const fz_matrix m = fz_scale(static_cast<float>(w), static_cast<float>(h));
        if (mask->imagemask) {
            const float white = 1.0f;
            fz_fill_image_mask(ctx, dev, mask, m, fz_device_gray(ctx), &white, 1.0f, fz_default_color_params);
        } else {
            path = fz_new_path(ctx);
            fz_rectto(ctx, path, 0, 0, static_cast<float>(w), static_cast<float>(h));
            const float black = 0.0f;
            fz_clip_image_mask(ctx, dev, mask, m, fz_infinite_rect);
            fz_fill_path(ctx, dev, path, 0, fz_identity, fz_device_gray(ctx), &black, 1.0f, fz_default_color_params);
            fz_pop_clip(ctx, dev);
        }
        fz_close_device(ctx, dev);
    }
    fz_always(ctx)
    {
        fz_drop_path(ctx, path);
        fz_drop_device(ctx, dev);
    }
    fz_catch(ctx)
    {
        fz_drop_pixmap(ctx, dst);
        fz_rethrow(ctx);
    }
    return dst;
}

bool StopRequested(void*) { return CancelRequested(); }

// Un-premultiplies one colour sample.
inline uint8_t Unpremultiply(uint8_t c, uint8_t a)
{
    if (a == 0)
        return 0;
    if (a == 255)
        return c;
    unsigned v = (static_cast<unsigned>(c) * 255u + a / 2u) / a;
    return static_cast<uint8_t>(v > 255u ? 255u : v);
}

// RGB palette of an Indexed colour space, 2^bpc entries (indices above the
// table's top read as MuPDF reads them).
bool BuildPalette(fz_context* ctx, fz_image* img, std::vector<uint8_t>& palette)
{
    const int entries = 1 << img->bpc;
    fz_pixmap* idx = nullptr;
    fz_pixmap* base = nullptr;
    fz_pixmap* rgb = nullptr;
    bool ok = MuTry(ctx, [&] {
        idx = fz_new_pixmap(ctx, img->colorspace, entries, 1, nullptr, 0);
        unsigned char* s = fz_pixmap_samples(ctx, idx);
        for (int i = 0; i < entries; ++i)
            s[i] = static_cast<unsigned char>(i);
        base = fz_convert_indexed_pixmap_to_base(ctx, idx);
        if (SpaceType(ctx, fz_pixmap_colorspace(ctx, base)) == FZ_COLORSPACE_RGB && fz_pixmap_alpha(ctx, base) == 0)
            rgb = fz_keep_pixmap(ctx, base);
        else
            rgb = fz_convert_pixmap(ctx, base, fz_device_rgb(ctx), nullptr, nullptr, fz_default_color_params, 0);
    });
    if (ok && rgb != nullptr && fz_pixmap_components(ctx, rgb) == 3) {
        const unsigned char* s = fz_pixmap_samples(ctx, rgb);
        palette.assign(s, s + 3 * entries);
    } else {
        ok = false;
    }
    fz_drop_pixmap(ctx, rgb);
    fz_drop_pixmap(ctx, base);
    fz_drop_pixmap(ctx, idx);
    return ok;
}

// The PNG layout of an image whose stored Flate rows can become the PNG's
// data unchanged: gray, RGB or a palette of at most 8 bits, samples as stored.
bool StoredRowsFormat(fz_context* ctx, fz_image* img, PngFormat& format)
{
    format.width = static_cast<uint32_t>(img->w);
    format.height = static_cast<uint32_t>(img->h);
    format.bit_depth = img->bpc;
    switch (SpaceType(ctx, img->colorspace)) {
    case FZ_COLORSPACE_GRAY: format.color = PngColor::Gray; break;
    case FZ_COLORSPACE_RGB: format.color = PngColor::Rgb; break;
    case FZ_COLORSPACE_INDEXED:
        format.color = PngColor::Palette;
        if (img->bpc > 8 || !BuildPalette(ctx, img, format.palette))
            return false;
        break;
    default: return false;
    }
    return IsValidPngFormat(format);
}

// Reads the image's samples at their own depth, undoing compression and
// predictor only. Short data is padded with zeros as MuPDF does.
bool ReadRawSamples(fz_context* ctx, fz_compressed_buffer* cbuf, size_t size, std::vector<uint8_t>& samples)
{
    samples.assign(size, 0);
    fz_stream* stm = nullptr;
    int l2factor = 0;
    unsigned char* dst = samples.data();
    bool ok = MuTry(ctx, [&] {
        stm = fz_open_image_decomp_stream_from_buffer(ctx, cbuf, &l2factor);
        size_t got = 0;
        while (got < size) {
            size_t n = fz_read(ctx, stm, dst + got, size - got);
            if (n == 0)
                break;
            got += n;
        }
        if (got < size)
            fz_warn(ctx, "%s", kShortDataWarning);
    });
    fz_drop_stream(ctx, stm);
    return ok && l2factor == 0;
}

// Decodes the image's samples at their own depth a block of rows at a time
// into a streaming PNG. Short data is padded with zeros as MuPDF does.
bool StreamNativeRows(fz_context* ctx, fz_image* img, const PngFormat& format, size_t stride, bool invert, int level,
                      const ByteSink& sink)
{
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx, img);
    if (cbuf == nullptr)
        return false;
    const size_t height = static_cast<size_t>(img->h);
    const size_t rows_per_block = std::max<size_t>(1, (size_t(1) << 16) / std::max<size_t>(stride, 1));
    std::vector<uint8_t> block(stride * rows_per_block);
    PngStreamEncoder encoder(format, level, sink);
    fz_stream* stm = nullptr;
    int l2factor = 0;
    bool ok = MuTry(ctx, [&] { stm = fz_open_image_decomp_stream_from_buffer(ctx, cbuf, &l2factor); }) && l2factor == 0;
    bool ended = false;
    bool short_data = false;
    for (size_t y = 0; ok && y < height;) {
        if (CancelRequested()) {
            ok = false;
            break;
        }
        const size_t rows = std::min(rows_per_block, height - y);
        const size_t want = rows * stride;
        size_t got = 0;
        unsigned char* dst = block.data();
        while (!ended && got < want) {
            size_t n = 0;
            if (!MuTry(ctx, [&] { n = fz_read(ctx, stm, dst + got, want - got); })) {
                ok = false;
                break;
            }
            if (n == 0)
                ended = true;
            got += n;
        }
        if (!ok)
            break;
        if (got < want)
            short_data = true;
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(got), block.begin() + static_cast<std::ptrdiff_t>(want), 0);
        if (invert)
            for (size_t i = 0; i < want; ++i)
                block[i] = static_cast<uint8_t>(~block[i]);
        ok = encoder.AddRows(block.data(), stride, rows);
        y += rows;
    }
    fz_drop_stream(ctx, stm);
    if (ok && short_data)
        fz_warn(ctx, "%s", kShortDataWarning);
    return ok && encoder.Finish();
}

// The ICC profile of a gray or RGB image (also the base of a palette), for
// its PNG; empty for other colours.
std::vector<uint8_t> PngProfileOf(fz_context* ctx, const DrawnImage& drawn)
{
    switch (ImageColourKind(ctx, drawn.image.get()->colorspace)) {
    case ColourKind::Gray: return FindIccProfile(ctx, drawn.colour, 1);
    case ColourKind::Rgb: return FindIccProfile(ctx, drawn.colour, 3);
    default: return {};
    }
}

}  // namespace

std::vector<ByteSpan> EncodedImage::Parts(fz_context* ctx) const
{
    std::vector<ByteSpan> parts;
    if (!bytes.empty())
        parts.push_back({bytes.data(), bytes.size()});
    if (body) {
        unsigned char* data = nullptr;
        size_t size = fz_buffer_storage(ctx, body.get(), &data);
        parts.push_back({data, size});
    }
    if (!tail.empty())
        parts.push_back({tail.data(), tail.size()});
    return parts;
}

size_t EncodedImage::Size(fz_context* ctx) const
{
    size_t size = 0;
    for (const ByteSpan& part : Parts(ctx))
        size += part.size;
    return size;
}

uint64_t DecodedSize(const fz_image* img)
{
    if (img == nullptr || img->w <= 0 || img->h <= 0)
        return 0;
    uint64_t per_sample = img->bpc > 8 ? 2 : 1;
    uint64_t channels = static_cast<uint64_t>(img->n) + (img->mask != nullptr || img->use_colorkey ? 1 : 0);
    return static_cast<uint64_t>(img->w) * static_cast<uint64_t>(img->h) * channels * per_sample;
}

int JpxComponentCount(const uint8_t* data, size_t size)
{
    auto be32 = [](const uint8_t* p) {
        return (uint64_t(p[0]) << 24) | (uint64_t(p[1]) << 16) | (uint64_t(p[2]) << 8) | p[3];
    };
    size_t pos = 0;
    if (size >= 12 && std::memcmp(data + 4, "jP  ", 4) == 0) {
        // JP2: find the contiguous codestream box.
        bool found = false;
        while (pos + 8 <= size) {
            uint64_t length = be32(data + pos);
            size_t header = 8;
            if (length == 1) {
                if (pos + 16 > size)
                    return 0;
                length = (be32(data + pos + 8) << 32) | be32(data + pos + 12);
                header = 16;
            } else if (length == 0) {
                length = size - pos;
            }
            if (length < header || length > size - pos)
                return 0;
            if (std::memcmp(data + pos + 4, "jp2c", 4) == 0) {
                pos += header;
                found = true;
                break;
            }
            pos += static_cast<size_t>(length);
        }
        if (!found)
            return 0;
    }
    // SOC, then SIZ: marker, Lsiz, Rsiz, 8 x 32-bit sizes, Csiz.
    if (pos + 4 + 2 + 2 + 32 + 2 > size || data[pos] != 0xFF || data[pos + 1] != 0x4F || data[pos + 2] != 0xFF ||
        data[pos + 3] != 0x51)
        return 0;
    const uint8_t* csiz = data + pos + 4 + 2 + 2 + 32;
    return (csiz[0] << 8) | csiz[1];
}

namespace {

// Walks the segments before the scan. Returns 1 when an Adobe APP14 marker is
// met, 0 at the scan or the end of the image, -1 when the data ends first.
int ScanJpegHeader(const uint8_t* data, size_t size)
{
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return size < 4 ? -1 : 0;
    size_t pos = 2;
    while (pos + 4 <= size) {
        if (data[pos] != 0xFF) {
            ++pos;  // tolerate garbage between segments
            continue;
        }
        uint8_t marker = data[pos + 1];
        if (marker == 0xFF) {
            ++pos;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)  // start of scan, end of image
            return 0;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        size_t length = (static_cast<size_t>(data[pos + 2]) << 8) | data[pos + 3];
        if (length < 2)
            return 0;
        if (marker == 0xEE && length >= 7 && pos + 4 + 5 <= size && std::memcmp(data + pos + 4, "Adobe", 5) == 0)
            return 1;
        pos += 2 + length;
    }
    return -1;
}

}  // namespace

bool JpegHasAdobeMarker(const uint8_t* data, size_t size) { return ScanJpegHeader(data, size) == 1; }

bool JpegHeaderComplete(const uint8_t* data, size_t size) { return ScanJpegHeader(data, size) != -1; }

ImageEncoder::ImageEncoder(fz_context* ctx, pdf_document* doc, int png_level, size_t stream_bytes)
    : ctx_(ctx), doc_(doc), png_level_(png_level), stream_bytes_(stream_bytes)
{
}

bool ImageEncoder::TryStoredCopy(const DrawnImage& drawn, EncodedImage& out)
{
    fz_image* img = drawn.image.get();
    fz_context* ctx = ctx_;
    pdf_document* doc = doc_;
    const StandIn info = drawn.standin;
    if (info.copy == StoredCopy::Jpeg) {
        out.extension = "jpg";
        out.stream = [ctx, doc, info](const ByteSink& sink) { return CopyStoredStream(ctx, doc, info, nullptr, sink); };
        return true;
    }
    PngFormat format;
    if (!StoredRowsFormat(ctx_, img, format) || !StoredStreamHoldsPngRows(ctx_, doc_, info, format))
        return false;
    format.icc_profile = PngProfileOf(ctx_, drawn);
    out.extension = "png";
    out.stream = [ctx, doc, info, format](const ByteSink& sink) {
        return CopyStoredStream(ctx, doc, info, &format, sink);
    };
    return true;
}

bool ImageEncoder::Finish(const PngFormat& format, const uint8_t* rows, size_t stride, EncodedImage& out)
{
    out.extension = "png";
    if (icc_profile_.empty() || !format.icc_profile.empty())
        return EncodePng(format, rows, stride, out.bytes, png_level_, &StopRequested, nullptr);
    PngFormat with_profile = format;
    with_profile.icc_profile = icc_profile_;
    return EncodePng(with_profile, rows, stride, out.bytes, png_level_, &StopRequested, nullptr);
}

bool ImageEncoder::TryRawJpeg(const DrawnImage& drawn, EncodedImage& out, bool force)
{
    fz_image* img = drawn.image.get();
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx_, img);
    if (cbuf == nullptr || cbuf->buffer == nullptr || cbuf->params.type != FZ_IMAGE_JPEG)
        return false;
    unsigned char* data = nullptr;
    size_t size = fz_buffer_storage(ctx_, cbuf->buffer, &data);
    if (size == 0)
        return false;
    if (!force) {
        if (img->mask != nullptr || img->use_colorkey)
            return false;
        switch (SpaceType(ctx_, img->colorspace)) {
        case FZ_COLORSPACE_GRAY:
        case FZ_COLORSPACE_RGB:
            if (!DefaultDecode(ctx_, img) || cbuf->params.u.jpeg.color_transform != -1)
                return false;
            break;
        case FZ_COLORSPACE_CMYK: {
            bool adobe = JpegHasAdobeMarker(data, size);
            if (!(adobe ? InvertedDecode(ctx_, img) : DefaultDecode(ctx_, img)))
                return false;
            break;
        }
        default:
            return false;
        }
    }
    out.extension = "jpg";
    out.body.reset(ctx_, fz_keep_buffer(ctx_, cbuf->buffer));
    return true;
}

bool ImageEncoder::TryRawJpx(const DrawnImage& drawn, EncodedImage& out, bool force)
{
    if (drawn.object_num <= 0 || doc_ == nullptr)
        return false;
    pdf_obj* ref = nullptr;
    fz_buffer* raw = nullptr;
    bool faithful = true;
    int colors = 0;  // what the PDF says, 0 when it leaves it to the file
    bool ok = MuTry(ctx_, [&] {
        ref = pdf_new_indirect(ctx_, doc_, drawn.object_num, 0);
        if (!pdf_is_jpx_image(ctx_, ref))
            fz_throw(ctx_, FZ_ERROR_GENERIC, "not a JPEG 2000 image");
        if (pdf_dict_get(ctx_, ref, PDF_NAME(Decode)) || pdf_dict_get(ctx_, ref, PDF_NAME(SMask)) ||
            pdf_dict_get(ctx_, ref, PDF_NAME(Mask)) || pdf_dict_get_int(ctx_, ref, PDF_NAME(SMaskInData)) != 0)
            faithful = false;
        pdf_obj* cs = pdf_dict_get(ctx_, ref, PDF_NAME(ColorSpace));
        if (cs != nullptr) {
            // A colour space in the PDF overrides the file's own; keep the bytes
            // only when it says what the file says anyway.
            pdf_obj* name = pdf_is_array(ctx_, cs) ? pdf_array_get(ctx_, cs, 0) : cs;
            if (pdf_name_eq(ctx_, name, PDF_NAME(DeviceGray)))
                colors = 1;
            else if (pdf_name_eq(ctx_, name, PDF_NAME(DeviceRGB)))
                colors = 3;
            else if (pdf_name_eq(ctx_, name, PDF_NAME(ICCBased)))
                colors = pdf_dict_get_int(ctx_, pdf_array_get(ctx_, cs, 1), PDF_NAME(N));
            else
                faithful = false;
        }
        if (faithful || force)
            raw = pdf_load_raw_stream(ctx_, ref);
    });
    pdf_drop_obj(ctx_, ref);
    bool copied = false;
    if (ok && raw != nullptr) {
        unsigned char* data = nullptr;
        size_t size = fz_buffer_storage(ctx_, raw, &data);
        static const uint8_t kJp2[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
        static const uint8_t kCodestream[4] = {0xFF, 0x4F, 0xFF, 0x51};
        if (size >= 12 && std::memcmp(data, kJp2, 12) == 0) {
            out.extension = "jp2";
            copied = true;
        } else if (size >= 4 && std::memcmp(data, kCodestream, 4) == 0) {
            out.extension = "j2k";
            copied = true;
        }
        // Without /SMaskInData the page ignores an alpha channel of the file,
        // which viewers of the copy would show: the file must hold exactly the
        // colour components (1 gray or 3 RGB) and nothing else.
        const int components = JpxComponentCount(data, size);
        const bool plain = colors != 0 ? components == colors : (components == 1 || components == 3);
        if (!plain && !force)
            copied = false;
        if (copied)
            out.body.reset(ctx_, fz_keep_buffer(ctx_, raw));
    }
    fz_drop_buffer(ctx_, raw);
    return copied;
}

bool ImageEncoder::TryPngPassthrough(fz_image* img, EncodedImage& out)
{
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx_, img);
    if (cbuf == nullptr || cbuf->buffer == nullptr || cbuf->params.type != FZ_IMAGE_FLATE)
        return false;
    const auto& p = cbuf->params.u.flate;
    if (p.predictor < 10 || p.predictor > 15 || p.columns != img->w || p.colors != img->n || p.bpc != img->bpc)
        return false;
    if (img->mask != nullptr || img->use_colorkey || img->imagemask || !DefaultDecode(ctx_, img))
        return false;
    PngFormat format;
    if (!StoredRowsFormat(ctx_, img, format))
        return false;
    format.icc_profile = icc_profile_;
    unsigned char* data = nullptr;
    size_t size = fz_buffer_storage(ctx_, cbuf->buffer, &data);
    if (!IsPngFilteredStream(format, data, size))
        return false;
    out.extension = "png";
    if (!WrapPngIdatParts(format, data, size, out.bytes, out.tail))
        return false;
    out.body.reset(ctx_, fz_keep_buffer(ctx_, cbuf->buffer));
    return true;
}

bool ImageEncoder::TryNativeSamples(fz_image* img, EncodedImage& out, bool streaming)
{
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx_, img);
    if (cbuf == nullptr || cbuf->buffer == nullptr)
        return false;
    switch (cbuf->params.type) {
    case FZ_IMAGE_FLATE:
    case FZ_IMAGE_LZW:
    case FZ_IMAGE_RLD:
    case FZ_IMAGE_RAW: break;
    default: return false;
    }
    const int bpc = img->bpc;
    if (bpc != 1 && bpc != 2 && bpc != 4 && bpc != 8 && bpc != 16)
        return false;
    if (img->use_colorkey || img->imagemask)
        return false;
    const bool indexed = IsIndexed(ctx_, img);
    const bool invert = !DefaultDecode(ctx_, img);
    if (invert && !InvertedDecode(ctx_, img))
        return false;
    const bool masked = img->mask != nullptr;
    if (masked && (bpc < 8 || indexed))
        return false;

    PngFormat format;
    format.width = static_cast<uint32_t>(img->w);
    format.height = static_cast<uint32_t>(img->h);
    format.bit_depth = bpc;
    switch (SpaceType(ctx_, img->colorspace)) {
    case FZ_COLORSPACE_GRAY:
        if (img->n != 1)
            return false;
        format.color = masked ? PngColor::GrayAlpha : PngColor::Gray;
        break;
    case FZ_COLORSPACE_RGB:
        if (img->n != 3)
            return false;
        format.color = masked ? PngColor::Rgba : PngColor::Rgb;
        break;
    case FZ_COLORSPACE_INDEXED:
        if (img->n != 1 || bpc > 8)
            return false;
        format.color = PngColor::Palette;
        if (!BuildPalette(ctx_, img, format.palette))
            return false;
        break;
    default: return false;
    }
    if (!IsValidPngFormat(format))
        return false;
    format.icc_profile = icc_profile_;

    const size_t stride = (static_cast<size_t>(img->w) * img->n * bpc + 7) / 8;
    if (!masked && streaming && stride * static_cast<size_t>(img->h) >= stream_bytes_) {
        // Large: decoded, filtered and compressed a block of rows at a time
        // while the file is written.
        std::shared_ptr<fz_image> keep(fz_keep_image(ctx_, img), [ctx = ctx_](fz_image* i) { fz_drop_image(ctx, i); });
        const int level = png_level_;
        out.extension = "png";
        out.stream = [ctx = ctx_, keep, format, stride, invert, level](const ByteSink& sink) {
            return StreamNativeRows(ctx, keep.get(), format, stride, invert, level, sink);
        };
        return true;
    }
    std::vector<uint8_t> samples;
    if (!ReadRawSamples(ctx_, cbuf, stride * static_cast<size_t>(img->h), samples))
        return false;
    if (invert)
        for (uint8_t& b : samples)
            b = static_cast<uint8_t>(~b);
    if (!masked)
        return Finish(format, samples.data(), stride, out);

    std::vector<uint8_t> alpha;
    if (!RenderMaskAlpha(img, alpha))
        return false;
    const size_t bytes = static_cast<size_t>(bpc / 8);
    const size_t n = static_cast<size_t>(img->n);
    const size_t out_stride = static_cast<size_t>(img->w) * (n + 1) * bytes;
    std::vector<uint8_t> rows(out_stride * static_cast<size_t>(img->h));
    for (size_t y = 0; y < static_cast<size_t>(img->h); ++y) {
        const uint8_t* src = samples.data() + y * stride;
        const uint8_t* a = alpha.data() + y * static_cast<size_t>(img->w);
        uint8_t* dst = rows.data() + y * out_stride;
        for (size_t x = 0; x < static_cast<size_t>(img->w); ++x) {
            std::memcpy(dst, src, n * bytes);
            dst += n * bytes;
            src += n * bytes;
            *dst++ = a[x];
            if (bytes == 2)
                *dst++ = a[x];  // 8-bit alpha widened to 16 bits (a * 257)
        }
    }
    samples = std::vector<uint8_t>();
    return Finish(format, rows.data(), out_stride, out);
}

bool ImageEncoder::RenderMaskAlpha(fz_image* img, std::vector<uint8_t>& alpha)
{
    // MuPDF decodes a soft mask or stencil /Mask into one value per pixel that
    // is the opacity it paints with (/Decode applied). A mask of another size
    // is scaled with MuPDF's own scaler, as its renderer does.
    fz_image* mask = img->mask;
    if (mask == nullptr)
        return false;
    const int w = img->w;
    const int h = img->h;
    fz_pixmap* pix = nullptr;
    fz_pixmap* scaled = nullptr;
    bool ok = MuTry(ctx_, [&] {
        pix = fz_get_unscaled_pixmap_from_image(ctx_, mask);
        if (fz_pixmap_width(ctx_, pix) != w || fz_pixmap_height(ctx_, pix) != h)
            scaled = DrawMaskAtSize(ctx_, mask, w, h);
        else
            scaled = fz_keep_pixmap(ctx_, pix);
    });
    if (ok && scaled != nullptr && fz_pixmap_width(ctx_, scaled) == w && fz_pixmap_height(ctx_, scaled) == h) {
        alpha.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
        const unsigned char* s = fz_pixmap_samples(ctx_, scaled);
        const size_t stride = static_cast<size_t>(fz_pixmap_stride(ctx_, scaled));
        const int n = fz_pixmap_components(ctx_, scaled);
        // An alpha-only pixmap holds the opacity; a gray one its luminosity, which is the opacity too.
        const int channel = fz_pixmap_alpha(ctx_, scaled) ? n - 1 : 0;
        for (int y = 0; y < h; ++y) {
            const unsigned char* src = s + stride * static_cast<size_t>(y) + channel;
            uint8_t* dst = alpha.data() + static_cast<size_t>(y) * w;
            for (int x = 0; x < w; ++x, src += n)
                dst[x] = *src;
        }
    } else {
        ok = false;
    }
    fz_drop_pixmap(ctx_, scaled);
    fz_drop_pixmap(ctx_, pix);
    return ok;
}

bool ImageEncoder::EncodeStencil(const DrawnImage& drawn, EncodedImage& out)
{
    fz_image* img = drawn.image.get();
    fz_pixmap* pix = nullptr;
    bool ok = MuTry(ctx_, [&] { pix = fz_get_unscaled_pixmap_from_image(ctx_, img); });
    bool done = false;
    if (ok && pix != nullptr) {
        // MuPDF gives the coverage: 255 where the stencil paints.
        const int w = fz_pixmap_width(ctx_, pix);
        const int h = fz_pixmap_height(ctx_, pix);
        const int n = fz_pixmap_components(ctx_, pix);
        const int channel = fz_pixmap_alpha(ctx_, pix) ? n - 1 : 0;
        // One bit per pixel: index 1 is the paint colour, index 0 transparent.
        PngFormat format;
        format.width = static_cast<uint32_t>(w);
        format.height = static_cast<uint32_t>(h);
        format.bit_depth = 1;
        format.color = PngColor::Palette;
        const bool white_paint = drawn.paint[0] == 255 && drawn.paint[1] == 255 && drawn.paint[2] == 255;
        const uint8_t background = white_paint ? 0 : 255;
        format.palette = {background, background, background, drawn.paint[0], drawn.paint[1], drawn.paint[2]};
        format.transparency = {0, 255};
        const size_t row_bytes = (static_cast<size_t>(w) + 7) / 8;
        std::vector<uint8_t> rows(row_bytes * static_cast<size_t>(h), 0);
        const unsigned char* s = fz_pixmap_samples(ctx_, pix);
        const size_t stride = static_cast<size_t>(fz_pixmap_stride(ctx_, pix));
        for (int y = 0; y < h; ++y) {
            uint8_t* row = rows.data() + row_bytes * static_cast<size_t>(y);
            const unsigned char* src = s + stride * static_cast<size_t>(y) + channel;
            for (int x = 0; x < w; ++x, src += n)
                if (*src >= 128)
                    row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
        }
        done = Finish(format, rows.data(), row_bytes, out);
    }
    fz_drop_pixmap(ctx_, pix);
    return done;
}

bool ImageEncoder::JpxAlphaIgnored(const DrawnImage& drawn)
{
    if (drawn.object_num <= 0 || doc_ == nullptr)
        return false;
    // Without /SMaskInData 1 the page ignores an alpha channel in the JPEG 2000
    // file (an /SMask, when present, is the only mask); MuPDF's decoder keeps it.
    bool ignored = false;
    pdf_obj* ref = nullptr;
    MuTry(ctx_, [&] {
        ref = pdf_new_indirect(ctx_, doc_, drawn.object_num, 0);
        ignored = pdf_is_jpx_image(ctx_, ref) && pdf_dict_get_int(ctx_, ref, PDF_NAME(SMaskInData)) == 0;
    });
    pdf_drop_obj(ctx_, ref);
    return ignored;
}

bool ImageEncoder::EncodeThroughPixmap(fz_image* img, EncodedImage& out, bool drop_own_alpha)
{
    fz_pixmap* pix = nullptr;
    fz_pixmap* converted = nullptr;
    std::string error;
    bool ok = MuTry(ctx_, [&] { pix = fz_get_unscaled_pixmap_from_image(ctx_, img); }, &error);
    if (!ok || pix == nullptr)
        return false;
    enum fz_colorspace_type type = SpaceType(ctx_, fz_pixmap_colorspace(ctx_, pix));
    if (type != FZ_COLORSPACE_GRAY && type != FZ_COLORSPACE_RGB) {
        // CMYK, Lab, Separation, DeviceN, Indexed: to RGB, keeping any alpha.
        ok = MuTry(ctx_, [&] {
            converted = fz_convert_pixmap(ctx_, pix, fz_device_rgb(ctx_), nullptr, nullptr, fz_default_color_params, 1);
        });
        fz_drop_pixmap(ctx_, pix);
        pix = converted;
        if (!ok || pix == nullptr)
            return false;
        type = FZ_COLORSPACE_RGB;
    }
    const int w = fz_pixmap_width(ctx_, pix);
    const int h = fz_pixmap_height(ctx_, pix);
    const int comps = fz_pixmap_components(ctx_, pix);
    const bool own_alpha = fz_pixmap_alpha(ctx_, pix) != 0;
    const int colors = comps - (own_alpha ? 1 : 0);
    const unsigned char* s = fz_pixmap_samples(ctx_, pix);
    const size_t stride = static_cast<size_t>(fz_pixmap_stride(ctx_, pix));

    std::vector<uint8_t> mask_alpha;
    if (img->mask != nullptr && (w != img->w || h != img->h || !RenderMaskAlpha(img, mask_alpha))) {
        fz_drop_pixmap(ctx_, pix);
        return false;
    }
    const bool keep_own_alpha = own_alpha && !drop_own_alpha;
    const bool has_alpha = keep_own_alpha || !mask_alpha.empty();

    PngFormat format;
    format.width = static_cast<uint32_t>(w);
    format.height = static_cast<uint32_t>(h);
    format.bit_depth = 8;
    if (colors == 1)
        format.color = has_alpha ? PngColor::GrayAlpha : PngColor::Gray;
    else
        format.color = has_alpha ? PngColor::Rgba : PngColor::Rgb;
    const bool narrow_gray = format.color == PngColor::Gray && (img->bpc == 1 || img->bpc == 2 || img->bpc == 4);
    if (!has_alpha && !own_alpha && !narrow_gray) {
        // Gray or RGB without alpha: the pixmap's rows are the PNG's rows.
        const bool done = Finish(format, s, stride, out);
        fz_drop_pixmap(ctx_, pix);
        return done;
    }
    const size_t out_channels = static_cast<size_t>(colors) + (has_alpha ? 1 : 0);
    const size_t out_stride = static_cast<size_t>(w) * out_channels;
    std::vector<uint8_t> rows(out_stride * static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) {
        const unsigned char* src = s + stride * static_cast<size_t>(y);
        uint8_t* dst = rows.data() + out_stride * static_cast<size_t>(y);
        const uint8_t* m = mask_alpha.empty() ? nullptr : mask_alpha.data() + static_cast<size_t>(y) * w;
        for (int x = 0; x < w; ++x) {
            const uint8_t own = own_alpha ? src[colors] : 255;
            for (int c = 0; c < colors; ++c)
                *dst++ = own_alpha ? Unpremultiply(src[c], own) : src[c];
            const uint8_t a = keep_own_alpha ? own : 255;
            if (has_alpha)
                *dst++ = m != nullptr ? static_cast<uint8_t>((a * m[x] + 127) / 255) : a;
            src += comps;
        }
    }
    fz_drop_pixmap(ctx_, pix);

    // A gray image of fewer than 8 bits comes back from MuPDF widened to 8:
    // narrow it again when every sample is one of the 2^bpc levels.
    if (narrow_gray) {
        const int bpc = img->bpc;
        const int levels = (1 << bpc) - 1;
        const int step = 255 / levels;
        bool exact = std::all_of(rows.begin(), rows.end(), [&](uint8_t v) { return v % step == 0; });
        if (exact) {
            const size_t packed_stride = (static_cast<size_t>(w) * bpc + 7) / 8;
            std::vector<uint8_t> packed(packed_stride * static_cast<size_t>(h), 0);
            for (int y = 0; y < h; ++y) {
                const uint8_t* src = rows.data() + out_stride * static_cast<size_t>(y);
                uint8_t* dst = packed.data() + packed_stride * static_cast<size_t>(y);
                for (int x = 0; x < w; ++x) {
                    const unsigned v = src[x] / step;
                    const int bit = x * bpc;
                    dst[bit >> 3] |= static_cast<uint8_t>(v << (8 - bpc - (bit & 7)));
                }
            }
            format.bit_depth = bpc;
            return Finish(format, packed.data(), packed_stride, out);
        }
    }
    return Finish(format, rows.data(), out_stride, out);
}

bool ImageEncoder::TryCmykTiff(const DrawnImage& drawn, EncodedImage& out)
{
    fz_image* img = drawn.image.get();
    TiffFormat format;
    format.width = static_cast<uint32_t>(img->w);
    format.height = static_cast<uint32_t>(img->h);
    format.icc_profile = FindIccProfile(ctx_, drawn.colour, 4);
    const size_t w = static_cast<size_t>(img->w);
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx_, img);
    const bool plain_cmyk = img->n == 4 && SpaceType(ctx_, img->colorspace) == FZ_COLORSPACE_CMYK &&
                            !img->use_colorkey && (img->bpc == 8 || img->bpc == 16) && cbuf != nullptr &&
                            cbuf->buffer != nullptr;
    if (plain_cmyk && img->mask == nullptr && cbuf->params.type == FZ_IMAGE_FLATE &&
        cbuf->params.u.flate.predictor <= 1 && DefaultDecode(ctx_, img)) {
        // A Flate stream without predictor is a TIFF strip as it is stored.
        format.bits = img->bpc;
        unsigned char* data = nullptr;
        const size_t size = fz_buffer_storage(ctx_, cbuf->buffer, &data);
        if (WrapCmykTiffStrip(format, data, size, out.bytes)) {
            out.extension = "tif";
            return true;
        }
        format.bits = 8;
    }
    std::vector<uint8_t> mask_alpha;
    if (img->mask != nullptr && !RenderMaskAlpha(img, mask_alpha))
        return false;

    // 16-bit CMYK keeps its 16 bits, read as stored the way gray and RGB are
    // (MuPDF's pixmaps have 8).
    const bool native16 = plain_cmyk && img->bpc == 16 && (DefaultDecode(ctx_, img) || InvertedDecode(ctx_, img)) &&
                          (cbuf->params.type == FZ_IMAGE_FLATE || cbuf->params.type == FZ_IMAGE_LZW ||
                           cbuf->params.type == FZ_IMAGE_RLD || cbuf->params.type == FZ_IMAGE_RAW);
    if (native16) {
        const size_t stride = w * 8;
        std::vector<uint8_t> samples;
        if (!ReadRawSamples(ctx_, cbuf, stride * static_cast<size_t>(img->h), samples))
            return false;
        const bool invert = !DefaultDecode(ctx_, img);
        format.bits = 16;
        format.alpha = !mask_alpha.empty();
        out.extension = "tif";
        return EncodeCmykTiff(format, [&](uint32_t y, uint32_t count, uint8_t* rows) {
            auto* dst = reinterpret_cast<uint16_t*>(rows);
            for (uint32_t r = 0; r < count; ++r) {
                const uint8_t* src = samples.data() + stride * (y + r);
                const uint8_t* a = format.alpha ? mask_alpha.data() + w * (y + r) : nullptr;
                for (size_t x = 0; x < w; ++x) {
                    for (int c = 0; c < 4; ++c, src += 2) {
                        const uint16_t v = static_cast<uint16_t>((src[0] << 8) | src[1]);
                        *dst++ = invert ? static_cast<uint16_t>(~v) : v;
                    }
                    if (a != nullptr)
                        *dst++ = static_cast<uint16_t>(a[x] * 257);
                }
            }
            return true;
        }, out.bytes, &StopRequested, nullptr);
    }

    // Otherwise through MuPDF's pixmap, which applies /Decode and looks up a
    // palette; a Separation or DeviceN image runs its tint transform into
    // the CMYK alternate.
    fz_pixmap* pix = nullptr;
    fz_pixmap* converted = nullptr;
    bool ok = MuTry(ctx_, [&] {
        pix = fz_get_unscaled_pixmap_from_image(ctx_, img);
        if (SpaceType(ctx_, fz_pixmap_colorspace(ctx_, pix)) != FZ_COLORSPACE_CMYK)
            converted = fz_convert_pixmap(ctx_, pix, fz_device_cmyk(ctx_), nullptr, nullptr, fz_default_color_params, 1);
    });
    if (converted != nullptr) {
        fz_drop_pixmap(ctx_, pix);
        pix = converted;
    }
    PixmapHandle holder(ctx_, pix);
    if (!ok || pix == nullptr || fz_pixmap_width(ctx_, pix) != img->w || fz_pixmap_height(ctx_, pix) != img->h ||
        fz_pixmap_components(ctx_, pix) - fz_pixmap_alpha(ctx_, pix) != 4)
        return false;
    // A colour-keyed image comes with an alpha of its own (premultiplied);
    // a JPEG 2000 file's alpha that the page ignores is left out.
    const bool own_alpha = fz_pixmap_alpha(ctx_, pix) != 0;
    const bool keep_own_alpha = own_alpha && !JpxAlphaIgnored(drawn);
    format.alpha = keep_own_alpha || !mask_alpha.empty();
    const int comps = fz_pixmap_components(ctx_, pix);
    const unsigned char* samples = fz_pixmap_samples(ctx_, pix);
    const size_t stride = static_cast<size_t>(fz_pixmap_stride(ctx_, pix));
    out.extension = "tif";
    return EncodeCmykTiff(format, [&](uint32_t y, uint32_t count, uint8_t* rows) {
        uint8_t* dst = rows;
        for (uint32_t r = 0; r < count; ++r) {
            const unsigned char* src = samples + stride * (y + r);
            const uint8_t* m = mask_alpha.empty() ? nullptr : mask_alpha.data() + w * (y + r);
            for (size_t x = 0; x < w; ++x, src += comps) {
                const uint8_t own = own_alpha ? src[4] : 255;
                for (int c = 0; c < 4; ++c)
                    *dst++ = own_alpha ? Unpremultiply(src[c], own) : src[c];
                if (format.alpha) {
                    const uint8_t a = keep_own_alpha ? own : 255;
                    *dst++ = m != nullptr ? static_cast<uint8_t>((a * m[x] + 127) / 255) : a;
                }
            }
        }
        return true;
    }, out.bytes, &StopRequested, nullptr);
}

bool ImageEncoder::TryLabAsSrgb(const DrawnImage& drawn, EncodedImage& out)
{
    // MuPDF reads a Lab image with a fixed range and, without colour
    // management, converts it roughly: the samples are read here and
    // converted with the image's own white point, /Range and /Decode.
    fz_image* img = drawn.image.get();
    LabSpace lab;
    if (img->n != 3 || (img->bpc != 8 && img->bpc != 16) || img->use_colorkey || !ReadLabSpace(ctx_, drawn.colour, lab))
        return false;
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx_, img);
    if (cbuf == nullptr || cbuf->buffer == nullptr)
        return false;
    const size_t w = static_cast<size_t>(img->w);
    const size_t h = static_cast<size_t>(img->h);
    const size_t stride = w * 3 * static_cast<size_t>(img->bpc / 8);
    std::vector<uint8_t> samples;
    if (!ReadRawSamples(ctx_, cbuf, stride * h, samples))
        return false;
    LabToSrgb convert(lab, img->bpc);
    if (!convert.Ok())
        return false;
    std::vector<uint8_t> mask_alpha;
    if (img->mask != nullptr && !RenderMaskAlpha(img, mask_alpha))
        return false;
    PngFormat format;
    format.width = static_cast<uint32_t>(w);
    format.height = static_cast<uint32_t>(h);
    format.bit_depth = 8;
    format.color = mask_alpha.empty() ? PngColor::Rgb : PngColor::Rgba;
    format.srgb = true;
    const size_t channels = mask_alpha.empty() ? 3 : 4;
    std::vector<uint8_t> rows(w * channels * h);
    std::vector<uint8_t> rgb(w * 3);
    for (size_t y = 0; y < h; ++y) {
        convert.Convert(samples.data() + stride * y, rgb.data(), w);
        uint8_t* dst = rows.data() + w * channels * y;
        if (channels == 3) {
            std::memcpy(dst, rgb.data(), w * 3);
            continue;
        }
        for (size_t x = 0; x < w; ++x) {
            std::memcpy(dst, rgb.data() + 3 * x, 3);
            dst[3] = mask_alpha[w * y + x];
            dst += 4;
        }
    }
    samples = std::vector<uint8_t>();
    return Finish(format, rows.data(), w * channels, out);
}

EncodeStatus ImageEncoder::Encode(const DrawnImage& drawn, EncodedImage& out, std::string& why, bool streaming)
{
    out = EncodedImage();
    fz_image* img = drawn.image.get();
    if (img == nullptr || img->w <= 0 || img->h <= 0) {
        why = "empty image";
        return EncodeStatus::Skipped;
    }
    if (IsStandIn(img)) {
        if (streaming && TryStoredCopy(drawn, out))
            return EncodeStatus::Ok;
        if (CancelRequested())
            return EncodeStatus::Cancelled;
        // The stored data cannot be copied after all: load the real image.
        out = EncodedImage();
        DrawnImage real;
        real.stencil = drawn.stencil;
        std::memcpy(real.paint, drawn.paint, 3);
        real.object_num = drawn.object_num;
        real.colour = drawn.colour.Copy(ctx_);
        fz_image* loaded = nullptr;
        pdf_obj* ref = nullptr;
        std::string error;
        bool ok = MuTry(ctx_, [&] {
            ref = pdf_new_indirect(ctx_, doc_, drawn.standin.num, drawn.standin.gen);
            pdf_remove_item(ctx_, fz_drop_image_imp, ref);
            loaded = pdf_load_image(ctx_, doc_, ref);
        }, &error);
        pdf_drop_obj(ctx_, ref);
        if (!ok || loaded == nullptr || IsStandIn(loaded)) {
            fz_drop_image(ctx_, loaded);
            why = ok ? "cannot load image" : error;
            return EncodeStatus::Skipped;
        }
        real.image.reset(ctx_, loaded);
        return Encode(real, out, why, streaming);
    }
    const bool too_big = DecodedSize(img) > kMaxDecodedBytes;
    bool done = false;
    if (drawn.stencil || img->imagemask) {
        if (too_big) {
            why = "decoded size exceeds 1 GiB";
            return EncodeStatus::Skipped;
        }
        done = EncodeStencil(drawn, out);
    } else if (TryRawJpeg(drawn, out, too_big) || TryRawJpx(drawn, out, too_big)) {
        return EncodeStatus::Ok;
    } else if (too_big) {
        why = "decoded size exceeds 1 GiB";
        return EncodeStatus::Skipped;
    } else {
        const ColourKind kind = ImageColourKind(ctx_, img->colorspace);
        if (kind == ColourKind::Cmyk)
            done = TryCmykTiff(drawn, out);
        else if (kind == ColourKind::Lab)
            done = TryLabAsSrgb(drawn, out);
        // Should the own-colour file fail, the image is still written in RGB.
        if (!done && !CancelRequested()) {
            icc_profile_ = PngProfileOf(ctx_, drawn);
            done = TryPngPassthrough(img, out) || TryNativeSamples(img, out, streaming) ||
                   EncodeThroughPixmap(img, out, JpxAlphaIgnored(drawn));
            icc_profile_.clear();
        }
    }
    if (done)
        return EncodeStatus::Ok;
    if (CancelRequested())
        return EncodeStatus::Cancelled;
    why = "cannot decode image";
    return EncodeStatus::Skipped;
}

}  // namespace kestran::pdf
