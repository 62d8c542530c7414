#include "pdf/large_image.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "pdf/cancel_flag.h"
#include "pdf/image_encoder.h"
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
    fz_drop_stream(ctx, stm);
    pdf_drop_obj(ctx, ref);
    return ok;
}

}  // namespace

bool IsStandIn(const fz_image* img) { return img != nullptr && img->get_pixmap == StandInPixmap; }

StandIn StandInOf(const fz_image* img)
{
    return IsStandIn(img) ? reinterpret_cast<const StandInImage*>(img)->info : StandIn();
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
    fz_colorspace* cs = nullptr;
    fz_image* standin = nullptr;
    StandIn found;
    bool ok = MuTry(ctx, [&] {
        if (!pdf_is_stream(ctx, ref) || !pdf_name_eq(ctx, pdf_dict_get(ctx, ref, PDF_NAME(Subtype)), PDF_NAME(Image)))
            return;
        if (pdf_is_jpx_image(ctx, ref)) {
            // Only the dictionary decides here; the bytes are checked when they are copied.
            if (!JpxLookOf(ctx, ref).faithful)
                return;
            const int w = pdf_dict_get_int(ctx, ref, PDF_NAME(Width));
            const int h = pdf_dict_get_int(ctx, ref, PDF_NAME(Height));
            int bpc = pdf_dict_get_int(ctx, ref, PDF_NAME(BitsPerComponent));
            if (w <= 0 || h <= 0 || w > (1 << 20) || h > (1 << 20))
                return;
            if (bpc <= 0 || bpc > 16)
                bpc = 8;
            // An image without a colour space would be drawn as a stencil:
            // the stand-in gets the device space of the file's usual content.
            pdf_obj* csobj = pdf_dict_get(ctx, ref, PDF_NAME(ColorSpace));
            cs = csobj != nullptr ? pdf_load_colorspace(ctx, csobj) : fz_keep_colorspace(ctx, fz_device_rgb(ctx));
            found.copy = StoredCopy::Jpx;
            found.params.type = FZ_IMAGE_JPX;
            found.num = pdf_to_num(ctx, ref);
            found.gen = pdf_to_gen(ctx, ref);
            standin = fz_new_image_of_size(ctx, w, h, bpc, cs, 96, 96, 0, 0, nullptr, nullptr, nullptr,
                                           sizeof(StandInImage), StandInPixmap, StandInSize, DropStandIn);
            return;
        }
        // Anything that changes how the stored data looks keeps MuPDF's way.
        if (pdf_dict_geta(ctx, ref, PDF_NAME(ImageMask), PDF_NAME(IM)) || pdf_dict_get(ctx, ref, PDF_NAME(SMask)) ||
            pdf_dict_get(ctx, ref, PDF_NAME(Mask)) || pdf_dict_geta(ctx, ref, PDF_NAME(Decode), PDF_NAME(D)) ||
            pdf_dict_get(ctx, ref, PDF_NAME(SMaskInData)))
            return;
        const int64_t length = pdf_to_int64(ctx, pdf_dict_get(ctx, ref, PDF_NAME(Length)));
        if (length < 0 || static_cast<uint64_t>(length) < min_bytes)
            return;
        const int w = pdf_to_int(ctx, pdf_dict_geta(ctx, ref, PDF_NAME(Width), PDF_NAME(W)));
        const int h = pdf_to_int(ctx, pdf_dict_geta(ctx, ref, PDF_NAME(Height), PDF_NAME(H)));
        int bpc = pdf_to_int(ctx, pdf_dict_geta(ctx, ref, PDF_NAME(BitsPerComponent), PDF_NAME(BPC)));
        if (w <= 0 || h <= 0 || w > (1 << 20) || h > (1 << 20))
            return;
        pdf_obj* parms = nullptr;
        pdf_obj* filter = SingleFilter(ctx, ref, &parms);
        pdf_obj* csobj = pdf_dict_geta(ctx, ref, PDF_NAME(ColorSpace), PDF_NAME(CS));
        if (filter == nullptr || csobj == nullptr)
            return;
        cs = pdf_load_colorspace(ctx, csobj);
        const enum fz_colorspace_type type = fz_colorspace_type(ctx, cs);
        const int n = fz_colorspace_n(ctx, cs);
        if (pdf_name_eq(ctx, filter, PDF_NAME(DCTDecode)) || pdf_name_eq(ctx, filter, PDF_NAME(DCT))) {
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
        } else if (pdf_name_eq(ctx, filter, PDF_NAME(FlateDecode)) || pdf_name_eq(ctx, filter, PDF_NAME(Fl))) {
            const int predictor = ParmInt(ctx, parms, PDF_NAME(Predictor), 1);
            const int columns = ParmInt(ctx, parms, PDF_NAME(Columns), 1);
            const int colors = ParmInt(ctx, parms, PDF_NAME(Colors), 1);
            const int pbpc = ParmInt(ctx, parms, PDF_NAME(BitsPerComponent), 8);
            if (predictor < 10 || predictor > 15 || columns != w || colors != n || pbpc != bpc)
                return;
            const bool gray = type == FZ_COLORSPACE_GRAY && (bpc == 1 || bpc == 2 || bpc == 4 || bpc == 8 || bpc == 16);
            const bool rgb = type == FZ_COLORSPACE_RGB && (bpc == 8 || bpc == 16);
            const bool indexed = type == FZ_COLORSPACE_INDEXED && (bpc == 1 || bpc == 2 || bpc == 4 || bpc == 8);
            if (!gray && !rgb && !indexed)
                return;
            found.copy = StoredCopy::PngRows;
            found.params.type = FZ_IMAGE_FLATE;
            found.params.u.flate.columns = columns;
            found.params.u.flate.colors = colors;
            found.params.u.flate.predictor = predictor;
            found.params.u.flate.bpc = pbpc;
        } else {
            return;
        }
        found.num = pdf_to_num(ctx, ref);
        found.gen = pdf_to_gen(ctx, ref);
        standin = fz_new_image_of_size(ctx, w, h, bpc, cs, 96, 96, 0, 0, nullptr, nullptr, nullptr,
                                       sizeof(StandInImage), StandInPixmap, StandInSize, DropStandIn);
    });
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
    uLong crc = crc32(0, nullptr, 0);
    uLong adler = adler32(0, nullptr, 0);
    bool ok = ForEachStoredBlock(ctx, doc, info, [&](const uint8_t* data, size_t size) {
        crc = crc32(crc, data, static_cast<uInt>(size));
        adler = adler32(adler, data, static_cast<uInt>(size));
        if (digest.size + size <= 4096)
            digest.small.insert(digest.small.end(), data, data + size);
        digest.size += size;
        return true;
    });
    if (digest.size > 4096)
        digest.small.clear();
    digest.crc = static_cast<uint32_t>(crc);
    digest.adler = static_cast<uint32_t>(adler);
    return ok;
}

bool StoredStreamHoldsPngRows(fz_context* ctx, pdf_document* doc, const StandIn& info, const PngFormat& format)
{
    PngRowsCheck check(format);
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

}  // namespace kestran::pdf
