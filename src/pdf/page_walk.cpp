#include "pdf/page_walk.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "pdf/cancel_flag.h"
#include "pdf/large_image.h"
#include "pdf/mu_try.h"

namespace kestran::pdf {
namespace {

// ---------------------------------------------------------------------------
// Collecting what a page draws.
//
// The page runs through MuPDF's own interpreter and run processor into a
// device that only records images, so every way a PDF can draw an image is
// followed by the code MuPDF renders with: Form XObjects at any depth
// (cycle-safe), tiling patterns, soft-mask groups, annotation and widget
// appearances, stencil masks with their paint colour. Images inside Type 3
// glyphs are left out on purpose: they are the font's glyphs, drawn as text,
// not pictures of the page (see kRunShowsText). A processor
// acting on image operators alone was measured as well: on a 288-page text
// book it took 86 ms against 221 ms for the plain device run, and the same on
// image-heavy files (report: 11 against 9-15 ms, scans: 40 against 44 ms).
// The difference is all text (fonts loaded, glyphs laid out), so the run
// processor is used with its text and shading operators switched off (see
// RunForImages), which keeps the coverage and the speed.

// The run shows no text (see RunForImages), so a Type 3 glyph never draws its
// images: the check whether a page can draw one leaves Type 3 fonts out too.
constexpr bool kRunShowsText = false;

// How the resource walk is used: to prepare a run (noting the images), to set
// broken images aside before running again, or to decide whether the page
// needs a run at all (stopping at the first sign of an image).
enum class WalkMode { Collect, Repair, Decide };

// What an ImageReach answer is about: a resource dictionary, or a form-like
// stream (its resources and its content).
enum ReachKind { kReachResources = 0, kReachForm = 1 };

class PageCollector;

// What a walk sets aside: nothing, every broken image, or broken inline
// images only (after a run that went on past errors).
enum class Repair { None, All, InlineImages };

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
    //    (see SetAsideIfBroken) and the broken inline images of its content
    //    and of every form it reaches (see SetAsideBrokenInlineImages), or
    //    only the inline images, and returns their descriptions.
    std::vector<std::string> ScanResources(pdf_page* page, Repair repair = Repair::None)
    {
        mode_ = repair != Repair::None ? WalkMode::Repair : WalkMode::Collect;
        inline_only_ = repair == Repair::InlineImages;
        set_aside_.clear();
        visited_.clear();
        pdf_obj* res = nullptr;
        MuTry(ctx_, [&] { res = pdf_page_resources(ctx_, page); });
        page_resources_ = res;
        if (repair != Repair::None) {
            pdf_obj* contents = nullptr;
            MuTry(ctx_, [&] { contents = pdf_page_contents(ctx_, page); });
            SetAsideBrokenInlineImages(page->obj, contents, res, false);
        }
        WalkResources(res, 0);
        pdf_annot* annot = nullptr;
        MuTry(ctx_, [&] { annot = pdf_first_annot(ctx_, page); });
        for (int guard = 0; annot != nullptr && guard < kMaxAnnotations; ++guard) {
            pdf_obj* ap = nullptr;
            MuTry(ctx_, [&] { ap = pdf_dict_get(ctx_, pdf_dict_get(ctx_, pdf_annot_obj(ctx_, annot), PDF_NAME(AP)), PDF_NAME(N)); });
            WalkAppearance(ap);
            pdf_annot* next = nullptr;
            MuTry(ctx_, [&] { next = pdf_next_annot(ctx_, annot); });
            annot = next;
        }
        pdf_annot* widget = nullptr;
        MuTry(ctx_, [&] { widget = pdf_first_widget(ctx_, page); });
        for (int guard = 0; widget != nullptr && guard < kMaxAnnotations; ++guard) {
            pdf_obj* ap = nullptr;
            MuTry(ctx_, [&] { ap = pdf_dict_get(ctx_, pdf_dict_get(ctx_, pdf_annot_obj(ctx_, widget), PDF_NAME(AP)), PDF_NAME(N)); });
            WalkAppearance(ap);
            pdf_annot* next = nullptr;
            MuTry(ctx_, [&] { next = pdf_next_widget(ctx_, widget); });
            widget = next;
        }
        mode_ = WalkMode::Collect;
        return set_aside_;
    }

    // The same walk from the page object alone (see PageCanDrawImages), plus
    // the content streams, which are looked through for inline images. Every
    // annotation's appearance counts, drawn or not: a page run for nothing
    // costs time, a page left out would lose images.
    bool CanDrawImages(pdf_obj* pageobj, ImageReach& reach)
    {
        mode_ = WalkMode::Decide;
        reach_ = &reach;
        can_draw_ = false;
        visited_.clear();
        pdf_obj* res = nullptr;
        pdf_obj* contents = nullptr;
        pdf_obj* annots = nullptr;
        bool is_page = false;
        Read([&] {
            is_page = pdf_is_dict(ctx_, pageobj);
            res = pdf_dict_get_inheritable(ctx_, pageobj, PDF_NAME(Resources));
            contents = pdf_dict_get(ctx_, pageobj, PDF_NAME(Contents));
            annots = pdf_dict_get(ctx_, pageobj, PDF_NAME(Annots));
        });
        // Without a resource dictionary the content can name nothing that
        // MuPDF finds; such a page is odd enough to be run rather than judged.
        if (!is_page || !pdf_is_dict(ctx_, res))
            can_draw_ = true;
        WalkResources(res, 0);
        int n = 0;
        Read([&] { n = pdf_is_array(ctx_, annots) ? pdf_array_len(ctx_, annots) : 0; });
        if ((annots != nullptr && !pdf_is_array(ctx_, annots)) || n > kMaxAnnotations)
            can_draw_ = true;
        for (int i = 0; i < n && !Done(); ++i) {
            pdf_obj* ap = nullptr;
            Read([&] { ap = pdf_dict_get(ctx_, pdf_dict_get(ctx_, pdf_array_get(ctx_, annots, i), PDF_NAME(AP)), PDF_NAME(N)); });
            WalkAppearance(ap);
        }
        if (contents != nullptr)
            ScanContent(contents);
        mode_ = WalkMode::Collect;
        return can_draw_;
    }

    void Add(fz_image* img, bool stencil, const uint8_t paint[3], const Placement& placement)
    {
        if (img == nullptr || !on_page_.insert(img).second)
            return;
        DrawnImage drawn;
        drawn.placement = placement;
        drawn.image.reset(ctx_, fz_keep_image(ctx_, img));
        drawn.stencil = stencil;
        if (paint != nullptr)
            std::memcpy(drawn.paint, paint, 3);
        drawn.standin = StandInOf(img);
        if (drawn.standin.copy == StoredCopy::None)
            drawn.object_num = JpxObjectOf(img);
        else if (drawn.standin.copy == StoredCopy::Jpx)
            drawn.object_num = drawn.standin.num;
        drawn_.push_back(std::move(drawn));
    }

    void ClipImage(fz_image* img, const Placement& placement)
    {
        if (img != nullptr) {
            clip_images_.emplace_back(ctx_, fz_keep_image(ctx_, img));
            clip_placements_.push_back(placement);
        }
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
        for (size_t i = 0; i < clip_images_.size(); ++i)
            if (used_masks_.count(clip_images_[i].get()) == 0)
                Add(clip_images_[i].get(), true, kBlack, clip_placements_[i]);
        std::vector<DrawnImage> result = std::move(drawn_);
        drawn_.clear();
        return result;
    }

private:
    static constexpr int kMaxAnnotations = 10000;
    static constexpr int kMaxStates = 64;
    static constexpr int kMaxDepth = 32;
    static constexpr int kMaxEntries = 100000;

    // A MuPDF read during the walk. What cannot be read is passed over when
    // preparing a run (the run meets the same error and reports it); when
    // deciding, it means the page must be run.
    template <typename F>
    bool Read(F&& body)
    {
        if (MuTry(ctx_, body))
            return true;
        MustRun();
        return false;
    }

    // Deciding: an image, or something the check does not follow; either
    // way the page is run.
    void MustRun()
    {
        if (mode_ == WalkMode::Decide)
            can_draw_ = true;
    }

    bool Done() const { return mode_ == WalkMode::Decide && can_draw_; }

    // Deciding: the answer for an indirect dictionary or form comes from
    // `reach_` when known, and is learnt otherwise. "No image" is learnt only
    // when the walk below did not meet an object it had already entered on
    // this page: that object's own answer may still be open (a cycle).
    template <typename F>
    void Remembered(pdf_obj* obj, ReachKind kind, F&& walk)
    {
        int num = 0;
        if (mode_ == WalkMode::Decide && pdf_is_indirect(ctx_, obj))
            num = pdf_to_num(ctx_, obj);
        if (num <= 0) {
            walk();
            return;
        }
        int known = reach_->Known(num, kind);
        if (known >= 0) {
            can_draw_ = can_draw_ || known == 1;
            return;
        }
        int revisits = revisits_;
        walk();
        if (can_draw_ || revisits_ == revisits)
            reach_->Learn(num, kind, can_draw_);
    }

    void WalkAppearance(pdf_obj* ap)
    {
        if (ap == nullptr || Done())
            return;
        if (pdf_is_stream(ctx_, ap)) {
            WalkForm(ap, 0);
            return;
        }
        int n = 0;
        Read([&] { n = pdf_is_dict(ctx_, ap) ? pdf_dict_len(ctx_, ap) : 0; });
        if (n > kMaxStates)
            MustRun();
        for (int i = 0; i < n && i < kMaxStates && !Done(); ++i) {
            pdf_obj* state = nullptr;
            Read([&] { state = pdf_dict_get_val(ctx_, ap, i); });
            if (state != nullptr && pdf_is_stream(ctx_, state))
                WalkForm(state, 0);
        }
    }

    // A form XObject, tiling pattern, soft-mask group, appearance stream or
    // Type 3 font: its resources, and when deciding, its content.
    void WalkForm(pdf_obj* form, int depth)
    {
        Remembered(form, kReachForm, [&] {
            pdf_obj* res = nullptr;
            Read([&] { res = pdf_dict_get(ctx_, form, PDF_NAME(Resources)); });
            // A form without resources uses the page's, as MuPDF runs it.
            if (mode_ == WalkMode::Repair && pdf_is_stream(ctx_, form))
                SetAsideBrokenInlineImages(form, form, res != nullptr ? res : page_resources_, true);
            WalkResources(res, depth + 1);
            if (mode_ == WalkMode::Decide && !can_draw_ && pdf_is_stream(ctx_, form))
                ScanContent(form);
        });
    }

    // Looks through a content stream (or array of them, joined the way the
    // interpreter joins them) for an inline image. Most content never holds
    // the two letters at all, which a plain search finds about four times faster
    // than the scan that knows strings and comments; only content that does
    // is read again for that scan.
    void ScanContent(pdf_obj* contents)
    {
        if (Done())
            return;
        char last = 0;
        bool letters = false;
        bool read = ReadContent(contents, [&](const unsigned char* data, size_t n) {
            letters = (last == 'B' && data[0] == 'I') || memmem(data, n, "BI", 2) != nullptr;
            last = static_cast<char>(data[n - 1]);
            return letters;
        });
        if (!read || !letters)
            return;
        InlineImageScan scan;
        read = ReadContent(contents, [&](const unsigned char* data, size_t n) { return scan.Feed(data, n); });
        if (read && scan.Finish())
            can_draw_ = true;
    }

    // Hands the content to `chunk` piece by piece until it returns true.
    // False (and the page must be run) when the content cannot be read or a
    // stop was requested.
    template <typename F>
    bool ReadContent(pdf_obj* contents, F&& chunk)
    {
        fz_stream* stm = nullptr;
        if (!Read([&] { stm = pdf_open_contents_stream(ctx_, doc_, contents); }))
            return false;
        StreamHandle holder(ctx_, stm);
        unsigned char buffer[16384];
        for (;;) {
            if (CancelRequested()) {
                MustRun();
                return false;
            }
            size_t n = 0;
            if (!Read([&] { n = fz_read(ctx_, stm, buffer, sizeof buffer); }))
                return false;
            if (n == 0 || chunk(buffer, n))
                return true;
        }
    }

    bool FirstVisit(pdf_obj* obj)
    {
        if (obj == nullptr)
            return false;
        if (visited_.insert(obj).second)
            return true;
        ++revisits_;
        return false;
    }

    void WalkResources(pdf_obj* res, int depth)
    {
        if (res == nullptr || Done())
            return;
        if (depth > kMaxDepth) {
            MustRun();
            return;
        }
        if (!FirstVisit(res))
            return;
        Remembered(res, kReachResources, [&] { WalkResourceEntries(res, depth); });
    }

    // Deciding: an image XObject, a name for something that is not an
    // XObject dictionary, or an XObject kind MuPDF does not run as a form all
    // mean the page is run.
    void DecideXObject(pdf_obj* x, int depth)
    {
        bool is_form = false;
        Read([&] {
            is_form = pdf_is_dict(ctx_, x) &&
                      pdf_name_eq(ctx_, pdf_dict_get(ctx_, x, PDF_NAME(Subtype)), PDF_NAME(Form));
        });
        if (!is_form)
            MustRun();
        else if (FirstVisit(x))
            WalkForm(x, depth);
    }

    void WalkResourceEntries(pdf_obj* res, int depth)
    {
        pdf_obj* xobjects = nullptr;
        pdf_obj* patterns = nullptr;
        pdf_obj* states = nullptr;
        pdf_obj* fonts = nullptr;
        Read([&] {
            xobjects = pdf_dict_get(ctx_, res, PDF_NAME(XObject));
            patterns = pdf_dict_get(ctx_, res, PDF_NAME(Pattern));
            states = pdf_dict_get(ctx_, res, PDF_NAME(ExtGState));
            fonts = pdf_dict_get(ctx_, res, PDF_NAME(Font));
        });
        ForEachEntry(xobjects, [&](pdf_obj* key, pdf_obj* x) {
            if (mode_ == WalkMode::Repair && SetAsideIfBroken(xobjects, key, x))
                return;
            if (mode_ == WalkMode::Decide) {
                DecideXObject(x, depth);
                return;
            }
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
                // A large image copied as it is stored, or a JPEG 2000 image
                // that may be copied, leaves its data in the file while the
                // page runs (see large_image.h).
                StandIn info;
                if (mode_ == WalkMode::Collect && StoreStandIn(ctx_, doc_, x, standin_bytes_, info))
                    HoldStandIn(x);
            }
            if (is_jpx)
                MapJpx(x);
            else if (is_form)
                WalkForm(x, depth);
        });
        // Deciding, a pattern or graphics state that is missing or broken
        // may end the run with an error the log must still show: run it.
        ForEachValue(patterns, [&](pdf_obj* p) {
            if (!pdf_is_dict(ctx_, p))
                MustRun();
            else if (FirstVisit(p))
                WalkForm(p, depth);
        });
        ForEachValue(states, [&](pdf_obj* gs) {
            pdf_obj* group = nullptr;
            bool odd = false;
            Read([&] {
                pdf_obj* smask = pdf_dict_get(ctx_, gs, PDF_NAME(SMask));
                if (pdf_is_dict(ctx_, smask)) {
                    group = pdf_dict_get(ctx_, smask, PDF_NAME(G));
                    odd = !pdf_is_stream(ctx_, group);
                }
                odd = odd || !pdf_is_dict(ctx_, gs);
            });
            if (odd)
                MustRun();
            if (group != nullptr && FirstVisit(group))
                WalkForm(group, depth);
        });
        if (mode_ == WalkMode::Decide && !kRunShowsText)
            return;
        ForEachValue(fonts, [&](pdf_obj* font) {
            bool type3 = false;
            Read([&] { type3 = pdf_name_eq(ctx_, pdf_dict_get(ctx_, font, PDF_NAME(Subtype)), PDF_NAME(Type3)); });
            if (type3 && FirstVisit(font))
                WalkForm(font, depth);
        });
    }

    template <typename F>
    void ForEachEntry(pdf_obj* dict, F&& f)
    {
        int n = 0;
        Read([&] { n = pdf_is_dict(ctx_, dict) ? pdf_dict_len(ctx_, dict) : 0; });
        if (n > kMaxEntries)
            MustRun();
        for (int i = 0; i < n && i < kMaxEntries && !Done(); ++i) {
            pdf_obj* key = nullptr;
            pdf_obj* value = nullptr;
            Read([&] {
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
        if (inline_only_)
            return false;
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

    // MuPDF abandons the rest of a content stream when an inline image in it
    // cannot be loaded. The broken inline images of the content of `owner` (a
    // page, whose content may be an array of streams, or a form) are blanked
    // out in a copy of the content, which then replaces it in the document in
    // memory only: a page gets a new content stream of its own (its old one
    // may be shared), a form its content replaced. The file is not touched.
    void SetAsideBrokenInlineImages(pdf_obj* owner, pdf_obj* contents, pdf_obj* res, bool form)
    {
        if (contents == nullptr)
            return;
        fz_stream* stm = nullptr;
        if (!MuTry(ctx_, [&] { stm = pdf_open_contents_stream(ctx_, doc_, contents); }))
            return;
        StreamHandle stream(ctx_, stm);
        fz_buffer* read = nullptr;
        if (!MuTry(ctx_, [&] { read = fz_read_all(ctx_, stm, 0); }))
            return;
        BufferHandle buffer(ctx_, read);
        unsigned char* data = nullptr;
        size_t size = fz_buffer_storage(ctx_, read, &data);
        if (size == 0 || memmem(data, size, "BI", 2) == nullptr)
            return;
        std::string content(reinterpret_cast<const char*>(data), size);
        std::vector<std::string> blanked = BlankBrokenInlineImages(ctx_, doc_, res, content);
        if (blanked.empty())
            return;
        fz_buffer* copy = nullptr;
        pdf_obj* stream_ref = nullptr;
        bool replaced = MuTry(ctx_, [&] {
            copy = fz_new_buffer_from_copied_data(ctx_, reinterpret_cast<const unsigned char*>(content.data()),
                                                  content.size());
            if (form) {
                pdf_update_stream(ctx_, doc_, owner, copy, 0);
            } else {
                stream_ref = pdf_add_stream(ctx_, doc_, copy, nullptr, 0);
                pdf_dict_put(ctx_, owner, PDF_NAME(Contents), stream_ref);
            }
        });
        fz_drop_buffer(ctx_, copy);
        pdf_drop_obj(ctx_, stream_ref);
        if (!replaced)
            return;
        const std::string where = form ? " in form " + std::to_string(pdf_to_num(ctx_, owner)) : std::string();
        for (const std::string& what : blanked) {
            const size_t colon = what.find(':');
            set_aside_.push_back(what.substr(0, colon) + where + what.substr(colon));
        }
    }

    template <typename F>
    void ForEachValue(pdf_obj* dict, F&& f)
    {
        int n = 0;
        Read([&] { n = pdf_is_dict(ctx_, dict) ? pdf_dict_len(ctx_, dict) : 0; });
        if (n > kMaxEntries)
            MustRun();
        for (int i = 0; i < n && i < kMaxEntries && !Done(); ++i) {
            pdf_obj* value = nullptr;
            Read([&] { value = pdf_dict_get_val(ctx_, dict, i); });
            if (value != nullptr)
                f(value);
        }
    }

    void NoteImage(pdf_obj* ref)
    {
        if (pdf_is_indirect(ctx_, ref))
            image_objects_.emplace_back(pdf_to_num(ctx_, ref), pdf_to_gen(ctx_, ref));
    }

    // MuPDF's store lets go of an item only while nothing else holds it: held
    // for the page, a stand-in is what the run finds, even when the store is
    // emptied to make room (a JPEG 2000 image loaded instead would be decoded).
    void HoldStandIn(pdf_obj* ref)
    {
        fz_image* stored = nullptr;
        MuTry(ctx_, [&] { stored = static_cast<fz_image*>(pdf_find_item(ctx_, fz_drop_image_imp, ref)); });
        ImageHandle held(ctx_, stored);
        if (held)
            standins_.push_back(std::move(held));
    }

    void MapJpx(pdf_obj* ref)
    {
        if (!pdf_is_indirect(ctx_, ref))
            return;
        JpxCandidate candidate;
        pdf_obj* kept = nullptr;
        MuTry(ctx_, [&] {
            candidate.w = pdf_dict_get_int(ctx_, ref, PDF_NAME(Width));
            candidate.h = pdf_dict_get_int(ctx_, ref, PDF_NAME(Height));
            candidate.num = pdf_to_num(ctx_, ref);
            kept = pdf_keep_obj(ctx_, ref);
        });
        candidate.ref.reset(ctx_, kept);
        if (candidate.ref)
            jpx_candidates_.push_back(std::move(candidate));
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
                stored = static_cast<fz_image*>(pdf_find_item(ctx_, fz_drop_image_imp, candidate.ref.get()));
            });
            fz_drop_image(ctx_, stored);
            if (stored == img)
                return candidate.num;
        }
        return same_size == 1 ? same_size_num : 0;
    }

public:
    // Where each drawn image's colours are defined (see colour_profile.h): its
    // XObject, recognised in MuPDF's store as JPEG 2000 images are, and the
    // page's colour space resources.
    void AttachColourSources(pdf_page* page, std::vector<DrawnImage>& images)
    {
        pdf_obj* spaces = nullptr;
        MuTry(ctx_, [&] { spaces = pdf_dict_get(ctx_, pdf_page_resources(ctx_, page), PDF_NAME(ColorSpace)); });
        std::unordered_map<fz_image*, std::pair<int, int>> objects;
        for (const auto& object : image_objects_) {
            pdf_obj* ref = nullptr;
            fz_image* stored = nullptr;
            MuTry(ctx_, [&] {
                ref = pdf_new_indirect(ctx_, doc_, object.first, object.second);
                stored = static_cast<fz_image*>(pdf_find_item(ctx_, fz_drop_image_imp, ref));
            });
            pdf_drop_obj(ctx_, ref);
            fz_drop_image(ctx_, stored);  // the drawn images hold theirs, so the pointer stays theirs
            if (stored != nullptr)
                objects.emplace(stored, object);
        }
        for (DrawnImage& drawn : images) {
            std::pair<int, int> object{drawn.object_num, 0};
            if (drawn.standin.copy != StoredCopy::None) {
                object = {drawn.standin.num, drawn.standin.gen};
            } else if (object.first <= 0) {
                auto found = objects.find(drawn.image.get());
                if (found != objects.end())
                    object = found->second;
            }
            pdf_obj* image = nullptr;
            if (object.first > 0)
                MuTry(ctx_, [&] { image = pdf_new_indirect(ctx_, doc_, object.first, object.second); });
            ColourSource source;
            source.image.reset(ctx_, image);
            source.defaults.reset(ctx_, spaces != nullptr ? pdf_keep_obj(ctx_, spaces) : nullptr);
            drawn.colours = ResolveColours(ctx_, source, drawn.image.get()->colorspace);
            drawn.xobject = std::max(object.first, 0);
        }
    }

    // Image objects the page can reach, as (number, generation).
    const std::vector<std::pair<int, int>>& ImageObjects() const { return image_objects_; }

private:
    fz_context* ctx_;
    pdf_document* doc_;
    size_t standin_bytes_;
    std::vector<std::pair<int, int>> image_objects_;
    WalkMode mode_ = WalkMode::Collect;
    ImageReach* reach_ = nullptr;  // deciding only
    bool can_draw_ = false;        // deciding: the page must be run
    int revisits_ = 0;             // objects met again during this walk
    std::vector<std::string> set_aside_;
    pdf_obj* page_resources_ = nullptr;  // borrowed from the page, while walking it
    bool inline_only_ = false;           // repairing: inline images only
    std::vector<DrawnImage> drawn_;
    std::unordered_set<fz_image*> on_page_;       // images held by drawn_, so the pointers stay unique
    std::vector<ImageHandle> clip_images_;
    std::vector<Placement> clip_placements_;  // one per clip image
    std::unordered_set<fz_image*> used_masks_;
    std::unordered_set<int> tiles_;
    std::set<pdf_obj*> visited_;
    struct JpxCandidate {
        ObjHandle ref;
        int num = 0;
        int w = 0;
        int h = 0;
    };
    std::vector<JpxCandidate> jpx_candidates_;
    std::vector<ImageHandle> standins_;
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

// The run starts from the identity, so the device sees the image's
// transformation in the page's default user space (points, y up).
Placement PlacementIn(fz_image* img, fz_matrix ctm)
{
    return PlacementOf(ctm.a, ctm.b, ctm.c, ctm.d, ctm.e, ctm.f, img->w, img->h);
}

void OnFillImage(fz_context* ctx, fz_device* dev, fz_image* img, fz_matrix ctm, float, fz_color_params)
{
    Guarded(ctx, [&] {
        Owner(dev)->UseMask(img->mask);
        Owner(dev)->Add(img, false, nullptr, PlacementIn(img, ctm));
    });
}

void OnFillImageMask(fz_context* ctx, fz_device* dev, fz_image* img, fz_matrix ctm, fz_colorspace* cs,
                     const float* color, float, fz_color_params params)
{
    float rgb[3] = {0, 0, 0};
    if (cs != nullptr && color != nullptr)
        fz_convert_color(ctx, cs, color, fz_device_rgb(ctx), rgb, nullptr, params);
    uint8_t paint[3];
    for (int i = 0; i < 3; ++i)
        paint[i] = static_cast<uint8_t>(std::clamp(rgb[i], 0.0f, 1.0f) * 255.0f + 0.5f);
    Guarded(ctx, [&] { Owner(dev)->Add(img, true, paint, PlacementIn(img, ctm)); });
}

void OnClipImageMask(fz_context* ctx, fz_device* dev, fz_image* img, fz_matrix ctm, fz_rect)
{
    Guarded(ctx, [&] { Owner(dev)->ClipImage(img, PlacementIn(img, ctm)); });
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

// Runs the page contents and the appearances of its annotations and widgets
// through MuPDF's own interpreter and drawing logic into `dev`, without the
// work that can never lead to an image: text is neither laid out nor are its
// fonts loaded, and shadings are not built (see the measurements above
// PageCollector).
void RunForImages(fz_context* ctx, pdf_document* doc, pdf_page* page, fz_device* dev, fz_cookie* cookie)
{
    pdf_processor* proc = nullptr;
    fz_var(proc);
    fz_try(ctx)
    {
        proc = pdf_new_run_processor(ctx, dev, fz_identity, "View", nullptr, nullptr, cookie);
        if (!kRunShowsText) {
            proc->op_Tf = nullptr;
            proc->op_Tj = nullptr;
            proc->op_TJ = nullptr;
            proc->op_squote = nullptr;
            proc->op_dquote = nullptr;
        }
        proc->op_sh = nullptr;
        proc->op_sc_shade = nullptr;
        proc->op_SC_shade = nullptr;
        pdf_process_contents(ctx, proc, doc, pdf_page_resources(ctx, page), pdf_page_contents(ctx, page), cookie);
        for (pdf_annot* annot = pdf_first_annot(ctx, page); annot != nullptr; annot = pdf_next_annot(ctx, annot))
            pdf_process_annot(ctx, proc, annot, cookie);
        for (pdf_annot* widget = pdf_first_widget(ctx, page); widget != nullptr; widget = pdf_next_widget(ctx, widget))
            pdf_process_annot(ctx, proc, widget, cookie);
        pdf_close_processor(ctx, proc);
    }
    fz_always(ctx) { pdf_drop_processor(ctx, proc); }
    fz_catch(ctx) { fz_rethrow(ctx); }
}

// Runs the page into `collector`; `errors` counts the errors MuPDF got past
// (an operator it could not carry out, and went on after).
bool RunPage(fz_context* ctx, pdf_document* doc, fz_page* fzpage, PageCollector& collector, std::string& error,
             int& errors)
{
    fz_cookie cookie{};
    CookieRegistration registration(&cookie);
    CollectDevice* dev = nullptr;
    bool ok = MuTry(ctx, [&] {
        dev = reinterpret_cast<CollectDevice*>(fz_new_device_of_size(ctx, sizeof(CollectDevice)));
        dev->owner = &collector;
        dev->base.fill_image = OnFillImage;
        dev->base.fill_image_mask = OnFillImageMask;
        dev->base.clip_image_mask = OnClipImageMask;
        dev->base.begin_tile = OnBeginTile;
        dev->base.end_tile = OnEndTile;
        RunForImages(ctx, doc, pdf_page_from_fz_page(ctx, fzpage), &dev->base, &cookie);
        fz_close_device(ctx, &dev->base);
    }, &error);
    fz_drop_device(ctx, reinterpret_cast<fz_device*>(dev));
    errors = cookie.errors;
    return ok;
}

bool IsWhite(unsigned char c)
{
    return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

bool IsDelimiter(unsigned char c)
{
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' || c == '}' || c == '/' ||
           c == '%';
}

int64_t ReachKey(int num, int kind)
{
    return static_cast<int64_t>(num) * 2 + kind;
}

// Where the inline image whose data starts at `from` ends: after the first
// "EI" followed by white space, a delimiter MuPDF accepts there or the end.
// With `after_white`, the "EI" must also follow white space: that is how the
// end of an image whose dictionary cannot be trusted for its length is found
// without mistaking two letters of its data for it. Without an "EI", the rest
// of the content.
size_t EndOfInlineImage(const std::string& content, size_t from, bool after_white)
{
    for (size_t at = from; at + 1 < content.size(); ++at) {
        if (content[at] != 'E' || content[at + 1] != 'I')
            continue;
        if (after_white && (at == 0 || !IsWhite(static_cast<unsigned char>(content[at - 1]))))
            continue;
        const size_t end = at + 2;
        if (end == content.size())
            return end;
        const auto next = static_cast<unsigned char>(content[end]);
        if (next <= 32 || next == '<' || next == '/')
            return end;
    }
    return content.size();
}

// What MuPDF makes of an inline image whose dictionary starts at `at`, read
// the way its content interpreter reads it: the dictionary up to ID, one
// white-space byte (or CR LF), then the image through the dictionary's
// filters and size.
struct InlineCheck {
    bool parsed = false;    // the dictionary was read
    bool loaded = false;    // the image was loaded
    size_t data = 0;        // where the data starts, when parsed
    size_t after_load = 0;  // where the interpreter goes on looking for EI, when loaded
    std::string error;
};

InlineCheck CheckInlineImage(fz_context* ctx, pdf_document* doc, pdf_obj* res, const std::string& content, size_t at)
{
    InlineCheck check;
    fz_stream* stm = nullptr;
    pdf_obj* dict = nullptr;
    fz_image* img = nullptr;
    pdf_lexbuf lex;
    pdf_lexbuf_init(ctx, &lex, PDF_LEXBUF_SMALL);
    size_t data = 0;
    size_t after_load = 0;
    bool parsed = false;
    check.loaded = MuTry(ctx, [&] {
        stm = fz_open_memory(ctx, reinterpret_cast<const unsigned char*>(content.data()) + at, content.size() - at);
        dict = pdf_parse_dict(ctx, doc, stm, &lex);
        int c = fz_read_byte(ctx, stm);
        if (c == '\r' && fz_peek_byte(ctx, stm) == '\n')
            fz_read_byte(ctx, stm);
        data = at + static_cast<size_t>(fz_tell(ctx, stm));
        parsed = true;
        img = pdf_load_inline_image(ctx, doc, res, dict, stm);
        after_load = at + static_cast<size_t>(fz_tell(ctx, stm));
    }, &check.error);
    const StreamHandle stm_held(ctx, stm);
    const ObjHandle dict_held(ctx, dict);
    const ImageHandle img_held(ctx, img);
    pdf_lexbuf_fin(ctx, &lex);
    check.parsed = parsed;
    check.data = data;
    check.after_load = after_load;
    return check;
}

}  // namespace

// ---------------------------------------------------------------------------
// Deciding whether a page needs a run.

void InlineImageScan::EndWord()
{
    if (word_len_ == 2 && word_[0] == 'B' && word_[1] == 'I')
        found_ = true;
    word_len_ = 0;
}

bool InlineImageScan::Feed(const unsigned char* data, size_t n)
{
    size_t i = 0;
    for (; i < n && !found_; ++i) {
        const unsigned char c = data[i];
        switch (state_) {
        case State::Comment:
            if (c == '\n' || c == '\r')
                state_ = State::Between;
            continue;
        case State::String:
            if (c == '\\')
                state_ = State::StringEscape;
            else if (c == '(')
                ++depth_;
            else if (c == ')' && --depth_ == 0)
                state_ = State::Between;
            continue;
        case State::StringEscape:
            state_ = State::String;
            continue;
        case State::AfterLess:  // "<<" opens a dictionary, "<" a hex string
            state_ = c == '<' || c == '>' ? State::Between : State::HexString;
            continue;
        case State::HexString:
            if (c == '>')
                state_ = State::Between;
            continue;
        case State::Word:
            if (!IsWhite(c) && !IsDelimiter(c)) {
                if (word_len_ < 2)
                    word_[word_len_] = static_cast<char>(c);
                word_len_ = std::min(word_len_ + 1, 3);
                continue;
            }
            EndWord();
            state_ = State::Between;
            break;
        case State::Name:
            if (!IsWhite(c) && !IsDelimiter(c))
                continue;
            state_ = State::Between;
            break;
        case State::Between:
            break;
        }
        if (IsWhite(c))
            continue;
        if (c == '%') {
            state_ = State::Comment;
        } else if (c == '(') {
            state_ = State::String;
            depth_ = 1;
        } else if (c == '<') {
            state_ = State::AfterLess;
        } else if (c == '/') {
            state_ = State::Name;
        } else if (!IsDelimiter(c)) {
            state_ = State::Word;
            word_[0] = static_cast<char>(c);
            word_len_ = 1;
        }
    }
    consumed_ = i;
    return found_;
}

bool InlineImageScan::Finish()
{
    if (state_ == State::Word)
        EndWord();
    state_ = State::Between;
    return found_;
}

std::vector<std::string> BlankBrokenInlineImages(fz_context* ctx, pdf_document* doc, pdf_obj* res,
                                                 std::string& content)
{
    std::vector<std::string> blanked;
    const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
    InlineImageScan scan;
    int index = 0;
    for (size_t pos = 0; pos < content.size() && !CancelRequested();) {
        scan.Restart();
        if (!scan.Feed(bytes + pos, content.size() - pos))
            break;  // a "BI" at the very end has no image to skip
        const size_t dict = pos + scan.Consumed() - 1;  // the byte that ended "BI"
        const size_t begin = dict - 2;
        ++index;
        InlineCheck check = CheckInlineImage(ctx, doc, res, content, dict);
        if (check.loaded) {
            pos = EndOfInlineImage(content, check.after_load, false);
            continue;
        }
        const size_t end = EndOfInlineImage(content, check.parsed ? check.data : dict, true);
        std::fill(content.begin() + static_cast<std::ptrdiff_t>(begin), content.begin() + static_cast<std::ptrdiff_t>(end),
                  ' ');
        blanked.push_back("inline image " + std::to_string(index) + ": " + check.error);
        pos = end;
    }
    return blanked;
}

int ImageReach::Known(int num, int kind) const
{
    auto it = known_.find(ReachKey(num, kind));
    return it == known_.end() ? -1 : it->second ? 1 : 0;
}

void ImageReach::Learn(int num, int kind, bool can_draw)
{
    known_[ReachKey(num, kind)] = can_draw;
}

void ImageReach::Follow(fz_context* ctx, pdf_document* doc)
{
    bool repaired = pdf_was_repaired(ctx, doc) != 0;
    if (repaired != repaired_)
        known_.clear();
    repaired_ = repaired;
}

bool PageCanDrawImages(fz_context* ctx, pdf_document* doc, int page, ImageReach& reach)
{
    reach.Follow(ctx, doc);
    pdf_obj* pageobj = nullptr;
    if (!MuTry(ctx, [&] { pageobj = pdf_lookup_page_obj(ctx, doc, page - 1); }))
        return true;
    PageCollector decider(ctx, doc, 0);
    return decider.CanDrawImages(pageobj, reach);
}

PageImages PageWalker::Collect(int page)
{
    PageImages result;
    // A page that cannot draw an image yields nothing; it is neither loaded
    // nor run: loading the pages of a 1,000-page text book, annotations and
    // all, added about a fifth to the time of a run that skipped them.
    if (reach_ != nullptr && !PageCanDrawImages(ctx_, doc_, page, *reach_)) {
        result.loaded = true;
        return result;
    }
    fz_page* fzpage = nullptr;
    if (!MuTry(ctx_, [&] { fzpage = fz_load_page(ctx_, &doc_->super, page - 1); }, &result.error))
        return result;
    result.loaded = true;
    PageHandle holder(ctx_, fzpage);
    pdf_page* pdfpage = pdf_page_from_fz_page(ctx_, fzpage);

    // A run that fails part way is repeated once the broken images it can
    // find are set aside, so that one bad image does not hide the others.
    for (int attempt = 0;; ++attempt) {
        PageCollector collector(ctx_, doc_, standin_bytes_);
        collector.ScanResources(pdfpage);
        std::string error;
        int errors = 0;
        bool ok = RunPage(ctx_, doc_, fzpage, collector, error, errors);
        result.images = collector.TakeImages();
        collector.AttachColourSources(pdfpage, result.images);
        result.image_objects = collector.ImageObjects();
        if ((ok && errors == 0) || CancelRequested())
            break;
        // A run that went on past errors may have passed over an inline
        // image it could not load (a colour space that is not there): such
        // images are set aside too, so that they are reported, and the page
        // runs again without lexing their data as operators.
        std::vector<std::string> set_aside;
        if (attempt < 4)
            set_aside = collector.ScanResources(pdfpage, ok ? Repair::InlineImages : Repair::All);
        if (ok && set_aside.empty())
            break;
        if (set_aside.empty()) {
            result.error = error;
            break;
        }
        result.set_aside.insert(result.set_aside.end(), set_aside.begin(), set_aside.end());
    }
    return result;
}

void ReleaseFromStore(fz_context* ctx, pdf_document* doc, const std::vector<std::pair<int, int>>& objects)
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

}  // namespace kestran::pdf
