#include "pdf/jpx_decode.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "pdf/cancel_flag.h"
#include "pdf/mu_context.h"
#include "pdf/mu_try.h"

namespace kestran::pdf {

// ---------------------------------------------------------------------------
// Cost and budget

namespace {

// What openjpeg 2.5 (Debian 12) holds while it decodes, beside MuPDF's own
// allocations. Measured as the peak resident size (/usr/bin/time -v) of a
// program that only decodes, files made by openjpeg's encoder with 6
// resolutions and 64 x 64 code-blocks, lossless and lossy (ratio 20), 8 and
// 16 bits; a 16 x 16 image gives the program's own 2.5 MB:
//  - whole: its 32-bit planes, 4 bytes a sample, and about twice the
//    compressed data (3000 x 3000 RGB lossy, 1.35 MB: 114 MB; gray lossless,
//    5.5 MB: 50 MB; 2000 x 2000 RGB 16-bit lossless, 7 MB: 65 MB);
//  - by windows of a one-tile image: 10 to 12 bytes a sample of the window
//    widened by 512 rows, which the code-blocks of the coarser resolutions
//    reach (3000 x 3000 RGB: 42 MB at 64 rows, 49 at 128, 65 at 256, 98 at
//    512; 1500 x 6000: 34 MB at 128 rows, 40 at 256; 6000 x 1500: 113 MB at
//    256), the whole decode's 114 MB in each case;
//  - tile by tile: 9 MB for 3000 x 3000 RGB in 512 x 512 tiles, under 8
//    bytes a sample of one tile;
//  - the copy rule's check at the lowest resolution: 9 MB (RGB lossy) and
//    15 MB (gray lossless) for 3000 x 3000, a quarter byte a sample and the
//    compressed data twice.
constexpr uint64_t kWholeBytesPerSample = 4;
constexpr uint64_t kWindowBytesPerSample = 12;
constexpr uint64_t kWindowReachRows = 512;
constexpr uint64_t kTileBytesPerSample = 8;
constexpr uint64_t kCheckSamplesPerByte = 4;
constexpr uint64_t kCodecBytes = uint64_t(4) << 20;  // the codec's state, the program's own
// Time: windows of one tile re-decode the code-blocks of the coarser
// resolutions that each window reaches. 3000 x 3000 RGB lossy took 4.9 s
// whole, 6.6 s in windows of 1024 rows, 8.3 s of 256 (0.7 s a window), 10.6
// s of 128, 14 s of 64; tile by tile 4.2 s. A window of about 128 KiB of
// compressed data takes about half a second on a busy two-core machine, so a
// stop is seen within one second; it holds at most 4 M samples.
constexpr uint64_t kWindowStoredBytes = uint64_t(128) << 10;
constexpr uint64_t kWindowSamples = uint64_t(4) << 20;
constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();

// a x b, saturating.
uint64_t Times(uint64_t a, uint64_t b)
{
    if (a != 0 && b > kMost / a)
        return kMost;
    return a * b;
}

uint64_t Plus(uint64_t a, uint64_t b) { return b > kMost - a ? kMost : a + b; }

}  // namespace

bool JpxTiled(const JpxHeader& header) { return uint64_t(header.tiles_across) * header.tiles_down > 1; }

uint32_t JpxWindowRows(const JpxHeader& header, size_t stored)
{
    if (header.height == 0 || header.width == 0)
        return 0;
    const uint32_t block = std::max<uint32_t>(header.block_height, 1);
    const uint64_t per_row = Times(header.width, static_cast<uint64_t>(std::max(header.components, 1)));
    const uint64_t by_time = Times(header.height, kWindowStoredBytes) / std::max<uint64_t>(stored, 1);
    const uint64_t by_memory = kWindowSamples / std::max<uint64_t>(per_row, 1);
    uint64_t rows = std::min(by_time, by_memory) / block * block;
    rows = std::max<uint64_t>(rows, block);
    return static_cast<uint32_t>(std::min<uint64_t>(rows, header.height));
}

uint64_t JpxDecodeCost(const JpxHeader& header, size_t stored, JpxWay way)
{
    if (header.width == 0 || header.height == 0 || header.components <= 0)
        return 0;  // no size declared: openjpeg refuses the header as well
    const uint64_t n = static_cast<uint64_t>(header.components);
    const uint64_t row_samples = Times(header.width, n);
    const uint64_t samples = Times(row_samples, header.height);
    const uint64_t fixed = Plus(kCodecBytes, Times(stored, 2));
    switch (way) {
    case JpxWay::Check: return Plus(fixed, samples / kCheckSamplesPerByte);
    case JpxWay::Whole:
        // openjpeg's planes, and the 8-bit image made from them.
        return Plus(fixed, Plus(Times(samples, kWholeBytesPerSample), samples));
    case JpxWay::Windows:
        if (JpxTiled(header)) {
            const uint64_t tile_w = std::min(header.tile_width, header.width);
            const uint64_t tile_h = std::min(header.tile_height, header.height);
            const uint64_t tile = Times(Times(tile_w, tile_h), n);
            // openjpeg's tile, the tile handed over (2 bytes a sample at
            // most) and the band of tiles made of them.
            return Plus(fixed, Plus(Times(tile, kTileBytesPerSample + 2), Times(row_samples, tile_h)));
        } else {
            const uint64_t rows = JpxWindowRows(header, stored);
            return Plus(fixed, Plus(Times(Times(row_samples, rows + kWindowReachRows), kWindowBytesPerSample),
                                    Times(row_samples, rows)));
        }
    }
    return kMost;
}

std::unique_ptr<UncountedMemory> TakeJpxMemory(uint64_t need, uint64_t image_budget, std::string& why)
{
    if (image_budget != 0 && need > image_budget) {
        why = "its decoding needs more memory than the " + MemorySizeText(image_budget) + " this image may use";
        return nullptr;
    }
    const uint64_t budget = ProcessMemoryBudget();
    const uint64_t used = MuMemoryInUse();
    auto held = std::make_unique<UncountedMemory>(need);
    if (need != 0 && !held->Held()) {
        why = "its decoding needs more memory than the " + MemorySizeText(budget > used ? budget - used : 0) +
              " left of the memory budget";
        return nullptr;
    }
    return held;
}

// ---------------------------------------------------------------------------
// Planning

namespace {

// The first bytes of the object's JPEG 2000 data (outer filters undone),
// enough for the header: 64 KiB, up to 1 MiB when boxes before the
// codestream are larger. `header` receives what they hold.
std::vector<uint8_t> ReadJpxHead(fz_context* ctx, pdf_obj* ref, JpxHeader& header)
{
    std::vector<uint8_t> head;
    fz_stream* stm = nullptr;
    if (!MuTry(ctx, [&] { stm = pdf_open_stream(ctx, ref); }))
        return head;
    const StreamHandle held(ctx, stm);
    for (size_t want = size_t(64) << 10; want <= (size_t(1) << 20); want *= 4) {
        const size_t had = head.size();
        head.resize(want);
        size_t got = 0;
        unsigned char* dst = head.data() + had;
        if (!MuTry(ctx, [&] { got = fz_read(ctx, stm, dst, want - had); }))
            got = 0;
        head.resize(had + got);
        header = ReadJpxHeader(head.data(), head.size());
        if (header.width != 0 || got < want - had)
            break;
    }
    return head;
}

// Components of the dictionary's colour space when it is one the encoder
// writes as MuPDF's samples are (gray, RGB, CMYK, or ICC of those), 0 when
// there is none, -1 for any other.
int PlainColours(fz_context* ctx, pdf_obj* cs)
{
    if (cs == nullptr)
        return 0;
    if (pdf_name_eq(ctx, cs, PDF_NAME(DeviceGray)) || pdf_name_eq(ctx, cs, PDF_NAME(G)))
        return 1;
    if (pdf_name_eq(ctx, cs, PDF_NAME(DeviceRGB)) || pdf_name_eq(ctx, cs, PDF_NAME(RGB)))
        return 3;
    if (pdf_name_eq(ctx, cs, PDF_NAME(DeviceCMYK)) || pdf_name_eq(ctx, cs, PDF_NAME(CMYK)))
        return 4;
    if (pdf_is_array(ctx, cs) && pdf_name_eq(ctx, pdf_array_get(ctx, cs, 0), PDF_NAME(ICCBased))) {
        const int n = pdf_dict_get_int(ctx, pdf_array_get(ctx, cs, 1), PDF_NAME(N));
        return n == 1 || n == 3 || n == 4 ? n : -1;
    }
    return -1;
}

}  // namespace

JpxPlan PlanJpx(fz_context* ctx, pdf_obj* ref, uint64_t image_budget)
{
    JpxPlan plan;
    int w = 0, h = 0, colours = -1;
    int64_t length = 0;
    bool marked = true;
    MuTry(ctx, [&] {
        if (!pdf_is_jpx_image(ctx, ref))
            return;
        plan.jpx = true;
        w = pdf_dict_get_int(ctx, ref, PDF_NAME(Width));
        h = pdf_dict_get_int(ctx, ref, PDF_NAME(Height));
        length = pdf_to_int64(ctx, pdf_dict_get(ctx, ref, PDF_NAME(Length)));
        // What MuPDF adds to the samples (a /Decode, a mask, the file's own
        // alpha) is the encoder's to apply after MuPDF's decode.
        marked = pdf_dict_get(ctx, ref, PDF_NAME(Decode)) || pdf_dict_get(ctx, ref, PDF_NAME(SMask)) ||
                 pdf_dict_get(ctx, ref, PDF_NAME(Mask)) || pdf_dict_get_int(ctx, ref, PDF_NAME(SMaskInData)) != 0 ||
                 pdf_dict_get_bool(ctx, ref, PDF_NAME(ImageMask));
        colours = PlainColours(ctx, pdf_dict_get(ctx, ref, PDF_NAME(ColorSpace)));
    });
    if (!plan.jpx)
        return plan;
    plan.look = JpxLookOf(ctx, ref);
    const std::vector<uint8_t> head = ReadJpxHead(ctx, ref, plan.header);
    plan.stored = std::max<size_t>(head.size(), length > 0 ? static_cast<size_t>(length) : 0);
    const JpxHeader& header = plan.header;
    const int n = header.components;
    const bool believable = w > 0 && h > 0 && w <= (1 << 20) && h <= (1 << 20);
    if (image_budget != 0) {
        plan.budget = image_budget;
    } else {
        const uint64_t dict_n = static_cast<uint64_t>(colours > 0 ? colours : std::max(n, 1));
        plan.budget = believable ? DeclaredImageBudget(uint64_t(w) * uint64_t(h) * dict_n)
                                 : DeclaredImageBudget(Times(Times(header.width, header.height), std::max(n, 1)));
    }
    const uint64_t decoded = Times(Times(header.width, header.height), static_cast<uint64_t>(std::max(n, 1)));
    const JpxPlan mask = JpxMaskPlan(ctx, ref);
    if (mask.jpx) {
        plan.mask_cost = mask.Cost(JpxWay::Whole);
        if (image_budget == 0)
            plan.budget = Plus(plan.budget, mask.budget);
    }
    plan.windowed = !marked && colours >= 0 && (n == 1 || n == 3 || n == 4) && (colours == 0 || colours == n) &&
                    !header.palette && !header.component_map && !header.channel_definition && !header.subsampled &&
                    header.max_precision >= 1 && header.max_precision <= 16 && header.enumerated != 18 &&
                    decoded > kJpxWholeDecodeBytes;
    return plan;
}

uint64_t JpxPlan::Cost(JpxWay way) const
{
    const uint64_t own = JpxDecodeCost(header, stored, way);
    return way == JpxWay::Whole ? Plus(own, mask_cost) : own;
}

JpxPlan JpxMaskPlan(fz_context* ctx, pdf_obj* ref)
{
    pdf_obj* mask = nullptr;
    MuTry(ctx, [&] {
        mask = pdf_dict_get(ctx, ref, PDF_NAME(SMask));
        if (!pdf_is_stream(ctx, mask))
            mask = pdf_dict_get(ctx, ref, PDF_NAME(Mask));
        if (!pdf_is_stream(ctx, mask) || !pdf_is_jpx_image(ctx, mask))
            mask = nullptr;
    });
    return mask != nullptr ? PlanJpx(ctx, mask) : JpxPlan();
}

bool JpxWholeFits(const JpxPlan& plan)
{
    std::string why;
    return TakeJpxMemory(plan.Cost(JpxWay::Whole), plan.budget, why) != nullptr;
}

bool MuPdfMayDecode(const JpxPlan& plan)
{
    if (!plan.jpx)
        return true;
    // A header MuPDF refuses would lose the image at the page walk: its
    // codestream is decoded here instead (TryJpxOwnDecode).
    return !plan.look.faithful && !plan.windowed && !plan.header.box_order_refused && JpxWholeFits(plan);
}

// ---------------------------------------------------------------------------
// Decoding by windows

JpxRows::JpxRows(const uint8_t* data, size_t size, const JpxHeader& header, uint32_t window_rows)
    : header_(header), window_rows_(window_rows)
{
    check_.data = data;
    check_.size = size;
}

bool JpxRows::Open(std::string* why)
{
    auto fail = [&](const char* fallback) {
        if (why != nullptr)
            *why = check_.message.empty() ? fallback : check_.message;
        return false;
    };
    // MuPDF's choice of decoder: a codestream when the data starts with one.
    const bool bare = check_.size >= 2 && check_.data[0] == 0xFF && check_.data[1] == 0x4F;
    if (const char* problem =
            OpenJpxDecoder(bare ? OPJ_CODEC_J2K : OPJ_CODEC_JP2, check_, decoder_, "cannot read the JPEG 2000 header"))
        return fail(problem);
    const opj_image_t* image = decoder_.image.get();
    components_ = static_cast<int>(image->numcomps);
    if (components_ != 1 && components_ != 3 && components_ != 4)
        return fail("JPEG 2000 components other than gray, RGB or CMYK");
    if (image->color_space == OPJ_CLRSPC_SYCC)
        return fail("sYCC JPEG 2000");
    for (int c = 0; c < components_; ++c) {
        const opj_image_comp_t& comp = image->comps[c];
        if (comp.dx != 1 || comp.dy != 1 || comp.prec < 1 || comp.prec > 16 || comp.alpha != 0)
            return fail("JPEG 2000 components of other sizes, depths or uses");
    }
    if (image->x1 <= image->x0 || image->y1 <= image->y0)
        return fail("JPEG 2000 image of no size");
    x0_ = image->x0;
    y0_ = image->y0;
    width_ = image->x1 - image->x0;
    height_ = image->y1 - image->y0;
    std::unique_ptr<opj_codestream_info_v2_t, CstrInfoDeleter> info(opj_get_cstr_info(decoder_.codec.get()));
    if (!info || info->tw == 0 || info->th == 0)
        return fail("cannot read the JPEG 2000 header");
    tiles_across_ = info->tw;
    tiled_ = uint64_t(info->tw) * info->th > 1;
    if (window_rows_ == 0)
        window_rows_ = JpxWindowRows(header_, check_.size);
    return window_rows_ > 0 || tiled_ ? true : fail("cannot read the JPEG 2000 header");
}

namespace {

// One sample to 8 bits as MuPDF copies a decoded component into its pixmap:
// signed samples moved up by half their range, then the top 8 bits (or the
// bits moved up), the result cut to a byte without clamping.
inline uint8_t ToByte(int32_t v, uint32_t prec, bool sgnd)
{
    if (sgnd)
        v = v + (1 << (prec - 1));
    if (prec > 8)
        v = v >> (prec - 8);
    else if (prec < 8)
        v = v << (8 - prec);
    return static_cast<uint8_t>(v);
}

// Copies `rows` x `cols` samples of one component, `src_stride` apart, into
// the band (pixel after pixel) at column `x`.
template <typename T>
void PutComponent(const T* src, size_t src_stride, uint32_t prec, bool sgnd, uint8_t* band, size_t band_stride,
                  int components, int comp, uint32_t x, uint32_t rows, uint32_t cols)
{
    for (uint32_t r = 0; r < rows; ++r) {
        const T* s = src + src_stride * r;
        uint8_t* d = band + band_stride * r + size_t(x) * components + comp;
        for (uint32_t i = 0; i < cols; ++i, d += components)
            *d = ToByte(static_cast<int32_t>(s[i]), prec, sgnd);
    }
}

}  // namespace

bool JpxRows::NextWindow()
{
    opj_image_t* image = decoder_.image.get();
    const uint32_t rows = std::min(window_rows_, height_ - next_row_);
    const auto top = static_cast<OPJ_INT32>(y0_ + next_row_);
    if (!opj_set_decode_area(decoder_.codec.get(), image, static_cast<OPJ_INT32>(x0_), top,
                             static_cast<OPJ_INT32>(x0_ + width_), top + static_cast<OPJ_INT32>(rows)) ||
        !opj_decode(decoder_.codec.get(), decoder_.stream.get(), image) || check_.failed)
        return false;
    const size_t stride = size_t(width_) * components_;
    band_.resize(stride * rows);
    for (int c = 0; c < components_; ++c) {
        const opj_image_comp_t& comp = image->comps[c];
        if (comp.w != width_ || comp.h != rows || comp.data == nullptr)
            return false;
        PutComponent(comp.data, comp.w, comp.prec, comp.sgnd != 0, band_.data(), stride, components_, c, 0, rows,
                     width_);
    }
    band_rows_ = rows;
    return true;
}

bool JpxRows::NextTileRow()
{
    opj_codec_t* codec = decoder_.codec.get();
    opj_stream_t* stream = decoder_.stream.get();
    const opj_image_t* image = decoder_.image.get();
    const size_t stride = size_t(width_) * components_;
    uint32_t row = std::numeric_limits<uint32_t>::max();
    for (uint32_t done = 0; done < tiles_across_; ++done) {
        if (CancelRequested())
            return false;
        OPJ_UINT32 index = 0, size = 0, comps = 0;
        OPJ_INT32 tx0 = 0, ty0 = 0, tx1 = 0, ty1 = 0;
        OPJ_BOOL go_on = OPJ_TRUE;
        if (!opj_read_tile_header(codec, stream, &index, &size, &tx0, &ty0, &tx1, &ty1, &comps, &go_on) || !go_on ||
            check_.failed || comps != static_cast<OPJ_UINT32>(components_))
            return false;
        // Tiles come in rows here: a file that interleaves its tile-parts
        // across rows is left to the whole decode.
        const uint32_t x = static_cast<uint32_t>(tx0) - x0_;
        const uint32_t top = static_cast<uint32_t>(ty0) - y0_;
        const uint32_t cols = static_cast<uint32_t>(tx1 - tx0);
        const uint32_t rows = static_cast<uint32_t>(ty1 - ty0);
        if (row == std::numeric_limits<uint32_t>::max()) {
            row = index / tiles_across_;
            if (top != next_row_ || rows == 0)
                return false;
            band_rows_ = rows;
            band_.assign(stride * rows, 0);
        }
        if (index / tiles_across_ != row || top != next_row_ || rows != band_rows_ || cols == 0 ||
            x + uint64_t(cols) > width_)
            return false;
        tile_.resize(size);
        if (!opj_decode_tile_data(codec, index, tile_.data(), size, stream) || check_.failed)
            return false;
        // The tile's samples, component after component, in 1, 2 or 4 bytes.
        const uint8_t* src = tile_.data();
        for (int c = 0; c < components_; ++c) {
            const opj_image_comp_t& comp = image->comps[c];
            const size_t count = size_t(cols) * rows;
            const bool sgnd = comp.sgnd != 0;
            const size_t bytes = comp.prec <= 8 ? 1 : 2;
            const size_t at = static_cast<size_t>(src - tile_.data());
            if (at + count * bytes > tile_.size() || at % bytes != 0)
                return false;
            if (bytes == 1 && sgnd)
                PutComponent(reinterpret_cast<const int8_t*>(src), cols, comp.prec, true, band_.data(), stride,
                             components_, c, x, rows, cols);
            else if (bytes == 1)
                PutComponent(src, cols, comp.prec, false, band_.data(), stride, components_, c, x, rows, cols);
            else if (sgnd)
                PutComponent(reinterpret_cast<const int16_t*>(src), cols, comp.prec, true, band_.data(), stride,
                             components_, c, x, rows, cols);
            else
                PutComponent(reinterpret_cast<const uint16_t*>(src), cols, comp.prec, false, band_.data(), stride,
                             components_, c, x, rows, cols);
            src += count * bytes;
        }
    }
    return true;
}

bool JpxRows::NextBand()
{
    band_read_ = 0;
    band_rows_ = 0;
    if (next_row_ >= height_ || CancelRequested())
        return false;
    if (!(tiled_ ? NextTileRow() : NextWindow()))
        return false;
    next_row_ += band_rows_;
    return true;
}

bool JpxRows::Read(uint32_t count, uint8_t* rows)
{
    const size_t stride = size_t(width_) * components_;
    while (count > 0) {
        if (band_read_ == band_rows_ && !NextBand())
            return false;
        const uint32_t take = std::min(count, band_rows_ - band_read_);
        std::memcpy(rows, band_.data() + stride * band_read_, stride * take);
        rows += stride * take;
        band_read_ += take;
        count -= take;
    }
    return true;
}

}  // namespace kestran::pdf
