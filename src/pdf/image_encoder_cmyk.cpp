// The encoder's printing inks: CMYK, Separation and DeviceN images as CMYK
// TIFF files (or sRGB rows for the PNG and JPEG output types).
#include "pdf/image_encoder.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "pdf/cancel_flag.h"
#include "pdf/colour_convert.h"
#include "pdf/decoder_lock.h"
#include "pdf/image_encoder_parts.h"
#include "pdf/mask_grid.h"
#include "pdf/memory_budget.h"
#include "pdf/mu_try.h"
#include "pdf/png_writer.h"
#include "pdf/tiff_writer.h"

namespace kestran::pdf {

using namespace encoder_parts;

bool ImageEncoder::WriteCmyk(const TiffFormat& format, const TiffRowSource& source, EncodedImage& out,
                             PixelHash& pixels)
{
    if (!plan_.to_srgb) {
        out.extension = "tif";
        return EncodeCmykTiff(format, source, out.bytes, &StopRequested, nullptr, &pixels);
    }
    std::vector<uint8_t>& bytes = out.bytes;
    bytes.clear();
    RowsEncoder encoder(plan_.type, format, png_level_, [&bytes](const uint8_t* data, size_t size) {
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }, &pixels);
    out.extension = encoder.Extension();
    // A strip of about 64 KiB of samples at a time, as the TIFF would take them.
    const size_t stride = CmykRowBytes(format);
    const uint32_t strip = static_cast<uint32_t>(std::max<size_t>(1, (size_t(1) << 16) / std::max<size_t>(stride, 1)));
    std::vector<uint8_t> rows(stride * std::min(strip, format.height));
    for (uint32_t y = 0; y < format.height;) {
        const uint32_t count = std::min(strip, format.height - y);
        if (CancelRequested() || !source(y, count, rows.data()) || !encoder.AddRows(rows.data(), stride, count))
            return false;
        y += count;
    }
    return encoder.Finish();
}

bool ImageEncoder::TryCmykTiff(const DrawnImage& drawn, EncodedImage& out)
{
    fz_image* img = drawn.image.get();
    TiffFormat format;
    format.width = static_cast<uint32_t>(img->w);
    format.height = static_cast<uint32_t>(img->h);
    format.icc_profile = drawn.colours.icc;
    const size_t w = static_cast<size_t>(img->w);
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx_, img);
    const bool plain_cmyk = img->n == 4 && SpaceType(ctx_, img->colorspace) == FZ_COLORSPACE_CMYK &&
                            !img->use_colorkey && (img->bpc == 8 || img->bpc == 16) && cbuf != nullptr &&
                            cbuf->buffer != nullptr;
    if (plan_.copy_cmyk_strip && plain_cmyk && img->mask == nullptr && cbuf->params.type == FZ_IMAGE_FLATE &&
        cbuf->params.u.flate.predictor <= 1 && DefaultDecode(ctx_, img)) {
        // A Flate stream without predictor is a TIFF strip as it is stored.
        format.bits = img->bpc;
        unsigned char* data = nullptr;
        const size_t size = fz_buffer_storage(ctx_, cbuf->buffer, &data);
        PixelHash pixels;
        if (WrapCmykTiffStrip(format, data, size, out.bytes, &pixels)) {
            out.extension = "tif";
            *out.pixels = pixels;
            return true;
        }
        format.bits = 8;
    }
    // A finer mask is laid over the image's rows later, on its own grid.
    const bool fine = MaskIsFiner(img);
    std::vector<uint8_t> mask_alpha;
    if (img->mask != nullptr && !fine && !RenderMaskAlpha(img, mask_alpha))
        return false;
    // The rows at the image's size, then written as they are or spread onto
    // the mask's grid.
    auto encode = [&](const TiffRowSource& source, PixelHash& pixels) {
        if (!fine)
            return WriteCmyk(format, source, out, pixels);
        const size_t sample = static_cast<size_t>(format.bits / 8);
        auto rows = std::make_shared<std::vector<uint8_t>>(5 * sample * w * static_cast<size_t>(img->h));
        if (!source(0, static_cast<uint32_t>(img->h), rows->data()))
            return false;
        const CoarseRows coarse{rows, 5 * sample * w, format.width, format.height, 4 * sample, sample};
        return TiffOnMaskGrid(img, format, coarse, out);
    };

    // 16-bit CMYK keeps its 16 bits, read as stored the way gray and RGB are
    // (MuPDF's pixmaps have 8).
    const bool native16 = plain_cmyk && img->bpc == 16 && (DefaultDecode(ctx_, img) || InvertedDecode(ctx_, img)) &&
                          (cbuf->params.type == FZ_IMAGE_FLATE || cbuf->params.type == FZ_IMAGE_LZW ||
                           cbuf->params.type == FZ_IMAGE_RLD || cbuf->params.type == FZ_IMAGE_RAW);
    if (native16) {
        const size_t stride = w * 8;
        std::vector<uint8_t> samples;
        if (!ReadImageSamples(ctx_, doc_, img, stride * static_cast<size_t>(img->h), samples))
            return false;
        const bool invert = !DefaultDecode(ctx_, img);
        format.bits = 16;
        format.alpha = img->mask != nullptr;
        PixelHash pixels;
        const bool encoded = encode([&](uint32_t y, uint32_t count, uint8_t* rows) {
            auto* dst = reinterpret_cast<uint16_t*>(rows);
            for (uint32_t r = 0; r < count; ++r) {
                const uint8_t* src = samples.data() + stride * (y + r);
                const uint8_t* a = mask_alpha.empty() ? nullptr : mask_alpha.data() + w * (y + r);
                for (size_t x = 0; x < w; ++x) {
                    for (int c = 0; c < 4; ++c, src += 2) {
                        const uint16_t v = static_cast<uint16_t>((src[0] << 8) | src[1]);
                        *dst++ = invert ? static_cast<uint16_t>(~v) : v;
                    }
                    if (format.alpha)
                        *dst++ = a != nullptr ? static_cast<uint16_t>(a[x] * 257) : uint16_t(0xffff);
                }
            }
            return true;
        }, pixels);
        if (encoded && !fine)
            *out.pixels = pixels;
        return encoded;
    }

    // Otherwise through MuPDF's pixmap, which applies /Decode and looks up a
    // palette; a Separation or DeviceN image runs its tint transform into
    // the CMYK alternate.
    fz_pixmap* pix = nullptr;
    bool ok = MuTry(ctx_, [&] { pix = fz_get_unscaled_pixmap_from_image(ctx_, img); });
    const PixmapHandle holder(ctx_, pix);
    if (!ok || pix == nullptr || fz_pixmap_width(ctx_, pix) != img->w || fz_pixmap_height(ctx_, pix) != img->h)
        return false;
    // Other colour spaces are converted a strip at a time, as the TIFF is
    // written: the image is never held twice.
    fz_colorspace* space = fz_pixmap_colorspace(ctx_, pix);
    const bool convert = SpaceType(ctx_, space) != FZ_COLORSPACE_CMYK;
    // A colour-keyed image comes with an alpha of its own (premultiplied);
    // a JPEG 2000 file's alpha that the page ignores is left out.
    const bool own_alpha = fz_pixmap_alpha(ctx_, pix) != 0;
    if (!convert && fz_pixmap_components(ctx_, pix) != 4 + (own_alpha ? 1 : 0))
        return false;
    ColourConverter to_cmyk(ctx_, space, own_alpha, fz_device_cmyk(ctx_), true);
    const bool keep_own_alpha = own_alpha && !JpxAlphaIgnored(drawn);
    format.alpha = keep_own_alpha || img->mask != nullptr;
    const int comps = 4 + (own_alpha ? 1 : 0);
    const unsigned char* samples = fz_pixmap_samples(ctx_, pix);
    const size_t stride = static_cast<size_t>(fz_pixmap_stride(ctx_, pix));
    fz_pixmap* unkeyed = own_alpha ? UnkeyedColours(ctx_, img, fz_device_cmyk(ctx_)) : nullptr;
    const PixmapHandle unkeyed_holder(ctx_, unkeyed);
    const unsigned char* plain = unkeyed != nullptr && fz_pixmap_components(ctx_, unkeyed) == 4
                                     ? fz_pixmap_samples(ctx_, unkeyed) : nullptr;
    const size_t plain_stride = plain != nullptr ? static_cast<size_t>(fz_pixmap_stride(ctx_, unkeyed)) : 0;
    PixelHash pixels;
    const bool encoded = encode([&](uint32_t y, uint32_t count, uint8_t* rows) {
        const unsigned char* strip = samples + stride * y;
        size_t strip_stride = stride;
        PixmapHandle converted;
        if (convert) {
            fz_pixmap* view = nullptr;
            if (!MuTry(ctx_, [&] {
                    view = fz_new_pixmap_with_data(ctx_, space, img->w, static_cast<int>(count), nullptr,
                                                   own_alpha ? 1 : 0, static_cast<int>(stride),
                                                   const_cast<unsigned char*>(strip));
                }))
                return false;
            const PixmapHandle view_held(ctx_, view);
            converted = to_cmyk.Convert(view);
            if (!converted)
                return false;
            strip = fz_pixmap_samples(ctx_, converted.get());
            strip_stride = static_cast<size_t>(fz_pixmap_stride(ctx_, converted.get()));
        }
        uint8_t* dst = rows;
        for (uint32_t r = 0; r < count; ++r) {
            const unsigned char* src = strip + strip_stride * r;
            const uint8_t* m = mask_alpha.empty() ? nullptr : mask_alpha.data() + w * (y + r);
            const unsigned char* p = plain != nullptr ? plain + plain_stride * (y + r) : nullptr;
            for (size_t x = 0; x < w; ++x, src += comps) {
                const uint8_t own = own_alpha ? src[4] : 255;
                for (int c = 0; c < 4; ++c)
                    *dst++ = p != nullptr ? p[x * 4 + c] : own_alpha ? Unpremultiply(src[c], own) : src[c];
                if (format.alpha) {
                    const uint8_t a = keep_own_alpha ? own : 255;
                    *dst++ = m != nullptr ? static_cast<uint8_t>((a * m[x] + 127) / 255) : a;
                }
            }
        }
        return true;
    }, pixels);
    if (encoded && !fine)
        *out.pixels = pixels;
    return encoded;
}

}  // namespace kestran::pdf
