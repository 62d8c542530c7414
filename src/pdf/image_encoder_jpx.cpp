// The encoder's JPEG 2000 ways: copying the stored file, decoding it with
// openjpeg where MuPDF cannot or should not (palettes, refused headers, large
// images by windows), each inside the image's budget.
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

bool ImageEncoder::TryRawJpx(const DrawnImage& drawn, EncodedImage& out, bool force)
{
    return drawn.object_num > 0 && CopyJpxObject(drawn.object_num, 0, force, out);
}

bool ImageEncoder::CopyJpxObject(int num, int gen, bool force, EncodedImage& out)
{
    if (doc_ == nullptr || !plan_.copy_jpx)
        return false;
    pdf_obj* ref = nullptr;
    bool is_jpx = false;
    MuTry(ctx_, [&] {
        ref = pdf_new_indirect(ctx_, doc_, num, gen);
        is_jpx = pdf_is_jpx_image(ctx_, ref);
    });
    const ObjHandle ref_held(ctx_, ref);
    const JpxLook look = is_jpx ? JpxLookOf(ctx_, ref) : JpxLook();
    fz_buffer* raw = nullptr;
    // Only the stored bytes are read: never the decoded image.
    if (look.stored_as_is && (look.faithful || force))
        MuTry(ctx_, [&] { raw = pdf_load_raw_stream(ctx_, ref); });
    BufferHandle held(ctx_, raw);
    if (!held)
        return false;
    unsigned char* data = nullptr;
    const size_t size = fz_buffer_storage(ctx_, held.get(), &data);
    std::unique_ptr<UncountedMemory> memory;
    if (!JpxFits(ReadJpxHeader(data, size), size, JpxWay::Check, memory))
        return false;
    std::string extension;
    if (!Accept(JpxCopyVerdict(look, data, size, force, extension, &damage_)))
        return false;
    out.extension = extension;
    out.action = ImageAction::Copied;
    out.body = std::move(held);
    return true;
}

bool ImageEncoder::TryJpxIndexed(const DrawnImage& drawn, EncodedImage& out)
{
    // MuPDF expands the palette when it loads the image, so the decoded
    // image shows the base colour space: the object tells.
    fz_image* img = drawn.image.get();
    if (drawn.object_num <= 0 || img->mask != nullptr || img->use_colorkey || doc_ == nullptr)
        return false;
    pdf_obj* ref = nullptr;
    fz_colorspace* cs = nullptr;
    MuTry(ctx_, [&] {
        ref = pdf_new_indirect(ctx_, doc_, drawn.object_num, 0);
        pdf_obj* csobj = pdf_dict_get(ctx_, ref, PDF_NAME(ColorSpace));
        if (pdf_is_jpx_image(ctx_, ref) && pdf_is_array(ctx_, csobj) &&
            (pdf_name_eq(ctx_, pdf_array_get(ctx_, csobj, 0), PDF_NAME(Indexed)) ||
             pdf_name_eq(ctx_, pdf_array_get(ctx_, csobj, 0), PDF_NAME(I))) &&
            IndexDecodeUnchanged(ctx_, pdf_dict_get(ctx_, ref, PDF_NAME(Decode))))
            cs = pdf_load_colorspace(ctx_, csobj);
    });
    const ObjHandle ref_held(ctx_, ref);
    const ColorspaceHandle held(ctx_, cs);
    if (cs == nullptr || SpaceType(ctx_, cs) != FZ_COLORSPACE_INDEXED)
        return false;
    return TryJpxOwnDecode(drawn.object_num, 0, cs, out, false);
}

bool ImageEncoder::TryJpxOwnDecode(int num, int gen, fz_colorspace* indexed, EncodedImage& out, bool any)
{
    JpxSamples decoded;
    std::vector<uint8_t> palette;
    std::unique_ptr<UncountedMemory> memory;
    if (!DecodeJpxOwn(num, gen, indexed, any, decoded, palette, memory))
        return false;
    PngFormat format;
    format.width = static_cast<uint32_t>(decoded.width);
    format.height = static_cast<uint32_t>(decoded.height);
    if (!palette.empty()) {
        format.color = PngColor::Palette;
        format.palette = std::move(palette);
        return Finish(format, decoded.samples.data(), size_t(decoded.width), out);
    }
    if (decoded.components == 4) {
        TiffFormat tiff;
        tiff.width = format.width;
        tiff.height = format.height;
        const size_t stride = size_t(decoded.width) * 4;
        PixelHash unused;
        const bool encoded = WriteCmyk(tiff, [&](uint32_t y, uint32_t count, uint8_t* rows) {
            std::memcpy(rows, decoded.samples.data() + stride * y, stride * count);
            return true;
        }, out, unused);
        if (plan_.to_srgb && encoded)
            *out.pixels = unused;  // a TIFF made here never had its hash kept
        return encoded;
    }
    if (decoded.components != 1 && decoded.components != 3)
        return false;
    format.color = decoded.components == 1 ? PngColor::Gray : PngColor::Rgb;
    return Finish(format, decoded.samples.data(), size_t(decoded.width) * decoded.components, out);
}

bool ImageEncoder::DecodeJpxOwn(int num, int gen, fz_colorspace* indexed, bool any, JpxSamples& decoded,
                                std::vector<uint8_t>& palette, std::unique_ptr<UncountedMemory>& memory)
{
    if (doc_ == nullptr || num <= 0)
        return false;
    pdf_obj* ref = nullptr;
    fz_buffer* raw = nullptr;
    MuTry(ctx_, [&] {
        ref = pdf_new_indirect(ctx_, doc_, num, gen);
        if (pdf_is_jpx_image(ctx_, ref) && JpxLookOf(ctx_, ref).stored_as_is &&
            pdf_dict_get_int(ctx_, ref, PDF_NAME(SMaskInData)) == 0)
            raw = pdf_load_raw_stream(ctx_, ref);
    });
    const ObjHandle ref_held(ctx_, ref);
    const BufferHandle held(ctx_, raw);
    if (!held)
        return false;
    unsigned char* data = nullptr;
    const size_t size = fz_buffer_storage(ctx_, held.get(), &data);
    const JpxHeader header = ReadJpxHeader(data, size);
    // The PDF's palette overrides the file's colours (MuPDF decodes such a
    // file without applying its own palette: its samples are the indices).
    std::vector<uint8_t> pdf_palette;
    if (indexed != nullptr &&
        (header.components != 1 || header.palette || !BuildPalette(ctx_, indexed, 8, pdf_palette)))
        return false;
    const bool palette_file = !pdf_palette.empty() ||
                              (header.palette && header.components == 1 &&
                               (header.palette_columns == 1 || header.palette_columns == 3));
    if (!palette_file && (!any || header.palette))
        return false;
    // Only colours the header names and the file holds as they are: sYCC,
    // Lab and the rarer spaces need a conversion openjpeg leaves to its
    // caller, and extra components may be alpha.
    const int n = header.components;
    const uint32_t icc = header.icc_space;
    const bool named = (n == 1 && (header.enumerated == 17 || icc == 0x47524159u)) ||  // 'GRAY'
                       (n == 3 && (header.enumerated == 16 || icc == 0x52474220u)) ||  // 'RGB '
                       (n == 4 && (header.enumerated == 12 || icc == 0x434D594Bu));    // 'CMYK'
    if (!palette_file && !named)
        return false;
    if (!JpxFits(header, size, JpxWay::Whole, memory))
        return false;
    std::string why;
    if (!DecodeJpxCodestream(data, size, header, decoded, &why)) {
        if (any)
            damage_ = why;
        return false;
    }
    if (!palette_file)
        return true;
    if (!pdf_palette.empty()) {
        palette = std::move(pdf_palette);
    } else {
        const size_t entries = header.palette_entries.size() / header.palette_columns;
        for (size_t e = 0; e < entries; ++e)
            for (int c = 0; c < 3; ++c)
                palette.push_back(
                    header.palette_entries[e * header.palette_columns + (header.palette_columns == 3 ? c : 0)]);
    }
    const size_t entries = palette.size() / 3;
    if (entries == 0 || entries > 256 || decoded.components != 1)
        return false;
    // An index past the palette shows as its last entry, not as a PNG error.
    for (uint8_t& index : decoded.samples)
        index = static_cast<uint8_t>(std::min<size_t>(index, entries - 1));
    return true;
}

bool ImageEncoder::JpxFits(const JpxHeader& header, size_t stored, JpxWay way, std::unique_ptr<UncountedMemory>& held)
{
    held = TakeJpxMemory(JpxDecodeCost(header, stored, way), jpx_budget_, jpx_refusal_);
    return held != nullptr;
}

bool ImageEncoder::TryJpxWindows(const DrawnImage& drawn, const JpxPlan& plan, EncodedImage& out, bool streaming)
{
    // A window reaches far into the rows around it (jpx_decode.cpp): near
    // the image's own height one window of all its rows costs less.
    std::unique_ptr<UncountedMemory> memory;
    auto fits = [&](const JpxHeader& header, size_t stored, uint32_t& window_rows) {
        window_rows = 0;
        if (JpxFits(header, stored, JpxWay::Windows, memory))
            return true;
        if (JpxTiled(header) || !JpxFits(header, stored, JpxWay::Whole, memory))
            return false;
        jpx_refusal_.clear();
        window_rows = header.height;
        return true;
    };
    uint32_t window_rows = 0;
    if (!fits(plan.header, plan.stored, window_rows))
        return false;
    fz_context* ctx = ctx_;
    pdf_obj* ref = nullptr;
    fz_buffer* loaded = nullptr;
    MuTry(ctx_, [&] {
        ref = pdf_new_indirect(ctx_, doc_, drawn.standin.num, drawn.standin.gen);
        loaded = pdf_load_stream(ctx_, ref);
    });
    const ObjHandle ref_held(ctx_, ref);
    if (loaded == nullptr)
        return false;
    // The data and the memory stay with the rows, which a streamed file
    // reads while it is written.
    const std::shared_ptr<fz_buffer> data(loaded, [ctx](fz_buffer* b) { fz_drop_buffer(ctx, b); });
    unsigned char* bytes = nullptr;
    const size_t size = fz_buffer_storage(ctx_, loaded, &bytes);
    const JpxHeader header = ReadJpxHeader(bytes, size);
    // The cost again from what is really there, in case the stream is not
    // what its dictionary said.
    if (header.width != plan.header.width || header.height != plan.header.height || size > plan.stored) {
        memory.reset();
        if (!fits(header, size, window_rows))
            return false;
    }
    auto rows = std::make_shared<JpxRows>(bytes, size, header, window_rows);
    std::string why;
    if (!rows->Open(&why))
        return false;
    if (rows->components() == 4) {
        // Printing inks, as MuPDF's decode goes on to TryCmykTiff.
        TiffFormat format;
        format.width = rows->width();
        format.height = rows->height();
        format.icc_profile = drawn.colours.icc;
        PixelHash pixels;
        const bool encoded = WriteCmyk(format, [&](uint32_t, uint32_t count, uint8_t* dst) {
            return rows->Read(count, dst);
        }, out, pixels);
        if (encoded)
            *out.pixels = pixels;
        return encoded;
    }
    PngFormat format;
    format.width = rows->width();
    format.height = rows->height();
    format.bit_depth = 8;
    format.color = rows->components() == 1 ? PngColor::Gray : PngColor::Rgb;
    format.icc_profile = PngProfileOf(ctx_, drawn);
    const std::shared_ptr<UncountedMemory> kept(std::move(memory));
    const OutputType type = plan_.type;
    auto write = [rows, data, kept, format, type, level = png_level_, pixels = out.pixels](const ByteSink& sink) {
        PixelHash hash;
        RowsEncoder encoder(type, format, level, sink, &hash);
        const size_t stride = PngRowBytes(format);
        const uint32_t block_rows = static_cast<uint32_t>(std::max<size_t>(1, (size_t(1) << 16) / stride));
        std::vector<uint8_t> block(stride * block_rows);
        for (uint32_t y = 0; y < format.height;) {
            const uint32_t count = std::min(block_rows, format.height - y);
            if (!rows->Read(count, block.data()) || !encoder.AddRows(block.data(), stride, count))
                return false;
            y += count;
        }
        if (!encoder.Finish())
            return false;
        *pixels = hash;
        return true;
    };
    out.extension = RowsExtension(type, format);
    if (streaming) {
        out.stream = write;
        return true;
    }
    return write([&out](const uint8_t* d, size_t n) {
        out.bytes.insert(out.bytes.end(), d, d + n);
        return true;
    });
}

std::optional<EncodeStatus> ImageEncoder::EncodeJpxStandIn(const DrawnImage& drawn, EncodedImage& out,
                                                           std::string& why, bool streaming,
                                                           std::unique_ptr<UncountedMemory>& whole)
{
    const StandIn& info = drawn.standin;
    pdf_obj* ref = nullptr;
    MuTry(ctx_, [&] { ref = pdf_new_indirect(ctx_, doc_, info.num, info.gen); });
    const ObjHandle ref_held(ctx_, ref);
    const JpxPlan plan = PlanJpx(ctx_, ref, jpx_budget_);
    auto refused = [&]() -> std::optional<EncodeStatus> {
        if (CancelRequested())
            return EncodeStatus::Cancelled;
        if (jpx_refusal_.empty())
            return std::nullopt;
        why = jpx_refusal_;
        out = EncodedImage();
        return EncodeStatus::Skipped;
    };
    if (plan.look.faithful) {
        // A JPEG 2000 copy is held in memory, never streamed.
        if (TryStoredCopy(drawn, out))
            return EncodeStatus::Ok;
        if (auto status = refused())
            return status;
        if (!undecodable_ && TryJpxOwnDecode(info.num, info.gen, nullptr, out, false))
            return EncodeStatus::Ok;
        if (auto status = refused())
            return status;
        if (undecodable_) {
            why = "cannot decode image (" + damage_ + ")";
            return EncodeStatus::Skipped;
        }
        out = EncodedImage();
    }
    if (plan.windowed && !damaged_) {
        if (TryJpxWindows(drawn, plan, out, streaming))
            return EncodeStatus::Ok;
        if (auto status = refused())
            return status;
        out = EncodedImage();  // damaged, or a layout the header hid: MuPDF's way
    }
    if (plan.header.box_order_refused) {
        // MuPDF cannot read this header (MuPdfMayDecode): the codestream is
        // all there is to decode.
        const EncodeStatus status = EncodeJpxRefusedHeader(drawn, plan.header, out, why, streaming);
        if (status == EncodeStatus::Ok)
            return status;
        if (auto refusal = refused())
            return refusal;
        if (why.empty())
            why = damage_.empty() ? "cannot decode image" : "cannot decode image (" + damage_ + ")";
        out = EncodedImage();
        return status;
    }
    whole = TakeJpxMemory(plan.Cost(JpxWay::Whole), plan.budget, jpx_refusal_);
    if (whole == nullptr)
        return refused();
    return std::nullopt;
}

EncodeStatus ImageEncoder::EncodeJpxRefusedHeader(const DrawnImage& drawn, const JpxHeader& header, EncodedImage& out,
                                                  std::string& why, bool streaming)
{
    const StandIn& info = drawn.standin;
    pdf_obj* ref = nullptr;
    pdf_obj* smask = nullptr;
    pdf_obj* decode = nullptr;
    bool other_mask = false;
    MuTry(ctx_, [&] {
        ref = pdf_new_indirect(ctx_, doc_, info.num, info.gen);
        smask = pdf_dict_get(ctx_, ref, PDF_NAME(SMask));
        decode = pdf_dict_get(ctx_, ref, PDF_NAME(Decode));
        other_mask = pdf_dict_get(ctx_, ref, PDF_NAME(Mask)) != nullptr;
        if (!pdf_is_stream(ctx_, smask))
            smask = nullptr;
        // [0 1] for every colour changes nothing.
        const int n = header.palette ? 3 : header.components;
        bool unchanged = pdf_array_len(ctx_, decode) == 2 * n;
        for (int i = 0; unchanged && i < 2 * n; ++i)
            unchanged = pdf_array_get_real(ctx_, decode, i) == float(i % 2);
        if (unchanged)
            decode = nullptr;
    });
    const ObjHandle ref_held(ctx_, ref);
    // Without anything MuPDF would add, the samples are the file; a stencil
    // or colour-key /Mask is MuPDF's to apply, which it cannot here.
    if ((smask == nullptr && decode == nullptr) || other_mask)
        return TryJpxOwnDecode(info.num, info.gen, nullptr, out, true) ? EncodeStatus::Ok : EncodeStatus::Skipped;
    JpxSamples decoded;
    std::vector<uint8_t> palette;
    std::unique_ptr<UncountedMemory> memory;
    if (!DecodeJpxOwn(info.num, info.gen, nullptr, true, decoded, palette, memory))
        return EncodeStatus::Skipped;
    const int n = palette.empty() ? decoded.components : 3;
    if (n != 1 && n != 3 && n != 4)
        return EncodeStatus::Skipped;
    // MuPDF decodes a JPEG 2000 soft mask whole when it loads it.
    const JpxPlan mask_plan = JpxMaskPlan(ctx_, ref);
    std::unique_ptr<UncountedMemory> mask_memory;
    if (mask_plan.jpx &&
        (mask_memory = TakeJpxMemory(mask_plan.Cost(JpxWay::Whole), mask_plan.budget, jpx_refusal_)) == nullptr)
        return EncodeStatus::Skipped;
    fz_colorspace* cs = n == 1 ? fz_device_gray(ctx_) : n == 3 ? fz_device_rgb(ctx_) : fz_device_cmyk(ctx_);
    fz_pixmap* pix = nullptr;
    fz_image* mask = nullptr;
    fz_image* image = nullptr;
    const bool made = MuTry(ctx_, [&] {
        pix = fz_new_pixmap(ctx_, cs, decoded.width, decoded.height, nullptr, 0);
        for (int y = 0; y < decoded.height; ++y) {
            uint8_t* row = pix->samples + size_t(y) * pix->stride;
            const uint8_t* in = decoded.samples.data() + size_t(y) * decoded.width * decoded.components;
            if (palette.empty())
                std::memcpy(row, in, size_t(decoded.width) * n);
            else
                for (int x = 0; x < decoded.width; ++x)
                    std::memcpy(row + 3 * x, palette.data() + 3 * size_t(in[x]), 3);
        }
        // MuPDF applies a /Decode to the colours a palette file gives.
        if (pdf_array_len(ctx_, decode) == 2 * n) {
            float ranges[FZ_MAX_COLORS * 2];
            for (int i = 0; i < 2 * n; ++i)
                ranges[i] = pdf_array_get_real(ctx_, decode, i);
            fz_decode_tile(ctx_, pix, ranges);
        }
        if (smask != nullptr)
            mask = pdf_load_image(ctx_, doc_, smask);
        image = fz_new_image_from_pixmap(ctx_, pix, mask);
    });
    const PixmapHandle pix_held(ctx_, pix);
    const ImageHandle mask_held(ctx_, mask);
    ImageHandle image_held(ctx_, image);
    if (!made || image == nullptr)
        return EncodeStatus::Skipped;
    DrawnImage real;
    real.image = std::move(image_held);
    real.stencil = drawn.stencil;
    std::memcpy(real.paint, drawn.paint, 3);
    real.colours = drawn.colours;
    return Encode(real, out, why, streaming);
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
    const ObjHandle ref_held(ctx_, ref);
    return ignored;
}

}  // namespace kestran::pdf
