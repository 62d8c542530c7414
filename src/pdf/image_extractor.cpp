#include "pdf/image_extractor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <zlib.h>

#ifdef KESTRAN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "pdf/cancel_flag.h"
#include "pdf/image_encoder.h"
#include "pdf/mu_try.h"
#include "pdf/output_file.h"
#include "pdf/page_selection.h"
#include "pdf/pdf_open.h"

namespace kestran::pdf {
namespace {

// After this many pages in a row that fail to load, the rest of a file's page
// tree is taken as missing (a damaged file may claim millions of pages).
constexpr int kMaxFailedPagesInARow = 64;
// After this many pages in a row that repeat a page already extracted, the
// rest of the page tree is taken as more of the same.
constexpr int kMaxRepeatedPagesInARow = 10000;

// ---------------------------------------------------------------------------
// Collecting what a page draws.
//
// The page runs through MuPDF's own interpreter and run processor into a
// device that only records images, so every way a PDF can draw an image is
// followed by the code MuPDF renders with: Form XObjects at any depth
// (cycle-safe), tiling patterns, soft-mask groups, Type 3 glyphs, annotation
// and widget appearances, stencil masks with their paint colour. A processor
// acting on image operators alone was measured as well: on a 288-page text
// book it took 86 ms against 221 ms for the plain device run, and the same on
// image-heavy files (report: 11 against 9-15 ms, scans: 40 against 44 ms).
// The difference is all text (fonts loaded, glyphs laid out), so the run
// processor is used with its text and shading operators switched off (see
// RunForImages), which keeps the coverage and the speed.

class PageCollector;

struct CollectDevice {
    fz_device base;
    PageCollector* owner;
};

class PageCollector {
public:
    PageCollector(fz_context* ctx, pdf_document* doc, size_t standin_bytes)
        : ctx_(ctx), doc_(doc), standin_bytes_(standin_bytes)
    {
    }
    ~PageCollector()
    {
        for (JpxCandidate& candidate : jpx_candidates_)
            pdf_drop_obj(ctx_, candidate.ref);
    }
    PageCollector(const PageCollector&) = delete;
    PageCollector& operator=(const PageCollector&) = delete;

    // Walks the resources the page can reach (its own, those of forms,
    // patterns, soft-mask groups, Type 3 fonts and annotation appearances):
    //  - notes every image object, so that it can leave MuPDF's store after
    //    the page;
    //  - lists the JPEG 2000 images: MuPDF decodes them when it loads them
    //    and keeps no compressed copy, so their original bytes can only be
    //    found through the object (see JpxObjectOf);
    //  - with `repair`, sets aside the broken image XObjects the page names
    //    (see SetAsideIfBroken) and returns their descriptions.
    std::vector<std::string> ScanResources(pdf_page* page, bool repair = false)
    {
        repair_ = repair;
        set_aside_.clear();
        visited_.clear();
        pdf_obj* res = nullptr;
        MuTry(ctx_, [&] { res = pdf_page_resources(ctx_, page); });
        WalkResources(res, 0);
        pdf_annot* annot = nullptr;
        MuTry(ctx_, [&] { annot = pdf_first_annot(ctx_, page); });
        for (int guard = 0; annot != nullptr && guard < 10000; ++guard) {
            pdf_obj* ap = nullptr;
            MuTry(ctx_, [&] { ap = pdf_dict_get(ctx_, pdf_dict_get(ctx_, pdf_annot_obj(ctx_, annot), PDF_NAME(AP)), PDF_NAME(N)); });
            WalkAppearance(ap);
            pdf_annot* next = nullptr;
            MuTry(ctx_, [&] { next = pdf_next_annot(ctx_, annot); });
            annot = next;
        }
        pdf_annot* widget = nullptr;
        MuTry(ctx_, [&] { widget = pdf_first_widget(ctx_, page); });
        for (int guard = 0; widget != nullptr && guard < 10000; ++guard) {
            pdf_obj* ap = nullptr;
            MuTry(ctx_, [&] { ap = pdf_dict_get(ctx_, pdf_dict_get(ctx_, pdf_annot_obj(ctx_, widget), PDF_NAME(AP)), PDF_NAME(N)); });
            WalkAppearance(ap);
            pdf_annot* next = nullptr;
            MuTry(ctx_, [&] { next = pdf_next_widget(ctx_, widget); });
            widget = next;
        }
        repair_ = false;
        return set_aside_;
    }

    void Add(fz_image* img, bool stencil, const uint8_t paint[3])
    {
        if (img == nullptr || !on_page_.insert(img).second)
            return;
        DrawnImage drawn;
        drawn.image.reset(ctx_, fz_keep_image(ctx_, img));
        drawn.stencil = stencil;
        if (paint != nullptr)
            std::memcpy(drawn.paint, paint, 3);
        drawn.standin = StandInOf(img);
        drawn.object_num = drawn.standin.copy == StoredCopy::None ? JpxObjectOf(img) : 0;
        drawn_.push_back(std::move(drawn));
    }

    void ClipImage(fz_image* img)
    {
        if (img != nullptr)
            clip_images_.emplace_back(ctx_, fz_keep_image(ctx_, img));
    }

    void UseMask(fz_image* mask)
    {
        if (mask != nullptr)
            used_masks_.insert(mask);
    }

    bool SeenTile(int id) { return id != 0 && !tiles_.insert(id).second; }

    // The images in paint order; a stencil used as a clip (filled with a
    // pattern or shading) that was not the mask of a drawn image comes last.
    std::vector<DrawnImage> TakeImages()
    {
        static const uint8_t kBlack[3] = {0, 0, 0};
        for (ImageHandle& clip : clip_images_)
            if (used_masks_.count(clip.get()) == 0)
                Add(clip.get(), true, kBlack);
        std::vector<DrawnImage> result = std::move(drawn_);
        drawn_.clear();
        return result;
    }

private:
    void WalkAppearance(pdf_obj* ap)
    {
        if (ap == nullptr)
            return;
        if (pdf_is_stream(ctx_, ap)) {
            WalkForm(ap, 0);
            return;
        }
        int n = 0;
        MuTry(ctx_, [&] { n = pdf_is_dict(ctx_, ap) ? pdf_dict_len(ctx_, ap) : 0; });
        for (int i = 0; i < n && i < 64; ++i) {
            pdf_obj* state = nullptr;
            MuTry(ctx_, [&] { state = pdf_dict_get_val(ctx_, ap, i); });
            if (state != nullptr && pdf_is_stream(ctx_, state))
                WalkForm(state, 0);
        }
    }

    void WalkForm(pdf_obj* form, int depth)
    {
        pdf_obj* res = nullptr;
        MuTry(ctx_, [&] { res = pdf_dict_get(ctx_, form, PDF_NAME(Resources)); });
        WalkResources(res, depth + 1);
    }

    bool FirstVisit(pdf_obj* obj) { return obj != nullptr && visited_.insert(obj).second; }

    void WalkResources(pdf_obj* res, int depth)
    {
        if (res == nullptr || depth > 32 || !FirstVisit(res))
            return;
        pdf_obj* xobjects = nullptr;
        pdf_obj* patterns = nullptr;
        pdf_obj* states = nullptr;
        pdf_obj* fonts = nullptr;
        MuTry(ctx_, [&] {
            xobjects = pdf_dict_get(ctx_, res, PDF_NAME(XObject));
            patterns = pdf_dict_get(ctx_, res, PDF_NAME(Pattern));
            states = pdf_dict_get(ctx_, res, PDF_NAME(ExtGState));
            fonts = pdf_dict_get(ctx_, res, PDF_NAME(Font));
        });
        ForEachEntry(xobjects, [&](pdf_obj* key, pdf_obj* x) {
            if (repair_ && SetAsideIfBroken(xobjects, key, x))
                return;
            if (!FirstVisit(x))
                return;
            bool is_image = false, is_form = false, is_jpx = false;
            MuTry(ctx_, [&] {
                pdf_obj* subtype = pdf_dict_get(ctx_, x, PDF_NAME(Subtype));
                is_image = pdf_name_eq(ctx_, subtype, PDF_NAME(Image));
                is_form = pdf_name_eq(ctx_, subtype, PDF_NAME(Form));
                is_jpx = is_image && pdf_is_jpx_image(ctx_, x);
            });
            if (is_image) {
                NoteImage(x);
                // A large image copied as it is stored leaves its data in the
                // file while the page runs (see large_image.h).
                StandIn info;
                if (!repair_ && !is_jpx)
                    StoreStandIn(ctx_, doc_, x, standin_bytes_, info);
            }
            if (is_jpx)
                MapJpx(x);
            else if (is_form)
                WalkForm(x, depth);
        });
        ForEachValue(patterns, [&](pdf_obj* p) {
            if (FirstVisit(p))
                WalkForm(p, depth);
        });
        ForEachValue(states, [&](pdf_obj* gs) {
            pdf_obj* group = nullptr;
            MuTry(ctx_, [&] {
                pdf_obj* smask = pdf_dict_get(ctx_, gs, PDF_NAME(SMask));
                if (pdf_is_dict(ctx_, smask))
                    group = pdf_dict_get(ctx_, smask, PDF_NAME(G));
            });
            if (group != nullptr && FirstVisit(group))
                WalkForm(group, depth);
        });
        ForEachValue(fonts, [&](pdf_obj* font) {
            bool type3 = false;
            MuTry(ctx_, [&] { type3 = pdf_name_eq(ctx_, pdf_dict_get(ctx_, font, PDF_NAME(Subtype)), PDF_NAME(Type3)); });
            if (type3 && FirstVisit(font))
                WalkForm(font, depth);
        });
    }

    template <typename F>
    void ForEachEntry(pdf_obj* dict, F&& f)
    {
        int n = 0;
        MuTry(ctx_, [&] { n = pdf_is_dict(ctx_, dict) ? pdf_dict_len(ctx_, dict) : 0; });
        for (int i = 0; i < n && i < 100000; ++i) {
            pdf_obj* key = nullptr;
            pdf_obj* value = nullptr;
            MuTry(ctx_, [&] {
                key = pdf_dict_get_key(ctx_, dict, i);
                value = pdf_dict_get_val(ctx_, dict, i);
            });
            if (key != nullptr)
                f(key, value);
        }
    }

    // MuPDF abandons the rest of a page when an image it is told to draw
    // cannot be loaded. A broken image XObject (or a name for a missing
    // object) is therefore replaced, in the document in memory only, by an
    // XObject of a kind MuPDF skips with a warning; the file is not touched.
    bool SetAsideIfBroken(pdf_obj* xobjects, pdf_obj* key, pdf_obj* x)
    {
        bool broken = false;
        std::string error = "missing object";
        MuTry(ctx_, [&] {
            if (!pdf_is_dict(ctx_, x)) {
                broken = true;
                return;
            }
            if (!pdf_name_eq(ctx_, pdf_dict_get(ctx_, x, PDF_NAME(Subtype)), PDF_NAME(Image)))
                return;
            fz_image* img = nullptr;
            fz_var(img);
            fz_try(ctx_) { img = pdf_load_image(ctx_, doc_, x); }
            fz_always(ctx_) { fz_drop_image(ctx_, img); }
            fz_catch(ctx_) { broken = true; }
        });
        if (!broken)
            return false;
        if (pdf_is_dict(ctx_, x))
            error = "cannot load image";
        pdf_obj* placeholder = nullptr;
        bool replaced = MuTry(ctx_, [&] {
            placeholder = pdf_new_dict(ctx_, doc_, 1);
            pdf_dict_put_name(ctx_, placeholder, PDF_NAME(Subtype), "Skipped");
            pdf_dict_put(ctx_, xobjects, key, placeholder);
        });
        pdf_drop_obj(ctx_, placeholder);
        if (replaced)
            set_aside_.push_back(std::string(pdf_to_name(ctx_, key)) + ": " + error);
        return replaced;
    }

    template <typename F>
    void ForEachValue(pdf_obj* dict, F&& f)
    {
        int n = 0;
        MuTry(ctx_, [&] { n = pdf_is_dict(ctx_, dict) ? pdf_dict_len(ctx_, dict) : 0; });
        for (int i = 0; i < n && i < 100000; ++i) {
            pdf_obj* value = nullptr;
            MuTry(ctx_, [&] { value = pdf_dict_get_val(ctx_, dict, i); });
            if (value != nullptr)
                f(value);
        }
    }

    void NoteImage(pdf_obj* ref)
    {
        if (pdf_is_indirect(ctx_, ref))
            image_objects_.emplace_back(pdf_to_num(ctx_, ref), pdf_to_gen(ctx_, ref));
    }

    void MapJpx(pdf_obj* ref)
    {
        if (!pdf_is_indirect(ctx_, ref))
            return;
        JpxCandidate candidate;
        MuTry(ctx_, [&] {
            candidate.w = pdf_dict_get_int(ctx_, ref, PDF_NAME(Width));
            candidate.h = pdf_dict_get_int(ctx_, ref, PDF_NAME(Height));
            candidate.num = pdf_to_num(ctx_, ref);
            candidate.ref = pdf_keep_obj(ctx_, ref);
        });
        if (candidate.ref != nullptr)
            jpx_candidates_.push_back(candidate);
    }

    // The object of a drawn JPEG 2000 image. The image MuPDF hands to the
    // device is the one it keeps in its store under the object, so the store
    // tells which candidate it is without decoding anything; when the store
    // could not keep it (a huge image), a candidate of the same size that is
    // the only one of that size is taken.
    int JpxObjectOf(fz_image* img)
    {
        if (jpx_candidates_.empty() || fz_compressed_image_buffer(ctx_, img) != nullptr)
            return 0;
        int same_size = 0;
        int same_size_num = 0;
        for (const JpxCandidate& candidate : jpx_candidates_) {
            if (candidate.w != img->w || candidate.h != img->h)
                continue;
            ++same_size;
            same_size_num = candidate.num;
            fz_image* stored = nullptr;
            MuTry(ctx_, [&] {
                stored = static_cast<fz_image*>(pdf_find_item(ctx_, fz_drop_image_imp, candidate.ref));
            });
            fz_drop_image(ctx_, stored);
            if (stored == img)
                return candidate.num;
        }
        return same_size == 1 ? same_size_num : 0;
    }

public:
    // Image objects the page can reach, as (number, generation).
    const std::vector<std::pair<int, int>>& ImageObjects() const { return image_objects_; }

private:
    fz_context* ctx_;
    pdf_document* doc_;
    size_t standin_bytes_;
    std::vector<std::pair<int, int>> image_objects_;
    bool repair_ = false;
    std::vector<std::string> set_aside_;
    std::vector<DrawnImage> drawn_;
    std::unordered_set<fz_image*> on_page_;       // images held by drawn_, so the pointers stay unique
    std::vector<ImageHandle> clip_images_;
    std::unordered_set<fz_image*> used_masks_;
    std::unordered_set<int> tiles_;
    std::set<pdf_obj*> visited_;
    struct JpxCandidate {
        pdf_obj* ref = nullptr;  // kept
        int num = 0;
        int w = 0;
        int h = 0;
    };
    std::vector<JpxCandidate> jpx_candidates_;
};

PageCollector* Owner(fz_device* dev) { return reinterpret_cast<CollectDevice*>(dev)->owner; }

// The callbacks run inside MuPDF: a C++ exception must not cross it, so a
// failed allocation becomes a MuPDF error after the handler has ended.
template <typename F>
void Guarded(fz_context* ctx, F&& f)
{
    bool failed = false;
    try {
        f();
    } catch (...) {
        failed = true;
    }
    if (failed)
        fz_throw(ctx, FZ_ERROR_MEMORY, "out of memory while collecting images");
}

void OnFillImage(fz_context* ctx, fz_device* dev, fz_image* img, fz_matrix, float, fz_color_params)
{
    Guarded(ctx, [&] {
        Owner(dev)->UseMask(img->mask);
        Owner(dev)->Add(img, false, nullptr);
    });
}

void OnFillImageMask(fz_context* ctx, fz_device* dev, fz_image* img, fz_matrix, fz_colorspace* cs, const float* color,
                     float, fz_color_params params)
{
    float rgb[3] = {0, 0, 0};
    if (cs != nullptr && color != nullptr)
        fz_convert_color(ctx, cs, color, fz_device_rgb(ctx), rgb, nullptr, params);
    uint8_t paint[3];
    for (int i = 0; i < 3; ++i)
        paint[i] = static_cast<uint8_t>(std::clamp(rgb[i], 0.0f, 1.0f) * 255.0f + 0.5f);
    Guarded(ctx, [&] { Owner(dev)->Add(img, true, paint); });
}

void OnClipImageMask(fz_context* ctx, fz_device* dev, fz_image* img, fz_matrix, fz_rect)
{
    Guarded(ctx, [&] { Owner(dev)->ClipImage(img); });
}

int OnBeginTile(fz_context* ctx, fz_device* dev, fz_rect, fz_rect, float, float, fz_matrix, int id)
{
    // A tile already seen on this page is reported as cached, so its content
    // is not run again for every repetition.
    int cached = 0;
    Guarded(ctx, [&] { cached = Owner(dev)->SeenTile(id) ? 1 : 0; });
    return cached;
}

void OnEndTile(fz_context*, fz_device*) {}

// ---------------------------------------------------------------------------
// Image identity across pages.
//
// One file per image: the same object drawn on many pages gives one file, and
// so do inline images and separate objects with identical content. The key is
// everything that decides what the image looks like: size, depth, colour
// space (with an Indexed palette), /Decode, colour key, the compressed bytes
// (by checksum) with their filter parameters, and the mask's own key. The stream bytes alone
// are never enough: the same JPEG under an inverting /Decode, or with another
// soft mask, draws differently.

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
        if (size <= 4096) {
            fz_md5_update(&md5, data, size);
            return;
        }
        Put(md5, Crc32(data, size));
        Put(md5, Adler32(data, size));
    }

    static uint32_t Crc32(const unsigned char* data, size_t size)
    {
#ifdef KESTRAN_HAVE_LIBDEFLATE
        return libdeflate_crc32(0, data, size);
#else
        uLong crc = crc32(0, nullptr, 0);
        for (size_t done = 0; done < size;) {
            uInt part = static_cast<uInt>(std::min<size_t>(size - done, 1u << 30));
            crc = crc32(crc, data + done, part);
            done += part;
        }
        return static_cast<uint32_t>(crc);
#endif
    }

    static uint32_t Adler32(const unsigned char* data, size_t size)
    {
#ifdef KESTRAN_HAVE_LIBDEFLATE
        return libdeflate_adler32(1, data, size);
#else
        uLong adler = adler32(0, nullptr, 0);
        for (size_t done = 0; done < size;) {
            uInt part = static_cast<uInt>(std::min<size_t>(size - done, 1u << 30));
            adler = adler32(adler, data + done, part);
            done += part;
        }
        return static_cast<uint32_t>(adler);
#endif
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
            const StandIn info = StandInOf(img);
            Put(md5, info.params.type);
            if (info.params.type == FZ_IMAGE_JPEG)
                Put(md5, info.params.u.jpeg.color_transform);
            else
                Put(md5, info.params.u.flate);
            StreamDigest digest;
            if (!DigestStoredStream(ctx_, doc_, info, digest))
                return false;
            Put(md5, digest.size);
            if (digest.size > 4096) {
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
        if (ok)
            PutBytes(md5, fz_pixmap_samples(ctx_, base),
                     static_cast<size_t>(fz_pixmap_stride(ctx_, base)) * fz_pixmap_height(ctx_, base));
        fz_drop_pixmap(ctx_, base);
        fz_drop_pixmap(ctx_, idx);
        return ok;
    }

    bool FeedPixels(fz_md5& md5, fz_image* img)
    {
        if (DecodedSize(img) > kMaxDecodedBytes)
            return false;
        fz_pixmap* pix = nullptr;
        bool ok = MuTry(ctx_, [&] { pix = fz_get_unscaled_pixmap_from_image(ctx_, img); });
        if (ok && pix != nullptr)
            PutBytes(md5, fz_pixmap_samples(ctx_, pix),
                     static_cast<size_t>(fz_pixmap_stride(ctx_, pix)) * fz_pixmap_height(ctx_, pix));
        fz_drop_pixmap(ctx_, pix);
        return ok;
    }

    fz_context* ctx_;
    pdf_document* doc_;
};

// ---------------------------------------------------------------------------

// Notices, while one image is decoded and written, MuPDF's (or the encoder's)
// warning that the image data ended early and the rest was filled in, so the
// log can say that the written image is incomplete.
class ShortDataWatch {
public:
    explicit ShortDataWatch(fz_context* ctx) : ctx_(ctx)
    {
        fz_flush_warnings(ctx_);  // a repeated warning is otherwise not passed on
        fz_set_warning_callback(ctx_, &ShortDataWatch::OnWarning, this);
    }
    ~ShortDataWatch()
    {
        fz_flush_warnings(ctx_);
        fz_set_warning_callback(ctx_, [](void*, const char*) {}, nullptr);
    }
    ShortDataWatch(const ShortDataWatch&) = delete;
    ShortDataWatch& operator=(const ShortDataWatch&) = delete;

    bool Seen() const { return seen_; }

private:
    static void OnWarning(void* user, const char* message)
    {
        if (std::strstr(message, kShortDataWarning) != nullptr)
            static_cast<ShortDataWatch*>(user)->seen_ = true;
    }

    fz_context* ctx_;
    bool seen_ = false;
};

class Extraction {
public:
    Extraction(fz_context* ctx, void* context, PdfProgressFn progress, ExtractStats& stats,
               const ExtractOptions& options)
        : ctx_(ctx), context_(context), progress_(progress), stats_(stats), options_(options)
    {
    }

    int Run(const std::string& source, const std::string& range, const std::string& folder)
    {
        OpenedPdf pdf;
        if (OpenPdf(ctx_, source, pdf) != OpenStatus::Ok)
            return KESTRAN_EXTRACT_CANNOT_OPEN;
        std::vector<PageRun> runs = SelectPages(range, pdf.page_count);
        const long long selected = CountPages(runs);
        if (selected == 0)
            return KESTRAN_EXTRACT_NO_PAGE;
        if (!IsWritableFolder(folder))
            return KESTRAN_EXTRACT_OUTPUT_FOLDER;

        source_ = source;
        folder_ = folder;
        stem_ = SourceStem(source);
        doc_ = pdf.doc.get();
        total_ = static_cast<int>(std::min<long long>(selected, 0x3fffffff));
        if (!Report(0))
            return KESTRAN_EXTRACT_CANCELLED;

        int index = 0;
        int failed_in_a_row = 0;
        int repeated_in_a_row = 0;
        for (const PageRun& run : runs) {
            for (int page = run.first; page <= run.last; ++page) {
                ++index;
                if (CancelRequested())
                    return KESTRAN_EXTRACT_CANCELLED;
                // A page tree may name the same page object many times (a
                // damaged or hostile file can claim a million pages that way):
                // a page met again draws nothing new.
                int page_object = 0;
                MuTry(ctx_, [&] { page_object = pdf_to_num(ctx_, pdf_lookup_page_obj(ctx_, doc_, page - 1)); });
                if (page_object > 0 && !pages_seen_.insert(page_object).second) {
                    if (++repeated_in_a_row >= kMaxRepeatedPagesInARow) {
                        std::fprintf(stderr, "%s: the page tree repeats page %d over and over, stopping\n",
                                     source_.c_str(), page);
                        return Report(2 * total_) ? KESTRAN_EXTRACT_OK : KESTRAN_EXTRACT_CANCELLED;
                    }
                    // Progress for skipped pages in steps, not a call for each of a million.
                    if ((repeated_in_a_row & 1023) == 0 && !Report(2LL * index))
                        return KESTRAN_EXTRACT_CANCELLED;
                    continue;
                }
                repeated_in_a_row = 0;
                bool loaded = true;
                int result = DoPage(page, index, loaded);
                if (result != KESTRAN_EXTRACT_OK)
                    return result;
                failed_in_a_row = loaded ? 0 : failed_in_a_row + 1;
                if (failed_in_a_row >= kMaxFailedPagesInARow) {
                    std::fprintf(stderr, "%s: pages from %d on cannot be read, stopping\n", source_.c_str(),
                                 page - kMaxFailedPagesInARow + 1);
                    return Report(2 * total_) ? KESTRAN_EXTRACT_OK : KESTRAN_EXTRACT_CANCELLED;
                }
            }
        }
        return Report(2LL * total_) ? KESTRAN_EXTRACT_OK : KESTRAN_EXTRACT_CANCELLED;
    }

private:
    // Progress: done runs from 0 to 2 x total. Each page takes two steps: the
    // first when it has been scanned, the second spread over writing its new
    // images. Every page and every image reports at least once; done never
    // goes back. False when the caller asked to abandon the file.
    bool Report(long long done)
    {
        if (CancelRequested())
            return false;
        if (progress_ == nullptr)
            return true;
        done = std::min<long long>(std::max<long long>(done, last_done_), 2LL * total_);
        last_done_ = done;
        return progress_(context_, static_cast<int>(done), total_) != -2;
    }

    int DoPage(int page, int index, bool& loaded)
    {
        const long long base = 2LL * (index - 1);
        std::vector<DrawnImage> images;
        std::vector<std::pair<int, int>> image_objects;
        loaded = CollectPage(page, images, image_objects);
        // MuPDF keeps loaded images in its store for later pages; an image seen
        // again is recognised by its key anyway, so the page's images leave the
        // store once written (fonts stay: text-heavy files would reload them
        // on every page). Memory then stays at about one page's images.
        struct StoreRelease {
            fz_context* ctx;
            pdf_document* doc;
            const std::vector<std::pair<int, int>>& objects;
            ~StoreRelease()
            {
                for (const auto& object : objects) {
                    pdf_obj* ref = nullptr;
                    MuTry(ctx, [&] {
                        ref = pdf_new_indirect(ctx, doc, object.first, object.second);
                        pdf_remove_item(ctx, fz_drop_image_imp, ref);
                    });
                    pdf_drop_obj(ctx, ref);
                }
            }
        } release{ctx_, doc_, image_objects};
        if (CancelRequested())
            return KESTRAN_EXTRACT_CANCELLED;
        if (!Report(base + 1))
            return KESTRAN_EXTRACT_CANCELLED;

        ImageEncoder encoder(ctx_, doc_, options_.png_level, options_.stream_bytes);
        KeyBuilder keys(ctx_, doc_);
        std::vector<DrawnImage*> fresh;
        for (DrawnImage& drawn : images) {
            std::string key;
            if (!keys.Build(drawn.image.get(), drawn.object_num, key)) {
                std::fprintf(stderr, "%s: page %d: image skipped: cannot read image data\n", source_.c_str(), page);
                ++stats_.images_skipped;
                continue;
            }
            if (seen_.insert(key).second)
                fresh.push_back(&drawn);
        }

        int number = 0;
        for (size_t i = 0; i < fresh.size(); ++i) {
            if (CancelRequested())
                return KESTRAN_EXTRACT_CANCELLED;
            EncodedImage encoded;
            std::string why;
            ShortDataWatch short_data(ctx_);
            EncodeStatus status = encoder.Encode(*fresh[i], encoded, why);
            OutputStatus written = OutputStatus::Ok;
            uint64_t size = 0;
            if (status == EncodeStatus::Ok) {
                if (CancelRequested())
                    return KESTRAN_EXTRACT_CANCELLED;
                written = Write(page, number + 1, encoded, size);
                if (written == OutputStatus::Abandoned) {
                    // A streamed image failed part way (damaged data): the
                    // file is gone; try once more the way that holds it whole.
                    if (CancelRequested())
                        return KESTRAN_EXTRACT_CANCELLED;
                    status = encoder.Encode(*fresh[i], encoded, why, false);
                    if (status == EncodeStatus::Ok)
                        written = Write(page, number + 1, encoded, size);
                    if (written == OutputStatus::Abandoned) {
                        status = EncodeStatus::Skipped;
                        why = "cannot decode image";
                    }
                }
            }
            fresh[i]->image.reset();  // free the image data as soon as it is written
            encoded = EncodedImage();
            if (status == EncodeStatus::Cancelled)
                return KESTRAN_EXTRACT_CANCELLED;
            if (status == EncodeStatus::Skipped) {
                std::fprintf(stderr, "%s: page %d: image skipped: %s\n", source_.c_str(), page, why.c_str());
                ++stats_.images_skipped;
            } else {
                if (written == OutputStatus::WriteFailed)
                    return KESTRAN_EXTRACT_WRITE_FAILED;
                if (written == OutputStatus::FolderUnusable)
                    return KESTRAN_EXTRACT_OUTPUT_FOLDER;
                ++number;
                if (short_data.Seen())
                    std::fprintf(stderr, "%s: page %d: image %d is incomplete: its data ends early, the rest is filled in\n",
                                 source_.c_str(), page, number);
                ++stats_.images_written;
                stats_.bytes_written += size;
            }
            if (!Report(base + 1 + static_cast<long long>(i + 1) / static_cast<long long>(fresh.size())))
                return KESTRAN_EXTRACT_CANCELLED;
        }
        if (fresh.empty() && !Report(base + 2))
            return KESTRAN_EXTRACT_CANCELLED;
        return KESTRAN_EXTRACT_OK;
    }

    // Writes one image file; `size` receives its size.
    OutputStatus Write(int page, int number, const EncodedImage& encoded, uint64_t& size)
    {
        size = 0;
        if (!encoded.stream) {
            size = encoded.Size(ctx_);
            return WriteImageFile(folder_, stem_, page, number, encoded.extension, encoded.Parts(ctx_));
        }
        return WriteImageFileStreamed(folder_, stem_, page, number, encoded.extension, [&](const ByteSink& sink) {
            return encoded.stream([&](const uint8_t* data, size_t n) {
                size += n;
                return sink(data, n);
            });
        });
    }

    // Runs page `page` (1-based) and returns what it draws. An error part way
    // keeps the images found up to that point.
    bool CollectPage(int page, std::vector<DrawnImage>& images, std::vector<std::pair<int, int>>& image_objects)
    {
        fz_page* fzpage = nullptr;
        std::string error;
        if (!MuTry(ctx_, [&] { fzpage = fz_load_page(ctx_, &doc_->super, page - 1); }, &error)) {
            if (!last_page_failed_)  // one line for a run of unreadable pages
                std::fprintf(stderr, "%s: page %d: %s\n", source_.c_str(), page, error.c_str());
            last_page_failed_ = true;
            return false;
        }
        last_page_failed_ = false;
        PageHandle holder(ctx_, fzpage);
        pdf_page* pdfpage = pdf_page_from_fz_page(ctx_, fzpage);

        // A run that fails part way is repeated once the broken images it can
        // find are set aside, so that one bad image does not hide the others.
        for (int attempt = 0;; ++attempt) {
            PageCollector collector(ctx_, doc_, options_.stream_bytes);
            collector.ScanResources(pdfpage);
            bool ok = RunPage(fzpage, collector, error);
            images = collector.TakeImages();
            image_objects = collector.ImageObjects();
            if (ok || CancelRequested())
                break;
            std::vector<std::string> set_aside;
            if (attempt < 4)
                set_aside = collector.ScanResources(pdfpage, true);
            if (set_aside.empty()) {
                std::fprintf(stderr, "%s: page %d: %s\n", source_.c_str(), page, error.c_str());
                break;
            }
            for (const std::string& what : set_aside)
                std::fprintf(stderr, "%s: page %d: image skipped: %s\n", source_.c_str(), page, what.c_str());
            stats_.images_skipped += static_cast<int>(set_aside.size());
        }
        return true;
    }

    // Runs the page contents and the appearances of its annotations and
    // widgets through MuPDF's own interpreter and drawing logic into `dev`,
    // without the work that can never lead to an image: text is neither laid
    // out nor are its fonts loaded, and shadings are not built (see the
    // measurements above PageCollector).
    void RunForImages(pdf_page* page, fz_device* dev, fz_cookie* cookie)
    {
        pdf_processor* proc = nullptr;
        fz_var(proc);
        fz_try(ctx_)
        {
            proc = pdf_new_run_processor(ctx_, dev, fz_identity, "View", nullptr, nullptr, cookie);
            proc->op_Tf = nullptr;
            proc->op_Tj = nullptr;
            proc->op_TJ = nullptr;
            proc->op_squote = nullptr;
            proc->op_dquote = nullptr;
            proc->op_sh = nullptr;
            proc->op_sc_shade = nullptr;
            proc->op_SC_shade = nullptr;
            pdf_process_contents(ctx_, proc, doc_, pdf_page_resources(ctx_, page), pdf_page_contents(ctx_, page),
                                 cookie);
            for (pdf_annot* annot = pdf_first_annot(ctx_, page); annot != nullptr; annot = pdf_next_annot(ctx_, annot))
                pdf_process_annot(ctx_, proc, annot, cookie);
            for (pdf_annot* widget = pdf_first_widget(ctx_, page); widget != nullptr;
                 widget = pdf_next_widget(ctx_, widget))
                pdf_process_annot(ctx_, proc, widget, cookie);
            pdf_close_processor(ctx_, proc);
        }
        fz_always(ctx_) { pdf_drop_processor(ctx_, proc); }
        fz_catch(ctx_) { fz_rethrow(ctx_); }
    }

    bool RunPage(fz_page* fzpage, PageCollector& collector, std::string& error)
    {
        fz_cookie cookie{};
        CookieRegistration registration(&cookie);
        CollectDevice* dev = nullptr;
        bool ok = MuTry(ctx_, [&] {
            dev = reinterpret_cast<CollectDevice*>(fz_new_device_of_size(ctx_, sizeof(CollectDevice)));
            dev->owner = &collector;
            dev->base.fill_image = OnFillImage;
            dev->base.fill_image_mask = OnFillImageMask;
            dev->base.clip_image_mask = OnClipImageMask;
            dev->base.begin_tile = OnBeginTile;
            dev->base.end_tile = OnEndTile;
            RunForImages(pdf_page_from_fz_page(ctx_, fzpage), &dev->base, &cookie);
            fz_close_device(ctx_, &dev->base);
        }, &error);
        fz_drop_device(ctx_, reinterpret_cast<fz_device*>(dev));
        return ok;
    }

    fz_context* ctx_;
    void* context_;
    PdfProgressFn progress_;
    ExtractStats& stats_;
    ExtractOptions options_;
    std::string source_;
    std::string folder_;
    std::string stem_;
    pdf_document* doc_ = nullptr;
    int total_ = 0;
    long long last_done_ = 0;
    bool last_page_failed_ = false;
    std::unordered_set<std::string> seen_;
    std::unordered_set<int> pages_seen_;
};

}  // namespace

int ExtractImagesFromFile(const char* source, const char* range, const char* output_dir, void* context,
                          PdfProgressFn progress, ExtractStats* stats, const ExtractOptions& options)
{
    if (source == nullptr || range == nullptr || output_dir == nullptr || *source == '\0' || *range == '\0' ||
        *output_dir == '\0')
        return KESTRAN_EXTRACT_BAD_ARGUMENT;
    MuContextPtr ctx = NewThreadContext();
    if (!ctx)
        return KESTRAN_EXTRACT_CANNOT_OPEN;
    if (options.private_store)
        MuTry(ctx.get(), [&] { UsePrivateStore(ctx.get(), FZ_STORE_DEFAULT); });
    ExtractStats local;
    try {
        Extraction extraction(ctx.get(), context, progress, stats != nullptr ? *stats : local, options);
        std::string folder(output_dir);
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        return extraction.Run(source, range, folder);
    } catch (const std::exception& e) {
        // Only allocation failures get here (std::bad_alloc, std::length_error).
        std::fprintf(stderr, "%s: out of memory (%s)\n", source, e.what());
        return KESTRAN_EXTRACT_OUT_OF_MEMORY;
    }
}

}  // namespace kestran::pdf
