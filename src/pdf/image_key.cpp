#include "pdf/image_key.h"

#include <algorithm>
#include <cstring>

#include "pdf/checksums.h"
#include "pdf/decoder_lock.h"
#include "pdf/image_encoder.h"
#include "pdf/large_image.h"
#include "pdf/mu_try.h"

namespace kestran::pdf {
namespace {

class KeyBuilder {
public:
    KeyBuilder(fz_context* ctx, pdf_document* doc) : ctx_(ctx), doc_(doc) {}

    bool Build(fz_image* img, int object_num, std::string& key)
    {
        fz_md5 md5;
        fz_md5_init(&md5);
        if (!Feed(md5, img, object_num, 0))
            return false;
        unsigned char digest[16];
        fz_md5_final(&md5, digest);
        key.assign(reinterpret_cast<const char*>(digest), 16);
        return true;
    }

private:
    template <typename T>
    static void Put(fz_md5& md5, const T& value)
    {
        fz_md5_update(&md5, reinterpret_cast<const unsigned char*>(&value), sizeof value);
    }

    // Image data goes in as its size and two fast checksums (CRC-32 and
    // Adler-32, vectorised in libdeflate): MD5 over megabytes of JPEG data
    // took a third of the run time of a scanned book. 64 bits of checksum on
    // top of equal size, dimensions and parameters leave accidental merges
    // out of reach; small data (palettes, names) is hashed whole.
    static void PutBytes(fz_md5& md5, const unsigned char* data, size_t size)
    {
        Put(md5, size);
        if (size == 0)
            return;
        if (size <= kSmallDataBytes) {
            fz_md5_update(&md5, data, size);
            return;
        }
        Put(md5, Crc32(kCrc32Start, data, size));
        Put(md5, Adler32(kAdler32Start, data, size));
    }

    bool Feed(fz_md5& md5, fz_image* img, int object_num, int depth)
    {
        if (img == nullptr || depth > 4)
            return depth <= 4;
        const int header[] = {img->w, img->h, img->n, img->bpc, static_cast<int>(img->imagemask),
                              static_cast<int>(img->use_colorkey), img->mask != nullptr ? 1 : 0};
        Put(md5, header);
        for (int i = 0; i < 2 * img->n && i < FZ_MAX_COLORS * 2; ++i) {
            Put(md5, img->decode[i]);
            Put(md5, img->use_colorkey ? img->colorkey[i] : 0);
        }
        if (img->colorspace != nullptr) {
            const char* name = fz_colorspace_name(ctx_, img->colorspace);
            PutBytes(md5, reinterpret_cast<const unsigned char*>(name), std::strlen(name));
            if (fz_colorspace_is_indexed(ctx_, img->colorspace) && !FeedPalette(md5, img))
                return false;
        }
        fz_compressed_buffer* cbuf = fz_compressed_image_buffer(ctx_, img);
        if (cbuf != nullptr && cbuf->buffer != nullptr) {
            const fz_compression_params& p = cbuf->params;
            Put(md5, p.type);
            switch (p.type) {
            case FZ_IMAGE_JPEG: Put(md5, p.u.jpeg.color_transform); break;
            case FZ_IMAGE_FLATE: Put(md5, p.u.flate); break;
            case FZ_IMAGE_LZW: Put(md5, p.u.lzw); break;
            case FZ_IMAGE_FAX: Put(md5, p.u.fax); break;
            case FZ_IMAGE_JBIG2: {
                Put(md5, p.u.jbig2.embedded);
                fz_buffer* globals = p.u.jbig2.globals ? fz_jbig2_globals_data(ctx_, p.u.jbig2.globals) : nullptr;
                unsigned char* g = nullptr;
                size_t gsize = globals ? fz_buffer_storage(ctx_, globals, &g) : 0;
                PutBytes(md5, g, gsize);
                break;
            }
            default: break;
            }
            unsigned char* data = nullptr;
            size_t size = fz_buffer_storage(ctx_, cbuf->buffer, &data);
            PutBytes(md5, data, size);
        } else if (IsStandIn(img)) {
            // The same as for the compressed buffer MuPDF would have loaded,
            // read from the file.
            // A stand-in decoded by rows names its filters and parameters
            // as written instead: the stored bytes mean nothing without them.
            const StandIn info = StandInOf(img);
            Put(md5, info.copy);
            Put(md5, info.params.type);
            if (info.copy == StoredCopy::Rows)
                Put(md5, info.filters);
            else if (info.params.type == FZ_IMAGE_JPEG)
                Put(md5, info.params.u.jpeg.color_transform);
            else
                Put(md5, info.params.u.flate);
            StreamDigest digest;
            if (!DigestStoredStream(ctx_, doc_, info, digest))
                return false;
            Put(md5, digest.size);
            if (digest.size > kSmallDataBytes) {
                Put(md5, digest.crc);
                Put(md5, digest.adler);
            } else if (digest.size > 0) {
                fz_md5_update(&md5, digest.small.data(), digest.small.size());
            }
        } else if (object_num > 0 && depth == 0) {
            Put(md5, 0x6f626a);  // the object itself
            Put(md5, object_num);
        } else if (!FeedPixels(md5, img)) {
            return false;
        }
        return Feed(md5, img->mask, 0, depth + 1);
    }

    bool FeedPalette(fz_md5& md5, fz_image* img)
    {
        // The lookup table decides the colours: hash it through a pixmap of all indices.
        fz_pixmap* idx = nullptr;
        fz_pixmap* base = nullptr;
        bool ok = MuTry(ctx_, [&] {
            const int entries = img->bpc >= 1 && img->bpc <= 8 ? 1 << img->bpc : 256;
            idx = fz_new_pixmap(ctx_, img->colorspace, entries, 1, nullptr, 0);
            unsigned char* s = fz_pixmap_samples(ctx_, idx);
            for (int i = 0; i < entries; ++i)
                s[i] = static_cast<unsigned char>(i);
            base = fz_convert_indexed_pixmap_to_base(ctx_, idx);
        });
        const PixmapHandle idx_held(ctx_, idx);
        const PixmapHandle base_held(ctx_, base);
        if (ok)
            PutBytes(md5, fz_pixmap_samples(ctx_, base),
                     static_cast<size_t>(fz_pixmap_stride(ctx_, base)) * fz_pixmap_height(ctx_, base));
        return ok;
    }

    bool FeedPixels(fz_md5& md5, fz_image* img)
    {
        if (DecodedSize(img) > kMaxWholeDecodeBytes)
            return false;
        fz_pixmap* pix = nullptr;
        bool ok = false;
        {
            const SharedDecoderLock shared_decoder(ctx_, img);  // workers may be decoding its kin
            ok = MuTry(ctx_, [&] { pix = fz_get_unscaled_pixmap_from_image(ctx_, img); });
        }
        const PixmapHandle pix_held(ctx_, pix);
        if (ok && pix != nullptr)
            PutBytes(md5, fz_pixmap_samples(ctx_, pix),
                     static_cast<size_t>(fz_pixmap_stride(ctx_, pix)) * fz_pixmap_height(ctx_, pix));
        return ok;
    }

    fz_context* ctx_;
    pdf_document* doc_;
};

}  // namespace

bool BuildImageKey(fz_context* ctx, pdf_document* doc, fz_image* img, int object_num, std::string& key)
{
    return KeyBuilder(ctx, doc).Build(img, object_num, key);
}

void AddColoursToKey(const ImageColours& colours, std::string& key)
{
    if (colours.icc.empty() && !colours.lab_known)
        return;
    fz_md5 md5;
    fz_md5_init(&md5);
    const uint64_t size = colours.icc.size();
    fz_md5_update(&md5, reinterpret_cast<const unsigned char*>(&size), sizeof size);
    if (!colours.icc.empty())
        fz_md5_update(&md5, colours.icc.data(), colours.icc.size());
    if (colours.lab_known) {
        const LabSpace& lab = colours.lab;
        fz_md5_update(&md5, reinterpret_cast<const unsigned char*>(lab.white), sizeof lab.white);
        fz_md5_update(&md5, reinterpret_cast<const unsigned char*>(lab.decode), sizeof lab.decode);
        fz_md5_update(&md5, reinterpret_cast<const unsigned char*>(lab.range), sizeof lab.range);
    }
    unsigned char digest[16];
    fz_md5_final(&md5, digest);
    key.append(reinterpret_cast<const char*>(digest), sizeof digest);
}

}  // namespace kestran::pdf
