#include "pdf/image_record.h"

#include "pdf/mu_try.h"

namespace kestran::pdf {
namespace {

// Guards against a colour space that names itself (an Indexed base chain).
constexpr int kMaxColourSpaceDepth = 8;

std::string NameOf(fz_context* ctx, pdf_obj* obj)
{
    const char* name = pdf_to_name(ctx, obj);
    return name != nullptr ? name : "";
}

std::string ColourSpaceNameAt(fz_context* ctx, pdf_obj* cs, int depth)
{
    if (depth > kMaxColourSpaceDepth || cs == nullptr)
        return std::string();
    if (pdf_is_name(ctx, cs))
        return NameOf(ctx, cs);
    if (!pdf_is_array(ctx, cs))
        return std::string();
    const std::string family = NameOf(ctx, pdf_array_get(ctx, cs, 0));
    if (family == "ICCBased") {
        const int n = pdf_dict_get_int(ctx, pdf_array_get(ctx, cs, 1), PDF_NAME(N));
        const char* kind = n == 1 ? "Gray" : n == 3 ? "RGB" : n == 4 ? "CMYK" : nullptr;
        return family + "(" + (kind != nullptr ? std::string(kind) : std::to_string(n)) + ")";
    }
    if (family == "Indexed" || family == "I")
        return "Indexed(" + ColourSpaceNameAt(ctx, pdf_array_get(ctx, cs, 1), depth + 1) + ")";
    if (family == "Separation")
        return family + "(" + NameOf(ctx, pdf_array_get(ctx, cs, 1)) + ")";
    if (family == "DeviceN")
        return family + "(" + std::to_string(pdf_array_len(ctx, pdf_array_get(ctx, cs, 1))) + ")";
    return family;  // CalRGB, CalGray, Lab, Pattern
}

// MuPDF's name of a loaded colour space, for an inline image.
std::string LoadedColourSpaceName(fz_context* ctx, fz_colorspace* cs, int depth = 0)
{
    if (cs == nullptr || depth > kMaxColourSpaceDepth)
        return std::string();
    if (fz_colorspace_is_indexed(ctx, cs))
        return "Indexed(" + LoadedColourSpaceName(ctx, cs->u.indexed.base, depth + 1) + ")";
    const char* name = fz_colorspace_name(ctx, cs);
    return name != nullptr ? name : "";
}

const char* FilterName(int type)
{
    switch (type) {
    case FZ_IMAGE_FAX: return "CCITTFaxDecode";
    case FZ_IMAGE_FLATE: return "FlateDecode";
    case FZ_IMAGE_LZW: return "LZWDecode";
    case FZ_IMAGE_RLD: return "RunLengthDecode";
    case FZ_IMAGE_JBIG2: return "JBIG2Decode";
    case FZ_IMAGE_JPEG: return "DCTDecode";
    case FZ_IMAGE_JPX: return "JPXDecode";
    default: return "";
    }
}

}  // namespace

std::string ColourSpaceName(fz_context* ctx, pdf_obj* colour_space)
{
    std::string name;
    MuTry(ctx, [&] { name = ColourSpaceNameAt(ctx, colour_space, 0); });
    return name;
}

void DescribeImage(fz_context* ctx, pdf_document* doc, const DrawnImage& drawn, ImageRecord& record)
{
    fz_image* img = drawn.image.get();
    record.object_num = drawn.xobject;
    record.placement = drawn.placement;
    if (img == nullptr)
        return;
    record.width = img->w;
    record.height = img->h;
    record.bits = img->bpc;
    bool from_object = false;
    if (drawn.xobject > 0) {
        ObjHandle ref;
        pdf_obj* dict = nullptr;
        MuTry(ctx, [&] {
            ref.reset(ctx, pdf_new_indirect(ctx, doc, drawn.xobject, 0));
            dict = pdf_resolve_indirect(ctx, ref.get());
        });
        if (pdf_is_dict(ctx, dict)) {
            from_object = true;
            pdf_obj* cs = nullptr;
            pdf_obj* filter = nullptr;
            bool mask = false;
            MuTry(ctx, [&] {
                mask = pdf_dict_get_bool(ctx, dict, PDF_NAME(ImageMask));
                cs = pdf_dict_get(ctx, dict, PDF_NAME(ColorSpace));
                filter = pdf_dict_get(ctx, dict, PDF_NAME(Filter));
            });
            record.colour_space = mask ? std::string("ImageMask") : ColourSpaceName(ctx, cs);
            MuTry(ctx, [&] {
                if (pdf_is_name(ctx, filter)) {
                    record.filters = NameOf(ctx, filter);
                    return;
                }
                for (int i = 0, n = pdf_array_len(ctx, filter); i < n; ++i)
                    record.filters += (i > 0 ? " " : "") + NameOf(ctx, pdf_array_get(ctx, filter, i));
            });
        }
    }
    if (!from_object) {
        record.colour_space = img->imagemask ? "ImageMask" : LoadedColourSpaceName(ctx, img->colorspace);
        fz_compressed_buffer* buffer = fz_compressed_image_buffer(ctx, img);
        if (buffer != nullptr)
            record.filters = FilterName(buffer->params.type);
    }
    // A JPEG 2000 image may leave its colours to the file.
    if (record.colour_space.empty() && !img->imagemask)
        record.colour_space = LoadedColourSpaceName(ctx, img->colorspace);
}

}  // namespace kestran::pdf
