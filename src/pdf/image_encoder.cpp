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

// How an image's samples become PNG rows without MuPDF's image decoder: the
// decoded stream holds the PNG's rows as they are, at most with every bit
// flipped.
struct RowsPlan {
    PngFormat format;
    size_t stride = 0;    // bytes of one decoded row of samples
    bool invert = false;  // /Decode [1 0 ...], or a stencil painting its 0 bits
    // A mask of the image's size read beside the samples: its rows become
    // the PNG's alpha channel (the PNG's rows are then built, not read).
    bool masked = false;
    size_t mask_stride = 0;
    int mask_bpc = 0;
    bool mask_invert = false;  // opacity is 255 minus the scaled sample
    // Or the mask already drawn at the image's size, one opacity a pixel.
    std::shared_ptr<const std::vector<uint8_t>> drawn_alpha;
    // Samples of a colour space PNG does not have (CMYK, Lab, Separation,
    // DeviceN) at 8 or 16 bits: converted to 8-bit RGB by MuPDF a block at a
    // time, as its decoder and the whole-image way convert them.
    fz_colorspace* convert = nullptr;  // the image's, which the stream keeps
    int components = 0;
    bool use_decode = false;
    float decode[FZ_MAX_COLORS * 2] = {};
};

// The helpers of the encoder's files; those the JPEG 2000 and the printing
// ink files use too are declared in image_encoder_parts.h.
namespace encoder_parts {

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

// True when an Indexed JPEG 2000 image's /Decode (8-bit indices) leaves
// the indices as they are: none, or [0 255] as some producers write it.
bool IndexDecodeUnchanged(fz_context* ctx, pdf_obj* decode)
{
    return decode == nullptr || (pdf_array_len(ctx, decode) == 2 && pdf_to_real(ctx, pdf_array_get(ctx, decode, 0)) == 0.0f &&
                                 pdf_to_real(ctx, pdf_array_get(ctx, decode, 1)) == 255.0f);
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

// What the PDF says about how a JPEG image is shown, for the copy rule.
JpegLook LookOfJpeg(fz_context* ctx, fz_image* img, int color_transform)
{
    JpegLook look;
    look.space = SpaceType(ctx, img->colorspace);
    look.components = img->n;
    look.masked = img->mask != nullptr || img->use_colorkey;
    look.default_decode = DefaultDecode(ctx, img);
    look.inverted_decode = InvertedDecode(ctx, img);
    look.color_transform = color_transform;
    return look;
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

// The status of an image that could not be encoded: stopped, out of memory,
// over its own budget, or else skipped for `cause`.
EncodeStatus FailureStatus(const RefusalWatch& memory, const std::string& cause, std::string& why)
{
    if (CancelRequested())
        return EncodeStatus::Cancelled;
    switch (memory.Refused()) {
    case MemoryRefusal::OutOfMemory:
        why = "out of memory";
        return EncodeStatus::OutOfMemory;
    case MemoryRefusal::ImageBudget:
        why = "its decoding needs more memory than the " + MemorySizeText(CurrentImageBudget()) +
              " this image may use";
        return EncodeStatus::Skipped;
    default:
        why = cause;
        return EncodeStatus::Skipped;
    }
}

// A gray image of fewer than 8 bits comes back from MuPDF widened to 8:
// packs it again at `bpc` into `packed` when every sample is one of the
// 2^bpc levels (false, `packed` empty, when one is not).
bool PackGrayLevels(const uint8_t* rows, size_t stride, int w, int h, int bpc, std::vector<uint8_t>& packed)
{
    const int step = 255 / ((1 << bpc) - 1);
    const size_t packed_stride = (static_cast<size_t>(w) * bpc + 7) / 8;
    packed.assign(packed_stride * static_cast<size_t>(h), 0);
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = rows + stride * static_cast<size_t>(y);
        uint8_t* dst = packed.data() + packed_stride * static_cast<size_t>(y);
        for (int x = 0; x < w; ++x) {
            if (src[x] % step != 0) {
                packed = std::vector<uint8_t>();
                return false;
            }
            const unsigned v = src[x] / step;
            const int bit = x * bpc;
            dst[bit >> 3] |= static_cast<uint8_t>(v << (8 - bpc - (bit & 7)));
        }
    }
    return true;
}

// A colour-keyed image decoded again without its key. MuPDF blanks a keyed
// pixel whole (its pixmap is premultiplied, so colour and alpha are both 0),
// while the file gives that pixel a colour of its own, which a viewer of the
// written file should find under the zero alpha. The copy shares the stored
// bytes; `want` (may be null) converts the colours. Null for an image without
// a key or without stored bytes (a JPEG 2000 image), or when it will not decode.
fz_pixmap* UnkeyedColours(fz_context* ctx, fz_image* img, fz_colorspace* want)
{
    fz_compressed_buffer* cbuf = img->use_colorkey ? fz_compressed_image_buffer(ctx, img) : nullptr;
    if (cbuf == nullptr || cbuf->buffer == nullptr)
        return nullptr;
    fz_image* plain = nullptr;
    fz_pixmap* pix = nullptr;
    MuTry(ctx, [&] {
        fz_compressed_buffer* copy = fz_malloc_struct(ctx, fz_compressed_buffer);
        copy->params = cbuf->params;
        if (copy->params.type == FZ_IMAGE_JBIG2)
            fz_keep_jbig2_globals(ctx, copy->params.u.jbig2.globals);
        copy->buffer = fz_keep_buffer(ctx, cbuf->buffer);
        plain = fz_new_image_from_compressed_buffer(ctx, img->w, img->h, img->bpc, img->colorspace, img->xres,
                                                    img->yres, img->interpolate, 0,
                                                    img->use_decode ? img->decode : nullptr, nullptr, copy, nullptr);
        pix = fz_get_unscaled_pixmap_from_image(ctx, plain);
    });
    const ImageHandle plain_held(ctx, plain);
    PixmapHandle held(ctx, pix);
    if (pix != nullptr && want != nullptr && fz_pixmap_colorspace(ctx, pix) != want) {
        held = ConvertPixmap(ctx, pix, want, false);
        pix = held.get();
    }
    if (pix != nullptr && (fz_pixmap_alpha(ctx, pix) != 0 || fz_pixmap_width(ctx, pix) != img->w ||
                           fz_pixmap_height(ctx, pix) != img->h))
        return nullptr;
    return held.release();
}

// RGB palette of an Indexed colour space, 2^bpc entries (indices above the
// table's top read as MuPDF reads them).
bool BuildPalette(fz_context* ctx, fz_colorspace* indexed, int bpc, std::vector<uint8_t>& palette)
{
    const int entries = 1 << bpc;
    fz_pixmap* idx = nullptr;
    fz_pixmap* base = nullptr;
    bool ok = MuTry(ctx, [&] {
        idx = fz_new_pixmap(ctx, indexed, entries, 1, nullptr, 0);
        unsigned char* s = fz_pixmap_samples(ctx, idx);
        for (int i = 0; i < entries; ++i)
            s[i] = static_cast<unsigned char>(i);
        base = fz_convert_indexed_pixmap_to_base(ctx, idx);
    });
    const PixmapHandle idx_held(ctx, idx);
    const PixmapHandle base_held(ctx, base);
    PixmapHandle rgb_held;
    if (ok && SpaceType(ctx, fz_pixmap_colorspace(ctx, base)) == FZ_COLORSPACE_RGB && fz_pixmap_alpha(ctx, base) == 0)
        rgb_held.reset(ctx, fz_keep_pixmap(ctx, base));
    else if (ok)
        rgb_held = ConvertPixmap(ctx, base, fz_device_rgb(ctx), false);
    fz_pixmap* rgb = rgb_held.get();
    if (ok && rgb != nullptr && fz_pixmap_components(ctx, rgb) == 3) {
        const unsigned char* s = fz_pixmap_samples(ctx, rgb);
        palette.assign(s, s + 3 * entries);
    } else {
        ok = false;
    }
    return ok;
}
bool BuildPalette(fz_context* ctx, fz_image* img, std::vector<uint8_t>& palette)
{
    return BuildPalette(ctx, img->colorspace, img->bpc, palette);
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

// The PNG of a stencil: one bit per pixel, index 1 the paint colour, index 0
// transparent (black under white paint, white otherwise, for viewers that
// ignore transparency).
PngFormat StencilFormat(int w, int h, const uint8_t paint[3])
{
    PngFormat format;
    format.width = static_cast<uint32_t>(w);
    format.height = static_cast<uint32_t>(h);
    format.bit_depth = 1;
    format.color = PngColor::Palette;
    const bool white_paint = paint[0] == 255 && paint[1] == 255 && paint[2] == 255;
    const uint8_t background = white_paint ? 0 : 255;
    format.palette = {background, background, background, paint[0], paint[1], paint[2]};
    format.transparency = {0, 255};
    return format;
}

// Opens the samples of `img` with compression and predictor undone: a
// stand-in's from the file, other images' from the compressed data MuPDF
// holds. Null when they cannot be read that way (another filter, subsampling).
fz_stream* OpenSamples(fz_context* ctx, pdf_document* doc, fz_image* img, const StandIn& standin)
{
    if (IsStandIn(img)) {
        // Only the rows stand-ins hold samples that filters alone decode.
        const bool rows = standin.copy == StoredCopy::Rows || standin.copy == StoredCopy::PngRows;
        return rows ? OpenStoredSamples(ctx, doc, standin) : nullptr;
    }
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx, img);
    if (cbuf == nullptr || cbuf->buffer == nullptr)
        return nullptr;
    switch (cbuf->params.type) {
    case FZ_IMAGE_FLATE:
    case FZ_IMAGE_LZW:
    case FZ_IMAGE_RLD:
    case FZ_IMAGE_RAW:
    case FZ_IMAGE_FAX: break;
    default: return nullptr;
    }
    fz_stream* stm = nullptr;
    int l2factor = 0;
    if (!MuTry(ctx, [&] { stm = fz_open_image_decomp_stream_from_buffer(ctx, cbuf, &l2factor); }))
        return nullptr;
    if (l2factor != 0) {
        fz_drop_stream(ctx, stm);
        return nullptr;
    }
    return stm;
}

// Reads up to `want` bytes; `got` < `want` at the end of the data. False on a
// read error, `got` then counting the bytes read before it.
bool ReadFully(fz_context* ctx, fz_stream* stm, uint8_t* dst, size_t want, size_t& got)
{
    got = 0;
    while (got < want) {
        size_t n = 0;
        if (!MuTry(ctx, [&] { n = fz_read(ctx, stm, dst + got, want - got); }))
            return false;
        if (n == 0)
            break;
        got += n;
    }
    return true;
}

// Turns `count` decoded rows into the PNG's rows in place: bits flipped when
// the plan inverts, and the bits after the last pixel of a row cleared (the
// decoders leave them as they come; PNG readers ignore them, zlib does not).
void PrepareRows(const RowsPlan& plan, uint8_t* rows, size_t count)
{
    const size_t stride = plan.stride;
    if (plan.invert)
        for (size_t i = 0; i < count * stride; ++i)
            rows[i] = static_cast<uint8_t>(~rows[i]);
    const size_t used = static_cast<size_t>(plan.format.width) * static_cast<size_t>(plan.format.bit_depth) *
                        static_cast<size_t>(PngChannels(plan.format.color)) % 8;
    if (used != 0)
        for (size_t r = 0; r < count; ++r)
            rows[r * stride + stride - 1] &= static_cast<uint8_t>(0xff << (8 - used));
}

// Reads all the rows of `plan` from `stm` into `samples`. Short data is padded
// with zeros (before any inversion) as MuPDF does.
bool ReadRawSamples(fz_context* ctx, fz_stream* stm, const RowsPlan& plan, std::vector<uint8_t>& samples)
{
    const size_t size = plan.stride * plan.format.height;
    samples.assign(size, 0);
    size_t got = 0;
    if (!ReadFully(ctx, stm, samples.data(), size, got))
        return false;
    if (got < size)
        fz_warn(ctx, "%s", kShortDataWarning);
    PrepareRows(plan, samples.data(), plan.format.height);
    return true;
}

// Reads `size` bytes of the image's samples at their own depth, undoing
// compression and predictor only. Short data is padded with zeros as MuPDF does.
bool ReadImageSamples(fz_context* ctx, pdf_document* doc, fz_image* img, size_t size, std::vector<uint8_t>& samples)
{
    StreamHandle stm(ctx, OpenSamples(ctx, doc, img, StandIn()));
    if (!stm)
        return false;
    samples.assign(size, 0);
    size_t got = 0;
    if (!ReadFully(ctx, stm.get(), samples.data(), size, got))
        return false;
    if (got < size)
        fz_warn(ctx, "%s", kShortDataWarning);
    return true;
}

// Reads rows of a decoded stream a block at a time. Short data is padded with
// zeros as MuPDF does; so is damaged data with `pad_damage` (else a read
// error ends the reading).
class RowBlocks {
public:
    RowBlocks(fz_context* ctx, fz_stream* stm, size_t stride, size_t height, bool pad_damage)
        : ctx_(ctx), stm_(stm), stride_(stride), height_(height), pad_damage_(pad_damage)
    {
    }

    // The next `rows` rows into `dst`. False on a read error, or when the data
    // ends so early that the image would be mostly made up: padding is for
    // data cut short, not for a size the data never meant, so an image whose
    // missing part exceeds half of it and anything decoded whole is not written.
    bool Read(uint8_t* dst, size_t rows)
    {
        const size_t want = rows * stride_;
        size_t got = 0;
        if (!ended_) {
            const bool read = ReadFully(ctx_, stm_, dst, want, got);
            if (!read && !pad_damage_)
                return false;
            ended_ = !read || got < want;
            const uint64_t missing = static_cast<uint64_t>(height_ - y_) * stride_ - got;
            if (ended_ && missing > kMaxWholeDecodeBytes && missing > static_cast<uint64_t>(height_) * stride_ / 2)
                return false;
        }
        short_ = short_ || got < want;
        std::fill(dst + got, dst + want, 0);
        y_ += rows;
        return true;
    }
    bool short_data() const { return short_; }

private:
    fz_context* ctx_;
    fz_stream* stm_;
    size_t stride_;
    size_t height_;
    bool pad_damage_;
    size_t y_ = 0;
    bool ended_ = false;
    bool short_ = false;
};

// The opacity MuPDF gives a row of mask samples: values scaled to 8 bits
// (16-bit ones cut to their high byte), inverted under /Decode [1 0].
void MaskAlphaRow(const uint8_t* src, size_t w, int bpc, bool invert, uint8_t* alpha)
{
    const unsigned max = (1u << std::min(bpc, 8)) - 1;
    for (size_t x = 0; x < w; ++x) {
        unsigned v;
        if (bpc == 16) {
            v = src[2 * x];
        } else if (bpc == 8) {
            v = src[x];
        } else {
            const size_t bit = x * static_cast<size_t>(bpc);
            v = (src[bit >> 3] >> (8 - bpc - (bit & 7))) & max;
            v = v * 255 / max;
        }
        alpha[x] = static_cast<uint8_t>(invert ? 255 - v : v);
    }
}

// How a mask's stored samples become opacities read by rows: their depth,
// and whether the opacity is 255 minus the scaled sample. False for a mask
// whose samples need MuPDF's decoder (another depth or /Decode).
bool MaskSampleLayout(const fz_image* mask, int& bpc, bool& invert)
{
    bpc = mask->bpc;
    if (mask->n != 1 || (bpc != 1 && bpc != 2 && bpc != 4 && bpc != 8 && bpc != 16))
        return false;
    const bool inverted = mask->decode[0] == 1.0f && mask->decode[1] == 0.0f;
    if (!inverted && (mask->decode[0] != 0.0f || mask->decode[1] != 1.0f))
        return false;
    // A stencil /Mask is opaque where it would paint: its 0 bits by default.
    invert = mask->imagemask ? !inverted : inverted;
    return true;
}

// The opacity of a mask one row at a time at its own size: its samples read
// by rows when filters alone decode them (memory of one row however large
// the mask), else MuPDF's decode of the whole mask.
class MaskOpacityRows {
public:
    MaskOpacityRows(fz_context* ctx, pdf_document* doc, fz_image* mask) : ctx_(ctx), doc_(doc), mask_(mask) {}

    bool Open()
    {
        const size_t w = static_cast<size_t>(mask_->w);
        if (MaskSampleLayout(mask_, bpc_, invert_)) {
            stm_.reset(ctx_, OpenSamples(ctx_, doc_, mask_, StandInOf(mask_)));
            // A gray JPEG's decoded rows are its samples too (a mask has nothing to copy).
            fz_compressed_buffer* cbuf = stm_ ? nullptr : fz_compressed_image_buffer(ctx_, mask_);
            if (cbuf != nullptr && cbuf->buffer != nullptr && cbuf->params.type == FZ_IMAGE_JPEG && bpc_ == 8) {
                fz_stream* stm = nullptr;
                int l2factor = 0;
                MuTry(ctx_, [&] { stm = fz_open_image_decomp_stream_from_buffer(ctx_, cbuf, &l2factor); });
                stm_.reset(ctx_, stm);
                if (l2factor != 0)
                    stm_.reset();
            }
            if (stm_) {
                raw_.resize((w * static_cast<size_t>(bpc_) + 7) / 8);
                rows_ = std::make_unique<RowBlocks>(ctx_, stm_.get(), raw_.size(), static_cast<size_t>(mask_->h), true);
                return true;
            }
        }
        fz_pixmap* pix = nullptr;
        MuTry(ctx_, [&] { pix = fz_get_unscaled_pixmap_from_image(ctx_, mask_); });
        pix_.reset(ctx_, pix);
        return pix != nullptr && fz_pixmap_width(ctx_, pix) == mask_->w && fz_pixmap_height(ctx_, pix) == mask_->h;
    }

    // The next row's opacities, one byte per pixel.
    bool Next(uint8_t* alpha)
    {
        const size_t w = static_cast<size_t>(mask_->w);
        if (rows_) {
            if (!rows_->Read(raw_.data(), 1))
                return false;
            MaskAlphaRow(raw_.data(), w, bpc_, invert_, alpha);
            return true;
        }
        // An alpha-only pixmap holds the opacity; a gray one its luminosity, which is the opacity too.
        fz_pixmap* pix = pix_.get();
        const int n = fz_pixmap_components(ctx_, pix);
        const int channel = fz_pixmap_alpha(ctx_, pix) ? n - 1 : 0;
        const unsigned char* src =
            fz_pixmap_samples(ctx_, pix) + static_cast<size_t>(fz_pixmap_stride(ctx_, pix)) * y_++ + channel;
        for (size_t x = 0; x < w; ++x, src += n)
            alpha[x] = *src;
        return true;
    }
    bool short_data() const { return rows_ && rows_->short_data(); }

private:
    fz_context* ctx_;
    pdf_document* doc_;
    fz_image* mask_;
    int bpc_ = 0;
    bool invert_ = false;
    StreamHandle stm_;
    std::unique_ptr<RowBlocks> rows_;
    std::vector<uint8_t> raw_;
    PixmapHandle pix_;
    size_t y_ = 0;
};

// The rows of the mask's grid for an image whose mask is finer (mask_grid.h),
// made in order a block at a time from the image's rows and the mask's.
class FineRows {
public:
    FineRows(fz_context* ctx, pdf_document* doc, fz_image* img, const CoarseRows& coarse)
        : coarse_(coarse), opacity_(ctx, doc, img->mask),
          columns_(NearestSources(coarse.width, static_cast<uint32_t>(img->mask->w))),
          sources_(NearestSources(coarse.height, static_cast<uint32_t>(img->mask->h))),
          alpha_(static_cast<size_t>(img->mask->w))
    {
    }

    bool Open() { return opacity_.Open(); }

    bool Next(uint8_t* dst, size_t stride, size_t count)
    {
        for (size_t r = 0; r < count; ++r, ++y_) {
            if (y_ >= sources_.size() || !opacity_.Next(alpha_.data()))
                return false;
            SpreadRow(coarse_, columns_, sources_[y_], alpha_.data(), dst + r * stride);
        }
        return true;
    }
    bool short_data() const { return opacity_.short_data(); }

private:
    CoarseRows coarse_;
    MaskOpacityRows opacity_;
    std::vector<uint32_t> columns_;
    std::vector<uint32_t> sources_;
    std::vector<uint8_t> alpha_;
    size_t y_ = 0;
};

// Converts `rows` rows of samples to RGB with `converter` and adds them to
// `encoder`. 16-bit samples are cut to their high byte, as MuPDF's decoder
// does before it converts.
bool ConvertRows(fz_context* ctx, const RowsPlan& plan, ColourConverter& converter, uint8_t* block, size_t rows,
                 RowsEncoder& encoder)
{
    const size_t samples = static_cast<size_t>(plan.format.width) * static_cast<size_t>(plan.components);
    if (plan.stride == 2 * samples)
        for (size_t i = 0; i < samples * rows; ++i)
            block[i] = block[2 * i];
    fz_pixmap* pix = nullptr;
    bool ok = MuTry(ctx, [&] {
        pix = fz_new_pixmap_with_data(ctx, plan.convert, static_cast<int>(plan.format.width), static_cast<int>(rows),
                                      nullptr, 0, static_cast<int>(samples), block);
        if (plan.use_decode)
            fz_decode_tile(ctx, pix, plan.decode);
    });
    const PixmapHandle pix_held(ctx, pix);
    const PixmapHandle rgb = ok ? converter.Convert(pix) : PixmapHandle();
    return rgb && encoder.AddRows(fz_pixmap_samples(ctx, rgb.get()), static_cast<size_t>(fz_pixmap_stride(ctx, rgb.get())),
                                  rows);
}

// Decodes the samples (and the mask beside them when the plan has one) a
// block of rows at a time into a streaming PNG: memory stays at one block and
// the decoders' own state whatever the image's size. `pixels` receives the
// PNG's hash when it is complete.
bool StreamNativeRows(fz_context* ctx, const std::function<fz_stream*()>& open,
                      const std::function<fz_stream*()>& open_mask, const RowsPlan& plan, OutputType type, int level,
                      bool pad_damage, const ByteSink& sink, std::optional<PixelHash>& pixels)
{
    StreamHandle stm(ctx, open());
    StreamHandle mask_stm;
    const bool read_mask = plan.masked && !plan.drawn_alpha;
    if (read_mask)
        mask_stm.reset(ctx, open_mask());
    if (!stm || (read_mask && !mask_stm))
        return false;
    const size_t stride = plan.stride;
    const size_t width = plan.format.width;
    const size_t height = plan.format.height;
    const size_t rows_per_block = std::max<size_t>(1, (size_t(1) << 16) / std::max<size_t>(stride, 1));
    std::vector<uint8_t> block(stride * rows_per_block);
    RowBlocks samples(ctx, stm.get(), stride, height, pad_damage);
    std::vector<uint8_t> mask_block(plan.mask_stride * rows_per_block);
    RowBlocks mask(ctx, mask_stm.get(), plan.mask_stride, height, pad_damage);
    std::vector<uint8_t> alpha(plan.masked ? width : 0);
    const size_t bytes = plan.format.bit_depth == 16 ? 2 : 1;
    const size_t pixel = bytes * static_cast<size_t>(PngChannels(plan.format.color) - 1);
    const size_t out_stride = PngRowBytes(plan.format);
    std::vector<uint8_t> out(plan.masked ? out_stride * rows_per_block : 0);
    PixelHash hash;
    RowsEncoder encoder(type, plan.format, level, sink, &hash);
    // One converter for all blocks: a tint transform runs once per distinct
    // colour of the image, not once per block.
    ColourConverter converter(ctx, plan.convert, false, fz_device_rgb(ctx), false);
    for (size_t y = 0; y < height;) {
        if (CancelRequested())
            return false;
        const size_t rows = std::min(rows_per_block, height - y);
        if (!samples.Read(block.data(), rows))
            return false;
        if (plan.convert != nullptr) {
            if (!ConvertRows(ctx, plan, converter, block.data(), rows, encoder))
                return false;
            y += rows;
            continue;
        }
        if (!plan.masked) {
            PrepareRows(plan, block.data(), rows);
            if (!encoder.AddRows(block.data(), stride, rows))
                return false;
            y += rows;
            continue;
        }
        if (plan.invert)
            for (size_t i = 0; i < rows * stride; ++i)
                block[i] = static_cast<uint8_t>(~block[i]);
        if (read_mask && !mask.Read(mask_block.data(), rows))
            return false;
        for (size_t r = 0; r < rows; ++r) {
            const uint8_t* a = alpha.data();
            if (read_mask)
                MaskAlphaRow(mask_block.data() + r * plan.mask_stride, width, plan.mask_bpc, plan.mask_invert,
                             alpha.data());
            else
                a = plan.drawn_alpha->data() + (y + r) * width;
            const uint8_t* src = block.data() + r * stride;
            uint8_t* dst = out.data() + r * out_stride;
            for (size_t x = 0; x < width; ++x) {
                std::memcpy(dst, src, pixel);
                dst += pixel;
                src += pixel;
                *dst++ = a[x];
                if (bytes == 2)
                    *dst++ = a[x];  // 8-bit alpha widened to 16 bits (a * 257)
            }
        }
        if (!encoder.AddRows(out.data(), out_stride, rows))
            return false;
        y += rows;
    }
    if (samples.short_data() || mask.short_data())
        fz_warn(ctx, "%s", kShortDataWarning);
    if (!encoder.Finish())
        return false;
    pixels = hash;
    return true;
}

// The reason given for an image none of whose data decodes.
std::string UndecodableWhy(const std::string& damage)
{
    return damage == kNoImageDataDecoded ? damage : "cannot decode image (" + damage + ")";
}

// True when the image's samples are read through filters alone and their data
// ends or fails before one whole row: MuPDF would pad the whole image, and a
// flat rectangle is no picture. Decided from what the filters deliver, so a
// picture that really is flat is still written.
bool NoRowDecodes(fz_context* ctx, pdf_document* doc, const DrawnImage& drawn)
{
    fz_image* img = drawn.image.get();
    StreamHandle stm(ctx, OpenSamples(ctx, doc, img, drawn.standin));
    if (!stm)
        return false;
    const int n = img->imagemask ? 1 : img->n;
    const size_t stride = (static_cast<size_t>(img->w) * static_cast<size_t>(n) * static_cast<size_t>(img->bpc) + 7) / 8;
    std::vector<uint8_t> row(stride);
    size_t got = 0;
    ReadFully(ctx, stm.get(), row.data(), stride, got);
    return got < stride;
}

// What PlanImage needs to know of `drawn`. Whether a profile is sRGB is
// asked only where the answer counts (a JPEG that may be copied).
ImageFacts FactsOf(fz_context* ctx, const DrawnImage& drawn, OutputType type)
{
    fz_image* img = drawn.image.get();
    ImageFacts facts;
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx, img);
    const int stored = cbuf != nullptr ? cbuf->params.type : FZ_IMAGE_UNKNOWN;
    if (drawn.standin.copy == StoredCopy::Jpeg || stored == FZ_IMAGE_JPEG)
        facts.stored = ImageFacts::Stored::Jpeg;
    else if (drawn.standin.copy == StoredCopy::Jpx || stored == FZ_IMAGE_JPX)
        facts.stored = ImageFacts::Stored::Jpx;
    facts.colours = ImageColourKind(ctx, img->colorspace);
    facts.indexed = IsIndexed(ctx, img);
    facts.stencil = drawn.stencil || img->imagemask;
    facts.masked = img->mask != nullptr || img->use_colorkey;
    facts.has_profile = !drawn.colours.icc.empty();
    facts.srgb_profile = facts.has_profile && type == OutputType::Jpeg && facts.stored == ImageFacts::Stored::Jpeg &&
                         IsSrgbProfile(drawn.colours.icc);
    facts.bits = img->bpc;
    return facts;
}

// The ICC profile of a gray or RGB image (also the base of a palette), for
// its PNG; empty for other colours.
std::vector<uint8_t> PngProfileOf(fz_context* ctx, const DrawnImage& drawn)
{
    switch (ImageColourKind(ctx, drawn.image.get()->colorspace)) {
    case ColourKind::Gray:
    case ColourKind::Rgb: return drawn.colours.icc;
    default: return {};
    }
}

}  // namespace encoder_parts

using namespace encoder_parts;

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

ImageEncoder::ImageEncoder(fz_context* ctx, pdf_document* doc, int png_level, size_t stream_bytes, OutputType type)
    : ctx_(ctx), doc_(doc), png_level_(png_level), stream_bytes_(stream_bytes), type_(type)
{
}

bool ImageEncoder::TryStoredCopy(const DrawnImage& drawn, EncodedImage& out)
{
    fz_image* img = drawn.image.get();
    fz_context* ctx = ctx_;
    pdf_document* doc = doc_;
    const StandIn info = drawn.standin;
    if (info.copy == StoredCopy::Jpx)
        return CopyJpxObject(info.num, info.gen, false, out);
    if (info.copy == StoredCopy::Jpeg) {
        if (!plan_.copy_jpeg)
            return false;
        // The whole stream is read once for the check, and again when it is written.
        const JpegLook look = LookOfJpeg(ctx_, img, info.params.u.jpeg.color_transform);
        const auto open = [this, &info] { return StoredBlocks(ctx_, doc_, info); };
        if (!Accept(JpegCopyVerdict(look, open, false, &damage_)))
            return false;
        out.extension = "jpg";
        out.action = ImageAction::Copied;
        out.stream = [ctx, doc, info](const ByteSink& sink) { return CopyStoredStream(ctx, doc, info, nullptr, sink); };
        return true;
    }
    // A stand-in for rows may hold PNG-filtered rows too, but it was chosen
    // for a mask or /Decode that the stored rows alone would lose.
    if (info.copy != StoredCopy::PngRows || !plan_.copy_png_rows)
        return false;
    PngFormat format;
    if (!StoredRowsFormat(ctx_, img, format))
        return false;
    format.icc_profile = PngProfileOf(ctx_, drawn);
    format.srgb = plan_.to_srgb;
    PixelHash pixels;
    if (!StoredStreamHoldsPngRows(ctx_, doc_, info, format, &pixels))
        return false;
    *out.pixels = pixels;
    out.extension = "png";
    out.action = ImageAction::Copied;
    out.stream = [ctx, doc, info, format](const ByteSink& sink) {
        return CopyStoredStream(ctx, doc, info, &format, sink);
    };
    return true;
}

bool ImageEncoder::Finish(const PngFormat& format, const uint8_t* rows, size_t stride, EncodedImage& out)
{
    if (plan_.to_srgb) {
        PngFormat with_profile = format;
        if (with_profile.icc_profile.empty())
            with_profile.icc_profile = icc_profile_;
        std::vector<uint8_t>& bytes = out.bytes;
        bytes.clear();
        PixelHash hash;
        RowsEncoder encoder(plan_.type, with_profile, png_level_, [&bytes](const uint8_t* data, size_t size) {
            bytes.insert(bytes.end(), data, data + size);
            return true;
        }, &hash);
        out.extension = encoder.Extension();
        if (!encoder.EncodeWhole(rows, stride, &StopRequested))
            return false;
        *out.pixels = hash;
        return true;
    }
    out.extension = "png";
    PixelHash pixels;
    bool encoded = false;
    if (icc_profile_.empty() || !format.icc_profile.empty()) {
        encoded = EncodePng(format, rows, stride, out.bytes, png_level_, &StopRequested, nullptr, &pixels);
    } else {
        PngFormat with_profile = format;
        with_profile.icc_profile = icc_profile_;
        encoded = EncodePng(with_profile, rows, stride, out.bytes, png_level_, &StopRequested, nullptr, &pixels);
    }
    if (encoded)
        *out.pixels = pixels;
    return encoded;
}

bool ImageEncoder::FinishOnMaskGrid(fz_image* img, const PngFormat& format, const CoarseRows& coarse,
                                    EncodedImage& out, bool streaming)
{
    PngFormat fine_format = format;
    fine_format.width = static_cast<uint32_t>(img->mask->w);
    fine_format.height = static_cast<uint32_t>(img->mask->h);
    if (fine_format.icc_profile.empty())
        fine_format.icc_profile = icc_profile_;
    if (!IsValidPngFormat(fine_format))
        return false;
    fz_context* ctx = ctx_;
    pdf_document* doc = doc_;
    // The image (and its mask) is kept for as long as the stream may run.
    std::shared_ptr<fz_image> keep(fz_keep_image(ctx, img), [ctx](fz_image* i) { fz_drop_image(ctx, i); });
    const int level = png_level_;
    const OutputType type = plan_.type;
    auto write = [ctx, doc, keep, coarse, fine_format, type, level](const ByteSink& sink, PixelHash& hash) {
        FineRows fine(ctx, doc, keep.get(), coarse);
        if (!fine.Open())
            return false;
        RowsEncoder encoder(type, fine_format, level, sink, &hash);
        const size_t stride = PngRowBytes(fine_format);
        const size_t block_rows = std::max<size_t>(1, (size_t(1) << 16) / stride);
        std::vector<uint8_t> block(stride * block_rows);
        for (size_t y = 0; y < fine_format.height;) {
            if (CancelRequested())
                return false;
            const size_t rows = std::min<size_t>(block_rows, fine_format.height - y);
            if (!fine.Next(block.data(), stride, rows) || !encoder.AddRows(block.data(), stride, rows))
                return false;
            y += rows;
        }
        if (fine.short_data())
            fz_warn(ctx, "%s", kShortDataWarning);
        return encoder.Finish();
    };
    out.extension = RowsExtension(type, fine_format);
    if (streaming && static_cast<uint64_t>(PngRowBytes(fine_format)) * fine_format.height >= stream_bytes_) {
        out.stream = [write, pixels = out.pixels](const ByteSink& sink) {
            PixelHash hash;
            if (!write(sink, hash))
                return false;
            *pixels = hash;
            return true;
        };
        return true;
    }
    // Held: only the compressed file is, the rows pass a block at a time.
    std::vector<uint8_t>& bytes = out.bytes;
    bytes.clear();
    PixelHash hash;
    bool ok = false;
    try {
        ok = write([&bytes](const uint8_t* data, size_t size) {
            bytes.insert(bytes.end(), data, data + size);
            return true;
        }, hash);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok) {
        bytes = std::vector<uint8_t>();
        return false;
    }
    *out.pixels = hash;
    return true;
}

bool ImageEncoder::TiffOnMaskGrid(fz_image* img, const TiffFormat& format, const CoarseRows& coarse,
                                  EncodedImage& out)
{
    TiffFormat fine_format = format;
    fine_format.width = static_cast<uint32_t>(img->mask->w);
    fine_format.height = static_cast<uint32_t>(img->mask->h);
    fine_format.alpha = true;
    FineRows fine(ctx_, doc_, img, coarse);
    if (!fine.Open())
        return false;
    const size_t stride = static_cast<size_t>(fine_format.width) * 5 * static_cast<size_t>(fine_format.bits / 8);
    PixelHash pixels;
    const bool encoded = WriteCmyk(fine_format, [&](uint32_t, uint32_t count, uint8_t* rows) {
        return fine.Next(rows, stride, count);
    }, out, pixels);
    if (!encoded)
        return false;
    if (fine.short_data())
        fz_warn(ctx_, "%s", kShortDataWarning);
    *out.pixels = pixels;
    return true;
}

bool ImageEncoder::Accept(CopyVerdict verdict)
{
    undecodable_ = verdict == CopyVerdict::Nothing;
    damaged_ = verdict == CopyVerdict::Damaged || undecodable_;
    if (!damaged_)
        damage_.clear();
    return verdict == CopyVerdict::Copy;
}

bool ImageEncoder::TryRawJpeg(const DrawnImage& drawn, EncodedImage& out, bool force)
{
    if (!plan_.copy_jpeg)
        return false;
    fz_image* img = drawn.image.get();
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx_, img);
    if (cbuf == nullptr || cbuf->buffer == nullptr || cbuf->params.type != FZ_IMAGE_JPEG)
        return false;
    unsigned char* data = nullptr;
    size_t size = fz_buffer_storage(ctx_, cbuf->buffer, &data);
    const JpegLook look = LookOfJpeg(ctx_, img, cbuf->params.u.jpeg.color_transform);
    const auto open = [data, size] { return MemoryBlocks(data, size); };
    if (!Accept(JpegCopyVerdict(look, open, force, &damage_)))
        return false;
    out.extension = "jpg";
    out.action = ImageAction::Copied;
    out.body.reset(ctx_, fz_keep_buffer(ctx_, cbuf->buffer));
    return true;
}

bool ImageEncoder::TryPngPassthrough(fz_image* img, EncodedImage& out)
{
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx_, img);
    if (cbuf == nullptr || cbuf->buffer == nullptr || cbuf->params.type != FZ_IMAGE_FLATE)
        return false;
    const auto& p = cbuf->params.u.flate;
    if (!FlateRowsArePngRows(p.predictor, p.columns, p.colors, p.bpc, SpaceType(ctx_, img->colorspace), img->w, img->n,
                             img->bpc))
        return false;
    if (!plan_.copy_png_rows || img->mask != nullptr || img->use_colorkey || img->imagemask ||
        !DefaultDecode(ctx_, img))
        return false;
    PngFormat format;
    if (!StoredRowsFormat(ctx_, img, format))
        return false;
    format.icc_profile = icc_profile_;
    format.srgb = plan_.to_srgb;
    unsigned char* data = nullptr;
    size_t size = fz_buffer_storage(ctx_, cbuf->buffer, &data);
    // The check inflates the rows anyway; undoing their filters on the way
    // gives the hash that the same pixels stored another way get.
    PixelHash pixels;
    if (!IsPngFilteredStream(format, data, size, &pixels))
        return false;
    out.extension = "png";
    if (!WrapPngIdatParts(format, data, size, out.bytes, out.tail))
        return false;
    out.body.reset(ctx_, fz_keep_buffer(ctx_, cbuf->buffer));
    out.action = ImageAction::Copied;
    *out.pixels = pixels;
    return true;
}

bool ImageEncoder::RowsPlanFor(const DrawnImage& drawn, RowsPlan& plan)
{
    fz_image* img = drawn.image.get();
    // JPEG and JPEG 2000 data are not samples that filters undo.
    if (IsStandIn(img) && drawn.standin.copy != StoredCopy::Rows && drawn.standin.copy != StoredCopy::PngRows)
        return false;
    if (img->use_colorkey || img->n > FZ_MAX_COLORS || (drawn.stencil && !img->imagemask))
        return false;
    const enum fz_colorspace_type type = img->imagemask ? FZ_COLORSPACE_NONE : SpaceType(ctx_, img->colorspace);
    const bool inverted = !IsIndexed(ctx_, img) && InvertedDecode(ctx_, img);
    if (!RowsLayoutSupported(type, img->n, img->bpc, img->imagemask, img->mask != nullptr,
                             DefaultDecode(ctx_, img) || inverted))
        return false;
    const int bpc = img->bpc;
    plan.stride = (static_cast<size_t>(img->w) * img->n * bpc + 7) / 8;
    if (img->mask != nullptr && !MaskRowsPlan(img, plan))
        return false;
    if (img->imagemask) {
        // MuPDF paints a stencil's 0 bits under the default /Decode [0 1].
        plan.invert = !inverted;
        plan.format = StencilFormat(img->w, img->h, drawn.paint);
        return true;
    }
    PngFormat& format = plan.format;
    format.width = static_cast<uint32_t>(img->w);
    format.height = static_cast<uint32_t>(img->h);
    format.bit_depth = bpc;
    plan.invert = inverted;
    switch (type) {
    case FZ_COLORSPACE_GRAY: format.color = plan.masked ? PngColor::GrayAlpha : PngColor::Gray; break;
    case FZ_COLORSPACE_RGB: format.color = plan.masked ? PngColor::Rgba : PngColor::Rgb; break;
    case FZ_COLORSPACE_INDEXED:
        format.color = PngColor::Palette;
        if (!BuildPalette(ctx_, img, format.palette))
            return false;
        break;
    default:
        // Converted to 8-bit RGB a block at a time; /Decode applied on the way.
        plan.invert = false;
        plan.convert = img->colorspace;
        plan.components = img->n;
        plan.use_decode = !DefaultDecode(ctx_, img);
        std::copy(img->decode, img->decode + 2 * img->n, plan.decode);
        format.color = PngColor::Rgb;
        format.bit_depth = 8;
        return true;
    }
    if (!IsValidPngFormat(format))
        return false;
    format.icc_profile = icc_profile_;
    return true;
}

bool ImageEncoder::MaskRowsPlan(fz_image* img, RowsPlan& plan)
{
    // Streamed beside the samples when both are read from the file and the
    // mask has the image's size; other masks are drawn to size whole.
    fz_image* mask = img->mask;
    if (!IsStandIn(img) || !IsStandIn(mask) || mask->w != img->w || mask->h != img->h)
        return false;
    int bpc = 0;
    if (!MaskSampleLayout(mask, bpc, plan.mask_invert))
        return false;
    plan.mask_bpc = bpc;
    plan.mask_stride = (static_cast<size_t>(mask->w) * bpc + 7) / 8;
    plan.masked = true;
    return true;
}

bool ImageEncoder::TryRows(const DrawnImage& drawn, EncodedImage& out, bool streaming, bool pad_damage)
{
    RowsPlan plan;
    if (!RowsPlanFor(drawn, plan))
        return false;
    fz_context* ctx = ctx_;
    pdf_document* doc = doc_;
    const StandIn standin = drawn.standin;
    // The image is kept for as long as the stream may run.
    std::shared_ptr<fz_image> keep(fz_keep_image(ctx_, drawn.image.get()),
                                   [ctx](fz_image* i) { fz_drop_image(ctx, i); });
    auto open = [ctx, doc, keep, standin]() { return OpenSamples(ctx, doc, keep.get(), standin); };
    auto open_mask = [ctx, doc, keep]() {
        fz_image* mask = keep->mask;
        return mask != nullptr ? OpenSamples(ctx, doc, mask, StandInOf(mask)) : nullptr;
    };
    const uint64_t size = static_cast<uint64_t>(plan.stride) * plan.format.height;
    if (IsStandIn(keep.get()) || size > kMaxWholeDecodeBytes || (streaming && size >= stream_bytes_)) {
        // Large: decoded, filtered and compressed a block of rows at a time
        // while the file is written (beyond the whole-decode limit even on
        // the way back after a failed streamed file). The stream is opened
        // here once to know that this way applies (a stand-in's always does).
        if (!IsStandIn(keep.get())) {
            StreamHandle probe(ctx_, open());
            if (!probe)
                return false;
        }
        const int level = png_level_;
        const OutputType type = plan_.type;
        out.extension = RowsExtension(type, plan.format);
        out.stream = [ctx, open, open_mask, plan, type, level, pad_damage, pixels = out.pixels](const ByteSink& sink) {
            return StreamNativeRows(ctx, open, open_mask, plan, type, level, pad_damage, sink, *pixels);
        };
        return true;
    }
    if (plan.masked || plan.convert != nullptr)
        return false;  // held, these take the whole-image way
    StreamHandle stm(ctx_, open());
    std::vector<uint8_t> samples;
    if (!stm || !ReadRawSamples(ctx_, stm.get(), plan, samples))
        return false;
    stm.reset();
    return Finish(plan.format, samples.data(), plan.stride, out);
}

bool ImageEncoder::TryMaskedSamples(fz_image* img, EncodedImage& out, bool streaming)
{
    // 8 or 16-bit gray or RGB samples as they are, the mask drawn at the
    // image's size as the alpha channel.
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx_, img);
    if (img->mask == nullptr || cbuf == nullptr || img->use_colorkey || img->imagemask)
        return false;
    const int bpc = img->bpc;
    if (bpc != 8 && bpc != 16)
        return false;
    RowsPlan plan;
    plan.invert = !DefaultDecode(ctx_, img);
    if (plan.invert && !InvertedDecode(ctx_, img))
        return false;
    PngFormat& format = plan.format;
    format.width = static_cast<uint32_t>(img->w);
    format.height = static_cast<uint32_t>(img->h);
    format.bit_depth = bpc;
    const enum fz_colorspace_type type = SpaceType(ctx_, img->colorspace);
    if (type == FZ_COLORSPACE_GRAY && img->n == 1)
        format.color = PngColor::GrayAlpha;
    else if (type == FZ_COLORSPACE_RGB && img->n == 3)
        format.color = PngColor::Rgba;
    else
        return false;
    plan.stride = (static_cast<size_t>(img->w) * img->n * bpc + 7) / 8;
    StreamHandle stm(ctx_, OpenSamples(ctx_, doc_, img, StandIn()));
    if (!stm)
        return false;
    format.icc_profile = icc_profile_;
    const bool fine = MaskIsFiner(img);
    if (!fine && streaming && PngRowBytes(format) * format.height >= stream_bytes_) {
        // Large: only the mask is held, drawn at the image's size; the
        // samples are decoded a block of rows at a time while the file is
        // written, as the rows way does.
        stm.reset();
        auto alpha = std::make_shared<std::vector<uint8_t>>();
        if (!RenderMaskAlpha(img, *alpha))
            return false;
        plan.masked = true;
        plan.drawn_alpha = alpha;
        fz_context* ctx = ctx_;
        pdf_document* doc = doc_;
        std::shared_ptr<fz_image> keep(fz_keep_image(ctx_, img), [ctx](fz_image* i) { fz_drop_image(ctx, i); });
        auto open = [ctx, doc, keep]() { return OpenSamples(ctx, doc, keep.get(), StandIn()); };
        const int level = png_level_;
        const OutputType type = plan_.type;
        out.extension = RowsExtension(type, plan.format);
        out.stream = [ctx, open, plan, type, level, pixels = out.pixels](const ByteSink& sink) {
            return StreamNativeRows(ctx, open, nullptr, plan, type, level, false, sink, *pixels);
        };
        return true;
    }
    std::vector<uint8_t> samples;
    if (!ReadRawSamples(ctx_, stm.get(), plan, samples))
        return false;
    stm.reset();

    std::vector<uint8_t> alpha;
    if (!fine && !RenderMaskAlpha(img, alpha))
        return false;
    const size_t bytes = static_cast<size_t>(bpc / 8);
    const size_t n = static_cast<size_t>(img->n);
    const size_t out_stride = static_cast<size_t>(img->w) * (n + 1) * bytes;
    auto rows = std::make_shared<std::vector<uint8_t>>(out_stride * static_cast<size_t>(img->h));
    for (size_t y = 0; y < static_cast<size_t>(img->h); ++y) {
        const uint8_t* src = samples.data() + y * plan.stride;
        const uint8_t* a = fine ? nullptr : alpha.data() + y * static_cast<size_t>(img->w);
        uint8_t* dst = rows->data() + y * out_stride;
        for (size_t x = 0; x < static_cast<size_t>(img->w); ++x) {
            std::memcpy(dst, src, n * bytes);
            dst += n * bytes;
            src += n * bytes;
            // On a finer mask's grid the mask comes later: opaque here.
            const uint8_t opacity = a != nullptr ? a[x] : 255;
            *dst++ = opacity;
            if (bytes == 2)
                *dst++ = opacity;  // 8-bit alpha widened to 16 bits (a * 257)
        }
    }
    samples = std::vector<uint8_t>();
    if (fine) {
        const CoarseRows coarse{rows, out_stride, format.width, format.height, n * bytes, bytes};
        return FinishOnMaskGrid(img, format, coarse, out, streaming);
    }
    return Finish(format, rows->data(), out_stride, out);
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
    const PixmapHandle pix_held(ctx_, pix);
    const PixmapHandle scaled_held(ctx_, scaled);
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
    return ok;
}

bool ImageEncoder::EncodeStencil(const DrawnImage& drawn, EncodedImage& out)
{
    fz_image* img = drawn.image.get();
    fz_pixmap* pix = nullptr;
    bool ok = MuTry(ctx_, [&] { pix = fz_get_unscaled_pixmap_from_image(ctx_, img); });
    const PixmapHandle pix_held(ctx_, pix);
    bool done = false;
    if (ok && pix != nullptr) {
        // MuPDF gives the coverage: 255 where the stencil paints.
        const int w = fz_pixmap_width(ctx_, pix);
        const int h = fz_pixmap_height(ctx_, pix);
        const int n = fz_pixmap_components(ctx_, pix);
        const int channel = fz_pixmap_alpha(ctx_, pix) ? n - 1 : 0;
        const PngFormat format = StencilFormat(w, h, drawn.paint);
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
    return done;
}

bool ImageEncoder::EncodeThroughPixmap(fz_image* img, EncodedImage& out, bool drop_own_alpha, bool streaming)
{
    fz_pixmap* pix = nullptr;
    std::string error;
    bool ok = MuTry(ctx_, [&] { pix = fz_get_unscaled_pixmap_from_image(ctx_, img); }, &error);
    PixmapHandle pix_held(ctx_, pix);
    if (!ok || pix == nullptr)
        return false;
    enum fz_colorspace_type type = SpaceType(ctx_, fz_pixmap_colorspace(ctx_, pix));
    if (type != FZ_COLORSPACE_GRAY && type != FZ_COLORSPACE_RGB) {
        // CMYK, Lab, Separation, DeviceN, Indexed: to RGB, keeping any alpha.
        pix_held = ConvertPixmap(ctx_, pix, fz_device_rgb(ctx_), true);
        pix = pix_held.get();
        if (pix == nullptr)
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

    // A finer mask is laid over the image's rows later, on its own grid.
    const bool fine = MaskIsFiner(img);
    std::vector<uint8_t> mask_alpha;
    if (img->mask != nullptr && (w != img->w || h != img->h || (!fine && !RenderMaskAlpha(img, mask_alpha))))
        return false;
    const bool keep_own_alpha = own_alpha && !drop_own_alpha;
    const bool has_alpha = keep_own_alpha || !mask_alpha.empty() || fine;
    PixmapHandle unkeyed_holder(ctx_, own_alpha ? UnkeyedColours(ctx_, img, fz_pixmap_colorspace(ctx_, pix)) : nullptr);
    if (unkeyed_holder && fz_pixmap_components(ctx_, unkeyed_holder.get()) != colors)
        unkeyed_holder.reset();
    fz_pixmap* const unkeyed = unkeyed_holder.get();
    const unsigned char* plain_s = unkeyed != nullptr ? fz_pixmap_samples(ctx_, unkeyed) : nullptr;
    const size_t plain_stride = unkeyed != nullptr ? static_cast<size_t>(fz_pixmap_stride(ctx_, unkeyed)) : 0;

    PngFormat format;
    format.width = static_cast<uint32_t>(w);
    format.height = static_cast<uint32_t>(h);
    format.bit_depth = 8;
    format.icc_profile = icc_profile_;
    if (colors == 1)
        format.color = has_alpha ? PngColor::GrayAlpha : PngColor::Gray;
    else
        format.color = has_alpha ? PngColor::Rgba : PngColor::Rgb;
    const bool narrow_gray = format.color == PngColor::Gray && (img->bpc == 1 || img->bpc == 2 || img->bpc == 4);
    if (!has_alpha && !own_alpha) {
        // Gray or RGB without alpha: the pixmap's rows are the PNG's rows,
        // or packed straight from them (a 1-bit page is 1 byte per pixel
        // here, and no more is added).
        std::vector<uint8_t> packed;
        bool done = false;
        if (narrow_gray && PackGrayLevels(s, stride, w, h, img->bpc, packed)) {
            pix_held.reset();
            format.bit_depth = img->bpc;
            return Finish(format, packed.data(), PngRowBytes(format), out);
        }
        done = Finish(format, s, stride, out);
        return done;
    }
    const size_t out_channels = static_cast<size_t>(colors) + (has_alpha ? 1 : 0);
    const size_t out_stride = static_cast<size_t>(w) * out_channels;
    // One PNG row from a pixmap row, the same row without the colour key
    // (null when there is none) and a mask row (null without a mask):
    // colours un-premultiplied, the mask folded into the alpha.
    auto compose = [colors, comps, own_alpha, keep_own_alpha, has_alpha, w](const unsigned char* src,
                                                                           const unsigned char* plain,
                                                                           const uint8_t* m, uint8_t* dst) {
        for (int x = 0; x < w; ++x) {
            const uint8_t own = own_alpha ? src[colors] : 255;
            for (int c = 0; c < colors; ++c)
                *dst++ = plain != nullptr ? plain[x * colors + c] : own_alpha ? Unpremultiply(src[c], own) : src[c];
            const uint8_t a = keep_own_alpha ? own : 255;
            if (has_alpha)
                *dst++ = m != nullptr ? static_cast<uint8_t>((a * m[x] + 127) / 255) : a;
            src += comps;
        }
    };
    if (fine) {
        auto rows = std::make_shared<std::vector<uint8_t>>(out_stride * static_cast<size_t>(h));
        for (int y = 0; y < h; ++y)
            compose(s + stride * static_cast<size_t>(y),
                    plain_s != nullptr ? plain_s + plain_stride * static_cast<size_t>(y) : nullptr, nullptr,
                    rows->data() + out_stride * static_cast<size_t>(y));
        pix_held.reset();
        const CoarseRows coarse{rows, out_stride, format.width, format.height, static_cast<size_t>(colors)};
        return FinishOnMaskGrid(img, format, coarse, out, streaming);
    }
    if (streaming && !narrow_gray && out_stride * static_cast<size_t>(h) >= stream_bytes_) {
        // Large: the PNG's rows are made a block at a time while the file is
        // written, not as a second whole copy of the image.
        fz_context* ctx = ctx_;
        std::shared_ptr<fz_pixmap> keep(pix_held.release(), [ctx](fz_pixmap* p) { fz_drop_pixmap(ctx, p); });
        auto alpha = std::make_shared<std::vector<uint8_t>>(std::move(mask_alpha));
        std::shared_ptr<fz_pixmap> keep_plain(unkeyed != nullptr ? fz_keep_pixmap(ctx, unkeyed) : nullptr,
                                              [ctx](fz_pixmap* p) { fz_drop_pixmap(ctx, p); });
        const int level = png_level_;
        const OutputType type = plan_.type;
        out.extension = RowsExtension(type, format);
        out.stream = [keep, keep_plain, plain_s, plain_stride, alpha, compose, format, out_stride, stride, s, w, h,
                      type, level, pixels = out.pixels](const ByteSink& sink) {
            PixelHash hash;
            RowsEncoder encoder(type, format, level, sink, &hash);
            const size_t block_rows = std::max<size_t>(1, (size_t(1) << 16) / out_stride);
            std::vector<uint8_t> block(out_stride * block_rows);
            for (size_t y = 0; y < static_cast<size_t>(h);) {
                if (CancelRequested())
                    return false;
                const size_t rows = std::min(block_rows, static_cast<size_t>(h) - y);
                for (size_t r = 0; r < rows; ++r)
                    compose(s + stride * (y + r), plain_s != nullptr ? plain_s + plain_stride * (y + r) : nullptr,
                            alpha->empty() ? nullptr : alpha->data() + (y + r) * w,
                            block.data() + r * out_stride);
                if (!encoder.AddRows(block.data(), out_stride, rows))
                    return false;
                y += rows;
            }
            if (!encoder.Finish())
                return false;
            *pixels = hash;
            return true;
        };
        return true;
    }
    std::vector<uint8_t> rows(out_stride * static_cast<size_t>(h));
    for (int y = 0; y < h; ++y)
        compose(s + stride * static_cast<size_t>(y),
                plain_s != nullptr ? plain_s + plain_stride * static_cast<size_t>(y) : nullptr,
                mask_alpha.empty() ? nullptr : mask_alpha.data() + static_cast<size_t>(y) * w,
                rows.data() + out_stride * static_cast<size_t>(y));
    pix_held.reset();

    std::vector<uint8_t> packed;
    if (narrow_gray && PackGrayLevels(rows.data(), out_stride, w, h, img->bpc, packed)) {
        rows = std::vector<uint8_t>();
        format.bit_depth = img->bpc;
        return Finish(format, packed.data(), PngRowBytes(format), out);
    }
    return Finish(format, rows.data(), out_stride, out);
}

bool ImageEncoder::TryLabAsSrgb(const DrawnImage& drawn, EncodedImage& out)
{
    // MuPDF reads a Lab image with a fixed range and, without colour
    // management, converts it roughly: the samples are read here and
    // converted with the image's own white point, /Range and /Decode.
    fz_image* img = drawn.image.get();
    const LabSpace& lab = drawn.colours.lab;
    if (img->n != 3 || (img->bpc != 8 && img->bpc != 16) || img->use_colorkey || !drawn.colours.lab_known)
        return false;
    fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx_, img);
    if (cbuf == nullptr || cbuf->buffer == nullptr)
        return false;
    const size_t w = static_cast<size_t>(img->w);
    const size_t h = static_cast<size_t>(img->h);
    const size_t stride = w * 3 * static_cast<size_t>(img->bpc / 8);
    std::vector<uint8_t> samples;
    if (!ReadImageSamples(ctx_, doc_, img, stride * h, samples))
        return false;
    LabToSrgb convert(lab, img->bpc);
    if (!convert.Ok())
        return false;
    const bool fine = MaskIsFiner(img);
    std::vector<uint8_t> mask_alpha;
    if (img->mask != nullptr && !fine && !RenderMaskAlpha(img, mask_alpha))
        return false;
    PngFormat format;
    format.width = static_cast<uint32_t>(w);
    format.height = static_cast<uint32_t>(h);
    format.bit_depth = 8;
    const size_t channels = img->mask != nullptr ? 4 : 3;
    format.color = channels == 4 ? PngColor::Rgba : PngColor::Rgb;
    format.srgb = true;
    auto held = std::make_shared<std::vector<uint8_t>>(w * channels * h);
    std::vector<uint8_t>& rows = *held;
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
            dst[3] = fine ? 255 : mask_alpha[w * y + x];
            dst += 4;
        }
    }
    samples = std::vector<uint8_t>();
    if (fine) {
        const CoarseRows coarse{held, w * channels, format.width, format.height, 3};
        return FinishOnMaskGrid(img, format, coarse, out, false);
    }
    return Finish(format, rows.data(), w * channels, out);
}

EncodeStatus ImageEncoder::Encode(const DrawnImage& drawn, EncodedImage& out, std::string& why, bool streaming)
{
    out = EncodedImage();
    damaged_ = false;
    undecodable_ = false;
    damage_.clear();
    const RefusalWatch memory;
    fz_image* img = drawn.image.get();
    if (img == nullptr || img->w <= 0 || img->h <= 0) {
        why = "empty image";
        return EncodeStatus::Skipped;
    }
    if (NoRowDecodes(ctx_, doc_, drawn)) {
        why = kNoImageDataDecoded;
        return EncodeStatus::Skipped;
    }
    plan_ = PlanImage(FactsOf(ctx_, drawn, type_), type_);
    const bool too_big = DecodedSize(img) > kMaxWholeDecodeBytes;
    jpx_budget_ = CurrentImageBudget() != 0 ? CurrentImageBudget() : ImageMemoryBudget(img);
    jpx_refusal_.clear();
    if (IsStandIn(img)) {
        const bool jpx = drawn.standin.copy == StoredCopy::Jpx;
        std::unique_ptr<UncountedMemory> whole_jpx;  // held while MuPDF decodes it
        if (jpx) {
            if (const std::optional<EncodeStatus> status = EncodeJpxStandIn(drawn, out, why, streaming, whole_jpx))
                return *status;
        } else if (drawn.standin.copy == StoredCopy::Refused) {
            // Its JPEG 2000 mask, which MuPDF decodes whole with it, did not
            // fit during the walk: loaded only if it fits now.
            pdf_obj* ref = nullptr;
            MuTry(ctx_, [&] { ref = pdf_new_indirect(ctx_, doc_, drawn.standin.num, drawn.standin.gen); });
            const ObjHandle ref_held(ctx_, ref);
            const JpxPlan mask = JpxMaskPlan(ctx_, ref);
            whole_jpx = TakeJpxMemory(mask.Cost(JpxWay::Whole), mask.budget, jpx_refusal_);
            if (whole_jpx == nullptr) {
                why = jpx_refusal_;
                return CancelRequested() ? EncodeStatus::Cancelled : EncodeStatus::Skipped;
            }
        } else {
            if (streaming && TryStoredCopy(drawn, out))
                return EncodeStatus::Ok;
            if (CancelRequested())
                return EncodeStatus::Cancelled;
            if (undecodable_) {
                why = UndecodableWhy(damage_);
                return EncodeStatus::Skipped;
            }
            out = EncodedImage();
            // Decoded from the file by rows. Held whole only on the way back
            // after a streamed file failed, and only within the whole-decode
            // limit; beyond it damaged rows are padded as MuPDF pads short data.
            // Printing inks keep their colours in a TIFF, which needs the image
            // decoded whole; beyond the whole-decode limit they are still written,
            // by rows, in RGB.
            const bool own_colours = !too_big && plan_.samples == ImagePlan::Samples::Inks;
            icc_profile_ = PngProfileOf(ctx_, drawn);  // the rows' PNG keeps the profile as the held ways do
            const bool rows = !own_colours && (streaming || too_big) && TryRows(drawn, out, true, !streaming);
            icc_profile_.clear();
            if (rows)
                return EncodeStatus::Ok;
        }
        // Neither way fits after all: load the real image.
        out = EncodedImage();
        DrawnImage real;
        real.stencil = drawn.stencil;
        std::memcpy(real.paint, drawn.paint, 3);
        real.object_num = drawn.object_num;
        real.colours = drawn.colours;
        fz_image* loaded = nullptr;
        pdf_obj* ref = nullptr;
        std::string error;
        bool ok = MuTry(ctx_, [&] {
            ref = pdf_new_indirect(ctx_, doc_, drawn.standin.num, drawn.standin.gen);
            pdf_remove_item(ctx_, fz_drop_image_imp, ref);
            loaded = pdf_load_image(ctx_, doc_, ref);
        }, &error);
        const ObjHandle ref_held(ctx_, ref);
        ImageHandle loaded_held(ctx_, loaded);
        if (!ok || loaded == nullptr || IsStandIn(loaded)) {
            loaded_held.reset();
            // A JPEG 2000 header MuPDF cannot read (openjpeg refuses a
            // misplaced box) around a codestream that is whole.
            out = EncodedImage();
            if (!ok && jpx &&
                TryJpxOwnDecode(drawn.standin.num, drawn.standin.gen, nullptr, out, true) &&
                memory.Refused() == MemoryRefusal::None)
                return EncodeStatus::Ok;
            out = EncodedImage();
            return FailureStatus(memory, ok ? "cannot load image" : error, why);
        }
        real.image = std::move(loaded_held);
        // The real image (or its mask) may share decoder state that the
        // stand-in did not show, which the caller's lock does not cover: such
        // an image is decoded whole here, under a lock of its own, rather
        // than streamed after this returns.
        const SharedDecoderLock shared_decoder(ctx_, real.image.get());
        return Encode(real, out, why, streaming && SharedCodecStates(ctx_, real.image.get()).empty());
    }
    // Whatever decodes by rows does so at any size; the other ways hold the
    // decoded image whole and stop at the limit.
    bool done = false;
    if (drawn.stencil || img->imagemask) {
        done = TryRows(drawn, out, streaming, !streaming) || (!too_big && EncodeStencil(drawn, out));
    } else if (TryRawJpeg(drawn, out, too_big) || TryRawJpx(drawn, out, too_big) ||
               (!too_big && TryJpxIndexed(drawn, out))) {
        return EncodeStatus::Ok;
    } else if (undecodable_) {
        // MuPDF would fill the whole picture in: nothing of it is in the file.
        why = UndecodableWhy(damage_);
        return EncodeStatus::Skipped;
    } else {
        if (plan_.samples == ImagePlan::Samples::Inks && !too_big)
            done = TryCmykTiff(drawn, out);
        else if (plan_.samples == ImagePlan::Samples::Lab && !too_big)
            done = TryLabAsSrgb(drawn, out);
        // Should the own-colour file fail, the image is still written in RGB.
        if (!done && !CancelRequested()) {
            icc_profile_ = PngProfileOf(ctx_, drawn);
            done = TryPngPassthrough(img, out) || TryRows(drawn, out, streaming, !streaming) ||
                   (!too_big && (TryMaskedSamples(img, out, streaming) ||
                                 EncodeThroughPixmap(img, out, JpxAlphaIgnored(drawn), streaming)));
            icc_profile_.clear();
        }
    }
    if (!done && too_big && !CancelRequested()) {
        why = damaged_ ? "damaged image data (" + damage_ + ") and " + kTooLargeToDecodeWhole : kTooLargeToDecodeWhole;
        return EncodeStatus::Skipped;
    }
    // A refused allocation inside a decoder can end the image's data early
    // with a mere warning: an image made after one is not the image.
    if (done && memory.Refused() == MemoryRefusal::None) {
        // MuPDF decoded what it could of damaged data and filled in the rest.
        if (damaged_)
            fz_warn(ctx_, "%s", kShortDataWarning);
        if (out.action != ImageAction::Copied)
            out.action = plan_.decoded_action;
        return EncodeStatus::Ok;
    }
    out = EncodedImage();
    if (!jpx_refusal_.empty() && memory.Refused() == MemoryRefusal::None && !CancelRequested()) {
        why = jpx_refusal_;
        return EncodeStatus::Skipped;
    }
    return FailureStatus(memory, damaged_ ? "cannot decode image (" + damage_ + ")" : "cannot decode image", why);
}

}  // namespace kestran::pdf
