#include "pdf/large_image.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "pdf/cancel_flag.h"
#include "pdf/checksums.h"
#include "pdf/jpx_decode.h"
#include "pdf/mu_try.h"

namespace kestran::pdf {
namespace {

constexpr size_t kBlock = size_t(1) << 16;

// A stand-in is never decoded: the extractor copies the object instead.
fz_pixmap* StandInPixmap(fz_context* ctx, fz_image*, fz_irect*, int, int, int*)
{
    fz_throw(ctx, FZ_ERROR_GENERIC, "image data is read from the file when it is copied");
    return nullptr;
}

size_t StandInSize(fz_context*, fz_image*) { return sizeof(fz_image); }

void DropStandIn(fz_context*, fz_image*) {}  // owns nothing beyond what MuPDF frees

struct StandInImage {
    fz_image base;
    StandIn info;
};

// The one filter (or one-element filter array) and its parameters, null when
// there is none or more than one.
pdf_obj* SingleFilter(fz_context* ctx, pdf_obj* dict, pdf_obj** parms)
{
    pdf_obj* filter = pdf_dict_geta(ctx, dict, PDF_NAME(Filter), PDF_NAME(F));
    pdf_obj* p = pdf_dict_geta(ctx, dict, PDF_NAME(DecodeParms), PDF_NAME(DP));
    if (pdf_is_array(ctx, filter)) {
        if (pdf_array_len(ctx, filter) != 1)
            return nullptr;
        filter = pdf_array_get(ctx, filter, 0);
        if (pdf_is_array(ctx, p))
            p = pdf_array_get(ctx, p, 0);
    }
    *parms = pdf_is_dict(ctx, p) ? p : nullptr;
    return pdf_is_name(ctx, filter) ? filter : nullptr;
}

int ParmInt(fz_context* ctx, pdf_obj* parms, pdf_obj* key, int fallback)
{
    pdf_obj* v = parms != nullptr ? pdf_dict_get(ctx, parms, key) : nullptr;
    return v != nullptr ? pdf_to_int(ctx, v) : fallback;
}

// True when the stored Flate data is meant as PNG rows of the image itself.
bool StoredPngRowsCandidate(fz_context* ctx, pdf_obj* parms, enum fz_colorspace_type type, int w, int n, int bpc)
{
    return FlateRowsArePngRows(ParmInt(ctx, parms, PDF_NAME(Predictor), 1), ParmInt(ctx, parms, PDF_NAME(Columns), 1),
                               ParmInt(ctx, parms, PDF_NAME(Colors), 1),
                               ParmInt(ctx, parms, PDF_NAME(BitsPerComponent), 8), type, w, n, bpc);
}

// Filters whose output the encoder can take a block of rows at a time
// without MuPDF's image decoder: general-purpose compression of the samples.
bool IsRowFilter(fz_context* ctx, pdf_obj* name)
{
    static pdf_obj* const kNames[] = {PDF_NAME(FlateDecode),     PDF_NAME(Fl),  PDF_NAME(LZWDecode),
                                      PDF_NAME(LZW),             PDF_NAME(RunLengthDecode), PDF_NAME(RL),
                                      PDF_NAME(CCITTFaxDecode),  PDF_NAME(CCF), PDF_NAME(ASCIIHexDecode),
                                      PDF_NAME(AHx),             PDF_NAME(ASCII85Decode),   PDF_NAME(A85)};
    for (pdf_obj* known : kNames)
        if (pdf_name_eq(ctx, name, known))
            return true;
    return false;
}

// True when the image's samples can be written from its filtered stream row
// by row (the encoder's rows path takes them; see RowsPlanFor there):
// row filters only, and samples gray, RGB, Indexed or a stencil with the
// default or the inverting /Decode, or 8 or 16-bit samples of another colour
// space (converted); at least `min_bytes` decoded.
bool RowsCandidate(fz_context* ctx, pdf_obj* ref, fz_colorspace* cs, bool imagemask, pdf_obj* decode, int w, int h,
                   int n, int bpc, size_t min_bytes)
{
    if (bpc != 1 && bpc != 2 && bpc != 4 && bpc != 8 && bpc != 16)
        return false;
    pdf_obj* filter = pdf_dict_geta(ctx, ref, PDF_NAME(Filter), PDF_NAME(F));
    if (pdf_is_array(ctx, filter)) {
        const int count = pdf_array_len(ctx, filter);
        if (count > 4)
            return false;
        for (int i = 0; i < count; ++i)
            if (!IsRowFilter(ctx, pdf_array_get(ctx, filter, i)))
                return false;
    } else if (filter != nullptr && !IsRowFilter(ctx, filter)) {
        return false;
    }
    const enum fz_colorspace_type type = cs != nullptr ? fz_colorspace_type(ctx, cs) : FZ_COLORSPACE_NONE;
    bool plain_decode = true;
    if (decode != nullptr) {
        // The default and the fully inverted /Decode are a matter of bits.
        plain_decode = pdf_is_array(ctx, decode) && pdf_array_len(ctx, decode) >= 2 * n;
        const float first = plain_decode ? pdf_array_get_real(ctx, decode, 0) : 0.0f;
        plain_decode = plain_decode && (first == 0.0f || first == 1.0f);
        for (int i = 0; plain_decode && i < n; ++i)
            plain_decode = pdf_array_get_real(ctx, decode, 2 * i) == first &&
                           pdf_array_get_real(ctx, decode, 2 * i + 1) == 1.0f - first;
        if (type == FZ_COLORSPACE_INDEXED)
            plain_decode = false;  // an Indexed /Decode maps indices, not bits
    }
    if (!RowsLayoutSupported(type, n, bpc, imagemask, false, plain_decode))
        return false;
    const uint64_t stride = (static_cast<uint64_t>(w) * static_cast<uint64_t>(n) * static_cast<uint64_t>(bpc) + 7) / 8;
    return stride * static_cast<uint64_t>(h) >= min_bytes;
}

// The filter chain and its parameters, as they decide what the stored bytes
// decode to.
uint32_t FilterDigest(fz_context* ctx, pdf_obj* ref)
{
    uLong crc = crc32(0, nullptr, 0);
    pdf_obj* parts[] = {pdf_dict_geta(ctx, ref, PDF_NAME(Filter), PDF_NAME(F)),
                        pdf_dict_geta(ctx, ref, PDF_NAME(DecodeParms), PDF_NAME(DP))};
    for (pdf_obj* part : parts) {
        char fixed[512];
        size_t len = 0;
        char* text = pdf_sprint_obj(ctx, fixed, sizeof fixed, &len, part, 1, 1);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(text), static_cast<uInt>(len));
        crc = crc32(crc, reinterpret_cast<const Bytef*>("|"), 1);
        if (text != fixed)
            fz_free(ctx, text);
    }
    return static_cast<uint32_t>(crc);
}

// A stand-in for the soft mask (`soft`) or stencil /Mask `ref` of a w x h
// image, when it has that size and reads by rows; null otherwise. It is not
// stored: it lives as the image stand-in's mask. May throw.
fz_image* NewMaskStandIn(fz_context* ctx, pdf_obj* ref, bool soft, int w, int h)
{
    if (!pdf_is_indirect(ctx, ref) || pdf_dict_get(ctx, ref, PDF_NAME(SMask)) ||
        pdf_dict_get(ctx, ref, PDF_NAME(Mask)) || pdf_dict_get(ctx, ref, PDF_NAME(Matte)))
        return nullptr;
    if (pdf_to_int(ctx, pdf_dict_geta(ctx, ref, PDF_NAME(Width), PDF_NAME(W))) != w ||
        pdf_to_int(ctx, pdf_dict_geta(ctx, ref, PDF_NAME(Height), PDF_NAME(H))) != h)
        return nullptr;
    const bool imagemask = pdf_to_bool(ctx, pdf_dict_geta(ctx, ref, PDF_NAME(ImageMask), PDF_NAME(IM)));
    if (imagemask == soft)
        return nullptr;
    pdf_obj* csobj = pdf_dict_geta(ctx, ref, PDF_NAME(ColorSpace), PDF_NAME(CS));
    if (soft && csobj != nullptr && !pdf_name_eq(ctx, csobj, PDF_NAME(DeviceGray)) && !pdf_name_eq(ctx, csobj, PDF_NAME(G)))
        return nullptr;
    const int bpc = imagemask ? 1 : pdf_to_int(ctx, pdf_dict_geta(ctx, ref, PDF_NAME(BitsPerComponent), PDF_NAME(BPC)));
    pdf_obj* decode = pdf_dict_geta(ctx, ref, PDF_NAME(Decode), PDF_NAME(D));
    fz_colorspace* gray = soft ? fz_device_gray(ctx) : nullptr;
    if (!RowsCandidate(ctx, ref, gray, imagemask, decode, w, h, 1, bpc, 0))
        return nullptr;
    float decode_values[2];
    const bool use_decode = decode != nullptr;
    if (use_decode) {
        decode_values[0] = pdf_array_get_real(ctx, decode, 0);
        decode_values[1] = pdf_array_get_real(ctx, decode, 1);
    }
    StandIn info;
    info.copy = StoredCopy::Rows;
    info.num = pdf_to_num(ctx, ref);
    info.gen = pdf_to_gen(ctx, ref);
    info.filters = FilterDigest(ctx, ref);
    fz_image* mask = fz_new_image_of_size(ctx, w, h, bpc, gray, 96, 96, 0, imagemask,
                                          use_decode ? decode_values : nullptr, nullptr, nullptr,
                                          sizeof(StandInImage), StandInPixmap, StandInSize, DropStandIn);
    reinterpret_cast<StandInImage*>(mask)->info = info;
    return mask;
}

}  // namespace

bool RowsLayoutSupported(enum fz_colorspace_type type, int n, int bpc, bool imagemask, bool masked, bool plain_decode)
{
    if (bpc != 1 && bpc != 2 && bpc != 4 && bpc != 8 && bpc != 16)
        return false;
    if (imagemask)
        return bpc == 1 && n == 1 && plain_decode && !masked;
    if (masked)
        return (bpc == 8 || bpc == 16) && plain_decode &&
               ((type == FZ_COLORSPACE_GRAY && n == 1) || (type == FZ_COLORSPACE_RGB && n == 3));
    switch (type) {
    case FZ_COLORSPACE_GRAY: return n == 1 && plain_decode;
    case FZ_COLORSPACE_RGB: return n == 3 && plain_decode;
    case FZ_COLORSPACE_INDEXED: return n == 1 && bpc <= 8 && plain_decode;
    case FZ_COLORSPACE_CMYK:
    case FZ_COLORSPACE_SEPARATION: return (bpc == 8 || bpc == 16) && n >= 1 && n <= FZ_MAX_COLORS;
    default: return false;
    }
}

namespace {

// Reads the stored stream of `info` block by block into `f(data, size)`,
// which returns false to stop. False on a read error, a stop request or when
// `f` stops.
template <typename F>
bool ForEachStoredBlock(fz_context* ctx, pdf_document* doc, const StandIn& info, F&& f)
{
    fz_stream* stm = nullptr;
    pdf_obj* ref = nullptr;
    bool ok = MuTry(ctx, [&] {
        ref = pdf_new_indirect(ctx, doc, info.num, info.gen);
        stm = pdf_open_raw_stream(ctx, ref);
    });
    const ObjHandle ref_held(ctx, ref);
    const StreamHandle stm_held(ctx, stm);
    std::vector<uint8_t> block(kBlock);
    while (ok) {
        if (CancelRequested()) {
            ok = false;
            break;
        }
        size_t n = 0;
        unsigned char* dst = block.data();
        if (!MuTry(ctx, [&] { n = fz_read(ctx, stm, dst, kBlock); })) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        ok = f(block.data(), n);
    }
    return ok;
}

}  // namespace

bool IsStandIn(const fz_image* img) { return img != nullptr && img->get_pixmap == StandInPixmap; }

StandIn StandInOf(const fz_image* img)
{
    return IsStandIn(img) ? reinterpret_cast<const StandInImage*>(img)->info : StandIn();
}

bool FlateRowsArePngRows(int predictor, int columns, int colors, int parm_bpc, enum fz_colorspace_type type, int w,
                         int n, int bpc)
{
    if (predictor < 10 || predictor > 15 || columns != w || colors != n || parm_bpc != bpc)
        return false;
    const bool gray = type == FZ_COLORSPACE_GRAY && (bpc == 1 || bpc == 2 || bpc == 4 || bpc == 8 || bpc == 16);
    const bool rgb = type == FZ_COLORSPACE_RGB && (bpc == 8 || bpc == 16);
    const bool indexed = type == FZ_COLORSPACE_INDEXED && (bpc == 1 || bpc == 2 || bpc == 4 || bpc == 8);
    return gray || rgb || indexed;
}

bool StoreStandIn(fz_context* ctx, pdf_document* doc, pdf_obj* ref, size_t min_bytes, StandIn& info)
{
    if (doc == nullptr || ref == nullptr || !pdf_is_indirect(ctx, ref))
        return false;
    // An object already in the store (drawn from two resource dictionaries,
    // or loaded by MuPDF before) keeps what is there: storing again under the
    // same key would leave the existing item with a reference nobody drops.
    fz_image* existing = nullptr;
    MuTry(ctx, [&] { existing = static_cast<fz_image*>(pdf_find_item(ctx, fz_drop_image_imp, ref)); });
    if (existing != nullptr) {
        const bool standin = IsStandIn(existing);
        if (standin)
            info = StandInOf(existing);
        fz_drop_image(ctx, existing);
        return standin;
    }
    // A JPEG 2000 image that is copied, decoded by windows, or too large to
    // decode at all must never reach MuPDF, which decodes it whole, outside
    // the budget and the stop, as soon as it loads it (jpx_decode.h). Its
    // dictionary and header decide here; the bytes are checked when they
    // are copied.
    bool is_jpx = false;
    MuTry(ctx, [&] {
        is_jpx = pdf_is_stream(ctx, ref) &&
                 pdf_name_eq(ctx, pdf_dict_get(ctx, ref, PDF_NAME(Subtype)), PDF_NAME(Image)) &&
                 pdf_is_jpx_image(ctx, ref);
    });
    const JpxPlan plan = is_jpx ? PlanJpx(ctx, ref) : JpxPlan();
    if (is_jpx && MuPdfMayDecode(plan))
        return false;
    const JpxPlan mask_plan = is_jpx ? JpxPlan() : JpxMaskPlan(ctx, ref);
    const bool mask_refused = mask_plan.jpx && !JpxWholeFits(mask_plan);
    fz_colorspace* cs = nullptr;
    fz_image* standin = nullptr;
    fz_image* mask = nullptr;
    StandIn found;
    bool ok = MuTry(ctx, [&] {
        if (!pdf_is_stream(ctx, ref) || !pdf_name_eq(ctx, pdf_dict_get(ctx, ref, PDF_NAME(Subtype)), PDF_NAME(Image)))
            return;
        if (is_jpx || mask_refused) {
            int w = pdf_dict_get_int(ctx, ref, PDF_NAME(Width));
            int h = pdf_dict_get_int(ctx, ref, PDF_NAME(Height));
            int bpc = pdf_dict_get_int(ctx, ref, PDF_NAME(BitsPerComponent));
            if (w <= 0 || h <= 0 || w > (1 << 20) || h > (1 << 20)) {
                // The header's size, as MuPDF would take it, kept within reason.
                w = static_cast<int>(std::min<uint32_t>(plan.header.width, 1 << 20));
                h = static_cast<int>(std::min<uint32_t>(plan.header.height, 1 << 20));
                if (w <= 0 || h <= 0)
                    return;
            }
            if (bpc <= 0 || bpc > 16)
                bpc = 8;
            // An image without a colour space would be drawn as a stencil:
            // the stand-in gets the device space of the file's usual content.
            pdf_obj* csobj = pdf_dict_get(ctx, ref, PDF_NAME(ColorSpace));
            cs = csobj != nullptr ? pdf_load_colorspace(ctx, csobj) : fz_keep_colorspace(ctx, fz_device_rgb(ctx));
            found.copy = is_jpx ? StoredCopy::Jpx : StoredCopy::Refused;
            found.params.type = is_jpx ? FZ_IMAGE_JPX : FZ_IMAGE_UNKNOWN;
            found.num = pdf_to_num(ctx, ref);
            found.gen = pdf_to_gen(ctx, ref);
            standin = fz_new_image_of_size(ctx, w, h, bpc, cs, 96, 96, 0, 0, nullptr, nullptr, nullptr,
                                           sizeof(StandInImage), StandInPixmap, StandInSize, DropStandIn);
            return;
        }
        // A colour key, or a mask that is not a stream of samples, is MuPDF's
        // to apply: those images keep its way.
        pdf_obj* smask = pdf_dict_get(ctx, ref, PDF_NAME(SMask));
        pdf_obj* stencil = pdf_dict_get(ctx, ref, PDF_NAME(Mask));
        if ((smask != nullptr && stencil != nullptr) || pdf_dict_get(ctx, ref, PDF_NAME(SMaskInData)) ||
            (stencil != nullptr && !pdf_is_stream(ctx, stencil)) || (smask != nullptr && !pdf_is_stream(ctx, smask)))
            return;
        pdf_obj* mask_ref = smask != nullptr ? smask : stencil;
        const bool imagemask = pdf_to_bool(ctx, pdf_dict_geta(ctx, ref, PDF_NAME(ImageMask), PDF_NAME(IM)));
        pdf_obj* decode = pdf_dict_geta(ctx, ref, PDF_NAME(Decode), PDF_NAME(D));
        const int64_t length = pdf_to_int64(ctx, pdf_dict_get(ctx, ref, PDF_NAME(Length)));
        const int w = pdf_to_int(ctx, pdf_dict_geta(ctx, ref, PDF_NAME(Width), PDF_NAME(W)));
        const int h = pdf_to_int(ctx, pdf_dict_geta(ctx, ref, PDF_NAME(Height), PDF_NAME(H)));
        int bpc = pdf_to_int(ctx, pdf_dict_geta(ctx, ref, PDF_NAME(BitsPerComponent), PDF_NAME(BPC)));
        if (w <= 0 || h <= 0 || w > (1 << 20) || h > (1 << 20) || length < 0)
            return;
        pdf_obj* csobj = pdf_dict_geta(ctx, ref, PDF_NAME(ColorSpace), PDF_NAME(CS));
        if (imagemask) {
            bpc = 1;
        } else {
            if (csobj == nullptr)
                return;
            cs = pdf_load_colorspace(ctx, csobj);
        }
        const enum fz_colorspace_type type = cs != nullptr ? fz_colorspace_type(ctx, cs) : FZ_COLORSPACE_NONE;
        const int n = cs != nullptr ? fz_colorspace_n(ctx, cs) : 1;
        pdf_obj* parms = nullptr;
        pdf_obj* filter = SingleFilter(ctx, ref, &parms);
        const bool stored_large = static_cast<uint64_t>(length) >= min_bytes && mask_ref == nullptr;
        if (filter != nullptr && stored_large && !imagemask && decode == nullptr &&
            (pdf_name_eq(ctx, filter, PDF_NAME(DCTDecode)) || pdf_name_eq(ctx, filter, PDF_NAME(DCT)))) {
            if (bpc == 0)
                bpc = 8;
            const int color_transform = ParmInt(ctx, parms, PDF_NAME(ColorTransform), -1);
            if (bpc != 8 || color_transform != -1)
                return;
            if (type != FZ_COLORSPACE_CMYK && type != FZ_COLORSPACE_GRAY && type != FZ_COLORSPACE_RGB)
                return;
            found.copy = StoredCopy::Jpeg;
            found.params.type = FZ_IMAGE_JPEG;
            found.params.u.jpeg.color_transform = color_transform;
        } else if (filter != nullptr && stored_large && !imagemask && decode == nullptr &&
                   (pdf_name_eq(ctx, filter, PDF_NAME(FlateDecode)) || pdf_name_eq(ctx, filter, PDF_NAME(Fl))) &&
                   StoredPngRowsCandidate(ctx, parms, type, w, n, bpc)) {
            found.copy = StoredCopy::PngRows;
            found.params.type = FZ_IMAGE_FLATE;
            found.params.u.flate.columns = w;
            found.params.u.flate.colors = n;
            found.params.u.flate.predictor = ParmInt(ctx, parms, PDF_NAME(Predictor), 1);
            found.params.u.flate.bpc = bpc;
        } else if (RowsCandidate(ctx, ref, cs, imagemask, decode, w, h, n, bpc, min_bytes)) {
            found.copy = StoredCopy::Rows;
            found.filters = FilterDigest(ctx, ref);
            // Samples with alpha: 8 or 16-bit gray or RGB, and a mask of
            // the same size that reads by rows too.
            if (mask_ref != nullptr) {
                if (!RowsLayoutSupported(type, n, bpc, imagemask, true, true))
                    return;
                mask = NewMaskStandIn(ctx, mask_ref, smask != nullptr, w, h);
                if (mask == nullptr)
                    return;
            }
        } else {
            return;
        }
        float decode_values[FZ_MAX_COLORS * 2];
        const bool use_decode = decode != nullptr && pdf_array_len(ctx, decode) >= 2 * n;
        for (int i = 0; use_decode && i < 2 * n; ++i)
            decode_values[i] = pdf_array_get_real(ctx, decode, i);
        found.num = pdf_to_num(ctx, ref);
        found.gen = pdf_to_gen(ctx, ref);
        standin = fz_new_image_of_size(ctx, w, h, bpc, cs, 96, 96, 0, imagemask, use_decode ? decode_values : nullptr,
                                       nullptr, mask, sizeof(StandInImage), StandInPixmap, StandInSize, DropStandIn);
    });
    fz_drop_image(ctx, mask);
    if (ok && standin != nullptr) {
        reinterpret_cast<StandInImage*>(standin)->info = found;
        ok = MuTry(ctx, [&] { pdf_store_item(ctx, ref, standin, sizeof(StandInImage)); });
    }
    fz_drop_image(ctx, standin);
    fz_drop_colorspace(ctx, cs);
    if (!ok || standin == nullptr)
        return false;
    info = found;
    return true;
}

BlockSource StoredBlocks(fz_context* ctx, pdf_document* doc, const StandIn& info)
{
    struct Reader {
        StreamHandle stream;
        std::vector<uint8_t> block;
        bool opened = false;
    };
    auto reader = std::make_shared<Reader>();
    return [ctx, doc, info, reader](const uint8_t*& data, size_t& size) {
        size = 0;
        if (CancelRequested())
            return false;
        if (!reader->opened) {
            reader->opened = true;
            fz_stream* stm = nullptr;
            pdf_obj* ref = nullptr;
            const bool ok = MuTry(ctx, [&] {
                ref = pdf_new_indirect(ctx, doc, info.num, info.gen);
                stm = pdf_open_raw_stream(ctx, ref);
            });
            pdf_drop_obj(ctx, ref);
            reader->stream.reset(ctx, stm);
            if (!ok)
                return false;
            reader->block.resize(kBlock);
        }
        if (!reader->stream)
            return false;
        unsigned char* dst = reader->block.data();
        size_t n = 0;
        if (!MuTry(ctx, [&] { n = fz_read(ctx, reader->stream.get(), dst, kBlock); }))
            return false;
        data = reader->block.data();
        size = n;
        return true;
    };
}

bool DigestStoredStream(fz_context* ctx, pdf_document* doc, const StandIn& info, StreamDigest& digest)
{
    digest = StreamDigest();
    uint32_t crc = kCrc32Start;
    uint32_t adler = kAdler32Start;
    bool ok = ForEachStoredBlock(ctx, doc, info, [&](const uint8_t* data, size_t size) {
        crc = Crc32(crc, data, size);
        adler = Adler32(adler, data, size);
        if (digest.size + size <= kSmallDataBytes)
            digest.small.insert(digest.small.end(), data, data + size);
        digest.size += size;
        return true;
    });
    if (digest.size > kSmallDataBytes)
        digest.small.clear();
    digest.crc = static_cast<uint32_t>(crc);
    digest.adler = static_cast<uint32_t>(adler);
    return ok;
}

bool StoredStreamHoldsPngRows(fz_context* ctx, pdf_document* doc, const StandIn& info, const PngFormat& format,
                              PixelHash* pixels)
{
    PngRowsCheck check(format, pixels);
    const bool fed = ForEachStoredBlock(ctx, doc, info, [&](const uint8_t* data, size_t size) {
        return check.Feed(data, size);
    });
    return fed && check.Finish();
}

bool CopyStoredStream(fz_context* ctx, pdf_document* doc, const StandIn& info, const PngFormat* png,
                      const ByteSink& sink)
{
    std::vector<uint8_t> bytes;
    if (png != nullptr) {
        PngHeaderBytes(*png, bytes);
        if (!sink(bytes.data(), bytes.size()))
            return false;
        bytes.reserve(kBlock + 12);
    }
    const bool ok = ForEachStoredBlock(ctx, doc, info, [&](const uint8_t* data, size_t size) {
        if (png == nullptr)
            return sink(data, size);
        bytes.clear();
        PngChunkBytes("IDAT", data, size, bytes);
        return sink(bytes.data(), bytes.size());
    });
    if (!ok || png == nullptr)
        return ok;
    bytes.clear();
    PngChunkBytes("IEND", nullptr, 0, bytes);
    return sink(bytes.data(), bytes.size());
}

fz_stream* OpenStoredSamples(fz_context* ctx, pdf_document* doc, const StandIn& info)
{
    fz_stream* stm = nullptr;
    pdf_obj* ref = nullptr;
    MuTry(ctx, [&] {
        ref = pdf_new_indirect(ctx, doc, info.num, info.gen);
        stm = pdf_open_stream(ctx, ref);
    });
    pdf_drop_obj(ctx, ref);
    return stm;
}

}  // namespace kestran::pdf
