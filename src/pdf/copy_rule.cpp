#include "pdf/copy_rule.h"

// libjpeg's headers need size_t and FILE declared first.
#include <algorithm>
#include <cstdio>
#include <csetjmp>
#include <cstring>
#include <memory>

#include <jerror.h>
#include <jpeglib.h>
#include <openjpeg-2.5/openjpeg.h>

#include "pdf/jpx_reader.h"
#include "pdf/mu_try.h"

namespace kestran::pdf {
namespace {

// The JPEG header (for the Adobe marker) is looked for in at most this many
// leading bytes.
constexpr size_t kMaxJpegHead = size_t(1) << 20;

// ---------------------------------------------------------------------------
// JPEG

// Watches the entropy-coded data of a JPEG's first scan go by, to tell
// whether it holds any coded byte before the marker (or the end of the data)
// that ends it: without one the decoder has nothing to decode and MuPDF
// would show padding only. Fill bytes (0xFF before a marker) are no data,
// a stuffed 0xFF 0x00 and restart markers are.
class FirstScanWatch {
public:
    // The scan's data begins with `data` (the rest of the block being read).
    void Start(const uint8_t* data, size_t size)
    {
        watching_ = true;
        Feed(data, size);
    }
    void Feed(const uint8_t* data, size_t size)
    {
        for (size_t i = 0; watching_ && i < size; ++i) {
            const uint8_t b = data[i];
            if (!after_ff_) {
                if (b == 0xFF)
                    after_ff_ = true;
                else
                    Coded();
            } else if (b == 0x00 || (b >= 0xD0 && b <= 0xD7)) {
                after_ff_ = false;
                Coded();
            } else if (b != 0xFF) {
                watching_ = false;  // the marker that ends the scan
            }
        }
    }
    // True once the scan is known to hold a coded byte.
    bool HasData() const { return coded_; }

private:
    void Coded()
    {
        coded_ = true;
        watching_ = false;
    }
    bool watching_ = false;
    bool after_ff_ = false;
    bool coded_ = false;
};

struct JpegCheck {
    jpeg_error_mgr err;
    jpeg_source_mgr src;
    std::jmp_buf jump;
    const BlockSource* bytes = nullptr;
    std::string* head = nullptr;  // null once complete or not wanted
    bool damaged = false;
    bool too_large = false;
    bool single_scan = false;  // known once the header is read
    char message[JMSG_LENGTH_MAX] = {};
    // The first scan's data as it passes, up to its first coded byte.
    FirstScanWatch first_scan;
};

JpegCheck* CheckOf(j_common_ptr cinfo) { return static_cast<JpegCheck*>(cinfo->client_data); }

void NoteDamage(j_common_ptr cinfo)
{
    JpegCheck* check = CheckOf(cinfo);
    if (!check->damaged)
        (*cinfo->err->format_message)(cinfo, check->message);
    check->damaged = true;
}

[[noreturn]] void OnJpegError(j_common_ptr cinfo)
{
    // Without a backing store libjpeg refuses virtual arrays over the limit.
    if (cinfo->err->msg_code == JERR_NO_BACKING_STORE)
        CheckOf(cinfo)->too_large = true;
    NoteDamage(cinfo);
    std::longjmp(CheckOf(cinfo)->jump, 1);
}

// Warnings that say nothing about whether the picture is whole.
bool HarmlessWarning(const jpeg_error_mgr* err)
{
    switch (err->msg_code) {
    case JWRN_ADOBE_XFORM:     // unknown transform code, read as the default
    case JWRN_JFIF_MAJOR:      // a JFIF version from the future
    case JWRN_BOGUS_ICC:       // a broken ICC profile, which viewers ignore
    case JWRN_NOT_SEQUENTIAL:  // odd but decodable scan parameters some encoders write
        return true;
    case JWRN_EXTRANEOUS_DATA:  // padding between the last scan and the end marker
        return err->msg_parm.i[1] == 0xD9;
    default: return false;
    }
}

void OnJpegMessage(j_common_ptr cinfo, int level)
{
    // Level -1 is a warning; higher levels are trace output.
    if (level >= 0 || HarmlessWarning(cinfo->err))
        return;
    NoteDamage(cinfo);
    // The verdict is known: no need to decode the rest.
    std::longjmp(CheckOf(cinfo)->jump, 1);
}

void OnJpegOutput(j_common_ptr) {}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr cinfo)
{
    static const JOCTET kEnd[2] = {0xFF, JPEG_EOI};
    JpegCheck* check = CheckOf(reinterpret_cast<j_common_ptr>(cinfo));
    const uint8_t* data = nullptr;
    size_t size = 0;
    bool read = false;
    try {
        read = (*check->bytes)(data, size);
        if (read && size > 0 && check->head != nullptr) {
            check->head->append(reinterpret_cast<const char*>(data), std::min(size, kMaxJpegHead - check->head->size()));
            if (JpegHeaderComplete(reinterpret_cast<const uint8_t*>(check->head->data()), check->head->size()) ||
                check->head->size() >= kMaxJpegHead)
                check->head = nullptr;
        }
    } catch (...) {
        read = false;  // no exception may cross libjpeg
    }
    if (!read || size == 0) {
        // The data ends (or cannot be read) before the image does: end it here
        // the way libjpeg's own sources do, and remember the premature end.
        if (!check->damaged)
            std::snprintf(check->message, sizeof check->message, "%s",
                          read ? "Premature end of JPEG file" : "the image data cannot be read");
        check->damaged = true;
        cinfo->src->next_input_byte = kEnd;
        cinfo->src->bytes_in_buffer = 2;
        return TRUE;
    }
    cinfo->src->next_input_byte = data;
    cinfo->src->bytes_in_buffer = size;
    check->first_scan.Feed(data, size);
    return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count)
{
    if (count <= 0)
        return;
    jpeg_source_mgr* src = cinfo->src;
    size_t left = static_cast<size_t>(count);
    while (left > src->bytes_in_buffer) {
        left -= src->bytes_in_buffer;
        src->bytes_in_buffer = 0;
        (*src->fill_input_buffer)(cinfo);
        if (CheckOf(reinterpret_cast<j_common_ptr>(cinfo))->damaged)
            return;  // ended: the inserted end marker stays
    }
    src->next_input_byte += left;
    src->bytes_in_buffer -= left;
}

// Decodes at 1/8 scale. Holds only plain data, so that the longjmp from
// libjpeg's error handlers skips no destructor.
bool DecodeAtOneEighth(jpeg_decompress_struct* cinfo, JpegCheck* check, JpegFacts* facts, long max_memory)
{
    if (setjmp(check->jump) != 0)
        return false;
    jpeg_create_decompress(cinfo);
    cinfo->mem->max_memory_to_use = max_memory;
    check->src.init_source = InitSource;
    check->src.fill_input_buffer = FillInput;
    check->src.skip_input_data = SkipInput;
    check->src.resync_to_restart = jpeg_resync_to_restart;
    check->src.term_source = TermSource;
    check->src.next_input_byte = nullptr;
    check->src.bytes_in_buffer = 0;
    cinfo->src = &check->src;
    jpeg_read_header(cinfo, TRUE);
    // The header is read up to the first scan's data.
    check->first_scan.Start(cinfo->src->next_input_byte, cinfo->src->bytes_in_buffer);
    check->single_scan = !jpeg_has_multiple_scans(cinfo);
    if (facts != nullptr) {
        facts->components = cinfo->num_components;
        facts->width = static_cast<int>(cinfo->image_width);
        facts->height = static_cast<int>(cinfo->image_height);
        // A progressive file shows its first scans over the whole picture.
        facts->some_rows = jpeg_has_multiple_scans(cinfo);
    }
    cinfo->scale_num = 1;
    cinfo->scale_denom = 8;
    cinfo->dct_method = JDCT_IFAST;
    cinfo->do_fancy_upsampling = FALSE;
    cinfo->do_block_smoothing = FALSE;
    jpeg_start_decompress(cinfo);
    const JDIMENSION stride = cinfo->output_width * static_cast<JDIMENSION>(cinfo->output_components);
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, stride, 1);
    // The header is whole and the scan begins: MuPDF shows what it holds.
    if (facts != nullptr)
        facts->some_rows = true;
    while (cinfo->output_scanline < cinfo->output_height)
        jpeg_read_scanlines(cinfo, row, 1);
    jpeg_finish_decompress(cinfo);
    return !check->damaged;
}

// ---------------------------------------------------------------------------
// JPEG 2000


const uint8_t kJp2Signature[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
const uint8_t kCodestreamStart[4] = {0xFF, 0x4F, 0xFF, 0x51};

const char* JpxExtension(const uint8_t* data, size_t size)
{
    if (size >= 12 && std::memcmp(data, kJp2Signature, 12) == 0)
        return "jp2";
    if (size >= 4 && std::memcmp(data, kCodestreamStart, 4) == 0)
        return "j2k";
    return nullptr;
}

// `bytes` without the white space MuPDF skips before a JPEG's start marker;
// `skipped` is set when there was some.
BlockSource WithoutLeadingSpace(const BlockSource& bytes, bool* skipped)
{
    return [&bytes, skipped, started = false](const uint8_t*& data, size_t& size) mutable {
        for (;;) {
            if (!bytes(data, size))
                return false;
            if (started || size == 0)
                return true;
            while (size > 0 && (*data == '\n' || *data == '\r' || *data == ' ')) {
                ++data;
                --size;
                *skipped = true;
            }
            if (size > 0) {
                started = true;
                return true;
            }
        }
    };
}

}  // namespace

BlockSource MemoryBlocks(const uint8_t* data, size_t size)
{
    return [data, size, given = false](const uint8_t*& block, size_t& block_size) mutable {
        block = data;
        block_size = given ? 0 : size;
        given = true;
        return true;
    };
}

bool JpegDecodesWhole(const BlockSource& bytes, JpegFacts* facts, std::string* head, std::string* why, size_t max_memory)
{
    bool leading_space = false;
    const BlockSource trimmed = WithoutLeadingSpace(bytes, &leading_space);
    JpegCheck check;
    check.bytes = &trimmed;
    check.head = head;
    jpeg_decompress_struct cinfo;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&check.err);
    check.err.error_exit = OnJpegError;
    check.err.emit_message = OnJpegMessage;
    check.err.output_message = OnJpegOutput;
    cinfo.client_data = &check;
    const long limit = static_cast<long>(std::min<size_t>(max_memory, size_t(1) << 40));
    const bool whole = DecodeAtOneEighth(&cinfo, &check, facts, limit > 0 ? limit : 1);
    jpeg_destroy_decompress(&cinfo);
    // A baseline file whose only scan holds no coded byte decodes to padding
    // only (a progressive one may still show its later scans).
    const bool nothing = !whole && check.single_scan && !check.first_scan.HasData() && !check.too_large;
    if (facts != nullptr) {
        facts->too_large = check.too_large;
        facts->leading_space = leading_space;
        if (nothing)
            facts->some_rows = false;
    }
    if (!whole && why != nullptr)
        *why = nothing ? kNoImageDataDecoded : check.message[0] != '\0' ? check.message : "damaged JPEG data";
    return whole;
}

namespace {

// Reads a block source byte by byte, and runs of bytes at block speed.
class ByteReader {
public:
    explicit ByteReader(const BlockSource& bytes) : bytes_(bytes) {}

    // The next byte, -1 at the end of the data or when it cannot be read.
    int Next()
    {
        if (left_ == 0 && !Refill())
            return -1;
        --left_;
        return *at_++;
    }

    bool Skip(size_t count)
    {
        while (count > 0) {
            if (left_ == 0 && !Refill())
                return false;
            const size_t n = std::min(count, left_);
            at_ += n;
            left_ -= n;
            count -= n;
        }
        return true;
    }

    // Moves to the next 0xFF byte and past it; false at the end.
    bool PastNextFF()
    {
        for (;;) {
            if (left_ == 0 && !Refill())
                return false;
            const void* ff = std::memchr(at_, 0xFF, left_);
            if (ff != nullptr) {
                const size_t n = static_cast<size_t>(static_cast<const uint8_t*>(ff) - at_) + 1;
                at_ += n;
                left_ -= n;
                return true;
            }
            left_ = 0;
        }
    }

    bool unreadable() const { return unreadable_; }

private:
    bool Refill()
    {
        while (left_ == 0) {
            if (ended_)
                return false;
            bool read = false;
            try {
                read = bytes_(at_, left_);
            } catch (...) {
                read = false;
            }
            if (!read || left_ == 0) {
                unreadable_ = !read;
                ended_ = true;
                left_ = 0;
                return false;
            }
        }
        return true;
    }

    const BlockSource& bytes_;
    const uint8_t* at_ = nullptr;
    size_t left_ = 0;
    bool ended_ = false;
    bool unreadable_ = false;
};

// Markers a decoder accepts where a scan's data ends.
bool AfterScan(int marker)
{
    return marker == 0xD9 || marker == 0xDA || marker == 0xC4 || marker == 0xDB || marker == 0xDD || marker == 0xDC ||
           marker == 0xFE || (marker >= 0xE0 && marker <= 0xEF);
}

bool IsFrameMarker(int marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

}  // namespace

bool JpegStructureWhole(const BlockSource& bytes, std::string* why)
{
    bool leading_space = false;
    const BlockSource trimmed = WithoutLeadingSpace(bytes, &leading_space);
    ByteReader in(trimmed);
    auto fail = [&](const std::string& what) {
        if (why != nullptr)
            *why = in.unreadable() ? "the image data cannot be read" : what;
        return false;
    };
    if (in.Next() != 0xFF || in.Next() != 0xD8)
        return fail("Not a JPEG file");
    bool frame = false;
    bool scan = false;
    int marker = -1;  // a marker already read at the end of scan data
    for (;;) {
        if (marker < 0) {
            const int c = in.Next();
            if (c < 0)
                return fail("Premature end of JPEG file");
            if (c != 0xFF)
                return fail("Corrupt JPEG data: bytes between segments");
            do
                marker = in.Next();
            while (marker == 0xFF);
            if (marker < 0)
                return fail("Premature end of JPEG file");
        }
        const int m = marker;
        marker = -1;
        if (m == 0xD9)
            return frame && scan ? true : fail("no image in the JPEG data");
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7))
            continue;
        if (m == 0xD8 || m < 0xC0)
            return fail("Unsupported marker type");
        const int hi = in.Next();
        const int lo = in.Next();
        if (lo < 0)
            return fail("Premature end of JPEG file");
        const size_t length = (static_cast<size_t>(hi) << 8) | static_cast<size_t>(lo);
        if (length < 2 || !in.Skip(length - 2))
            return fail(length < 2 ? "Corrupt JPEG data: bad segment length" : "Premature end of JPEG file");
        if (IsFrameMarker(m))
            frame = true;
        if (m != 0xDA)
            continue;
        if (!frame)
            return fail("Corrupt JPEG data: scan before frame");
        scan = true;
        // The scan's data: 0xFF only as a stuffed 0xFF 0x00 or a restart
        // marker, until the marker that ends it.
        for (;;) {
            if (!in.PastNextFF())
                return fail("Premature end of JPEG file");
            int c = in.Next();
            while (c == 0xFF)
                c = in.Next();
            if (c < 0)
                return fail("Premature end of JPEG file");
            if (c == 0x00 || (c >= 0xD0 && c <= 0xD7))
                continue;
            if (!AfterScan(c)) {
                char text[64];
                std::snprintf(text, sizeof text, "Corrupt JPEG data: marker 0x%02x in the scan data", c);
                return fail(text);
            }
            marker = c;
            break;
        }
    }
}

CopyVerdict JpegCopyVerdict(const JpegLook& look, const BlockSourceOpener& open, bool force, std::string* why,
                            size_t max_memory)
{
    // The look first, from what the PDF says.
    bool looks_right = !look.masked;
    bool cmyk = false;
    switch (look.space) {
    case FZ_COLORSPACE_GRAY:
    case FZ_COLORSPACE_RGB: looks_right = looks_right && look.default_decode && look.color_transform == -1; break;
    case FZ_COLORSPACE_CMYK:
        // Viewers read Adobe CMYK JPEGs as inverted, plain ones as they are:
        // which /Decode fits depends on the marker, read below.
        cmyk = true;
        looks_right = looks_right && (look.default_decode || look.inverted_decode);
        break;
    default: looks_right = false; break;
    }
    // Every JPEG is checked, also one that is decoded anyway: damaged data
    // makes the written image incomplete, and the log says so.
    std::string head;
    JpegFacts facts;
    if (!JpegDecodesWhole(open(), &facts, cmyk && looks_right && !force ? &head : nullptr, why, max_memory)) {
        // A progressive file too large to decode here: its structure decides.
        if (!facts.too_large)
            return facts.some_rows ? CopyVerdict::Damaged : CopyVerdict::Nothing;
        if (!JpegStructureWhole(open(), why))
            return CopyVerdict::Damaged;
    }
    // A copy must start with the start marker for viewers to read it.
    if (facts.leading_space)
        return CopyVerdict::Look;
    if (force)
        return CopyVerdict::Copy;
    if (!looks_right || facts.components != look.components)
        return CopyVerdict::Look;
    if (cmyk) {
        const auto* data = reinterpret_cast<const uint8_t*>(head.data());
        if (!JpegHeaderComplete(data, head.size()))
            return CopyVerdict::Look;
        const bool adobe = JpegHasAdobeMarker(data, head.size());
        if (!(adobe ? look.inverted_decode : look.default_decode))
            return CopyVerdict::Look;
    }
    return CopyVerdict::Copy;
}

JpxLook JpxLookOf(fz_context* ctx, pdf_obj* ref)
{
    JpxLook look;
    bool faithful = true;
    bool as_is = false;
    int colors = 0;
    const bool ok = MuTry(ctx, [&] {
        if (!pdf_is_jpx_image(ctx, ref)) {
            faithful = false;
            return;
        }
        // Under another filter as well (Flate over JPX) the raw stream is not the file.
        pdf_obj* filter = pdf_dict_get(ctx, ref, PDF_NAME(Filter));
        if (pdf_is_array(ctx, filter) && pdf_array_len(ctx, filter) == 1)
            filter = pdf_array_get(ctx, filter, 0);
        as_is = pdf_name_eq(ctx, filter, PDF_NAME(JPXDecode));
        if (pdf_dict_get(ctx, ref, PDF_NAME(Decode)) || pdf_dict_get(ctx, ref, PDF_NAME(SMask)) ||
            pdf_dict_get(ctx, ref, PDF_NAME(Mask)) || pdf_dict_get_int(ctx, ref, PDF_NAME(SMaskInData)) != 0 ||
            pdf_dict_get_bool(ctx, ref, PDF_NAME(ImageMask)))
            faithful = false;
        pdf_obj* cs = pdf_dict_get(ctx, ref, PDF_NAME(ColorSpace));
        if (cs != nullptr) {
            // A colour space in the PDF overrides the file's own; keep the bytes
            // only when it says what the file says anyway.
            pdf_obj* name = pdf_is_array(ctx, cs) ? pdf_array_get(ctx, cs, 0) : cs;
            if (pdf_name_eq(ctx, name, PDF_NAME(DeviceGray)))
                colors = 1;
            else if (pdf_name_eq(ctx, name, PDF_NAME(DeviceRGB)))
                colors = 3;
            else if (pdf_name_eq(ctx, name, PDF_NAME(ICCBased)))
                colors = pdf_dict_get_int(ctx, pdf_array_get(ctx, cs, 1), PDF_NAME(N));
            else
                faithful = false;
        }
    });
    look.stored_as_is = ok && as_is;
    look.faithful = look.stored_as_is && faithful;
    look.colors = colors;
    return look;
}

bool JpxDecodesWhole(const uint8_t* data, size_t size, std::string* why, bool* header_read)
{
    if (header_read != nullptr)
        *header_read = false;
    JpxCheck check;
    check.data = data;
    check.size = size;
    auto fail = [&](const char* fallback) {
        if (why != nullptr)
            *why = check.message.empty() ? fallback : check.message;
        return false;
    };
    const char* extension = JpxExtension(data, size);
    if (extension == nullptr)
        return fail("not a JPEG 2000 file or codestream");
    JpxDecoder decoder;
    if (const char* problem = OpenJpxDecoder(std::strcmp(extension, "jp2") == 0 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K,
                                             check, decoder, "cannot read the JPEG 2000 header"))
        return fail(problem);
    opj_codec_t* codec = decoder.codec.get();
    opj_stream_t* stream = decoder.stream.get();
    opj_image_t* image = decoder.image.get();
    if (header_read != nullptr)
        *header_read = true;
    // Decode the lowest resolution only: the finest resolution any tile
    // component can drop is one less than the fewest it has.
    std::unique_ptr<opj_codestream_info_v2_t, CstrInfoDeleter> info(opj_get_cstr_info(codec));
    OPJ_UINT32 levels = 0;
    if (info && info->m_default_tile_info.tccp_info != nullptr && info->nbcomps > 0) {
        levels = info->m_default_tile_info.tccp_info[0].numresolutions;
        for (OPJ_UINT32 c = 1; c < info->nbcomps; ++c)
            levels = std::min(levels, info->m_default_tile_info.tccp_info[c].numresolutions);
    }
    if (levels > 1 && !opj_set_decoded_resolution_factor(codec, levels - 1))
        return fail("cannot reduce the JPEG 2000 resolution");
    const bool decoded = opj_decode(codec, stream, image) && opj_end_decompress(codec, stream);
    if (!decoded || check.failed)
        return fail("damaged JPEG 2000 data");
    return true;
}

JpxHeader ReadJpxHeader(const uint8_t* data, size_t size)
{
    JpxHeader header;
    auto be16 = [](const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; };
    auto be32 = [](const uint8_t* p) {
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    };
    // Calls `each(type, body, body_size)` for the boxes in [begin, end); false
    // when a box runs past the end. The codestream box may end the file
    // without a length (0), and runs past the end when only the file's first
    // bytes are given.
    auto boxes = [&](size_t begin, size_t end, const auto& each) {
        size_t pos = begin;
        while (pos + 8 <= end) {
            uint64_t length = be32(data + pos);
            size_t head = 8;
            if (length == 1) {
                if (pos + 16 > end)
                    return false;
                length = (uint64_t(be32(data + pos + 8)) << 32) | be32(data + pos + 12);
                head = 16;
            } else if (length == 0) {
                length = end - pos;
            }
            if (length > end - pos && length >= head && std::memcmp(data + pos + 4, "jp2c", 4) == 0)
                length = end - pos;
            if (length < head || length > end - pos)
                return false;
            if (!each(data + pos + 4, pos + head, static_cast<size_t>(length) - head))
                return true;
            pos += static_cast<size_t>(length);
        }
        return true;
    };
    const char* kind = JpxExtension(data, size);
    if (kind == nullptr)
        return header;
    header.jp2 = std::strcmp(kind, "jp2") == 0;
    size_t codestream = 0;
    bool found = !header.jp2;
    size_t pclr_at = 0, pclr_size = 0, cmap_at = 0, cmap_size = 0;
    if (header.jp2) {
        bool colour_read = false;
        boxes(0, size, [&](const uint8_t* type, size_t body, size_t body_size) {
            if (std::memcmp(type, "jp2h", 4) == 0) {
                boxes(body, body + body_size, [&](const uint8_t* sub, size_t at, size_t n) {
                    // Only the first colour box counts, as readers do.
                    if (std::memcmp(sub, "colr", 4) == 0 && !colour_read && n >= 3) {
                        colour_read = true;
                        const uint8_t method = data[at];
                        if (method == 1 && n >= 7)
                            header.enumerated = static_cast<int>(be32(data + at + 3));
                        else if (method == 2 && n >= 3 + 20)  // a restricted profile, which JP2 readers apply
                            header.icc_space = be32(data + at + 3 + 16);
                    } else if (std::memcmp(sub, "pclr", 4) == 0) {
                        header.palette = true;
                        pclr_at = at;
                        pclr_size = n;
                    } else if (std::memcmp(sub, "cmap", 4) == 0) {
                        header.component_map = true;
                        header.box_order_refused = header.box_order_refused || !header.palette;
                        cmap_at = at;
                        cmap_size = n;
                    } else if (std::memcmp(sub, "cdef", 4) == 0) {
                        header.channel_definition = true;
                    }
                    return true;
                });
            } else if (std::memcmp(type, "jp2c", 4) == 0) {
                codestream = body;
                found = true;
                return false;
            }
            return true;
        });
    }
    // Palette: NE entries, NPC columns of B bits each (8-bit unsigned only
    // here), then the entries; each 'cmap' channel names the column it takes.
    if (pclr_size >= 3) {
        const size_t entries = be16(data + pclr_at);
        const int columns = data[pclr_at + 2];
        bool eight = columns > 0 && pclr_size >= 3 + size_t(columns) + entries * columns;
        for (int c = 0; eight && c < columns; ++c)
            eight = data[pclr_at + 3 + c] == 7;
        std::vector<int> order;
        for (size_t i = 0; i + 4 <= cmap_size; i += 4) {
            const uint8_t* channel = data + cmap_at + i;
            if (be16(channel) != 0 || channel[2] != 1 || channel[3] >= columns)
                eight = false;
            order.push_back(channel[3]);
        }
        if (order.empty())
            for (int c = 0; c < columns; ++c)
                order.push_back(c);
        if (eight && entries > 0) {
            const uint8_t* table = data + pclr_at + 3 + columns;
            header.palette_columns = static_cast<int>(order.size());
            for (size_t e = 0; e < entries; ++e)
                for (int column : order)
                    header.palette_entries.push_back(table[e * columns + column]);
        }
    }
    // SOC, then SIZ: marker, Lsiz, Rsiz, 8 x 32-bit sizes, Csiz.
    if (!found || codestream + 4 + 2 + 2 + 32 + 2 > size || std::memcmp(data + codestream, kCodestreamStart, 4) != 0)
        return header;
    header.codestream = codestream;
    const uint8_t* siz = data + codestream + 4 + 2 + 2;
    header.components = static_cast<int>(be16(siz + 32));
    const uint32_t xsiz = be32(siz), ysiz = be32(siz + 4), xosiz = be32(siz + 8), yosiz = be32(siz + 12);
    const uint32_t xtsiz = be32(siz + 16), ytsiz = be32(siz + 20), xtosiz = be32(siz + 24), ytosiz = be32(siz + 28);
    if (xsiz <= xosiz || ysiz <= yosiz || xtsiz == 0 || ytsiz == 0 || xtosiz > xosiz || ytosiz > yosiz)
        return header;  // what a decoder refuses declares no size
    header.width = xsiz - xosiz;
    header.height = ysiz - yosiz;
    header.tile_width = xtsiz;
    header.tile_height = ytsiz;
    header.tiles_across = static_cast<uint32_t>((uint64_t(xsiz) - xtosiz + xtsiz - 1) / xtsiz);
    header.tiles_down = static_cast<uint32_t>((uint64_t(ysiz) - ytosiz + ytsiz - 1) / ytsiz);
    const size_t lsiz = be16(data + codestream + 4);
    const size_t comps_at = codestream + 4 + 2 + 2 + 32 + 2;
    for (int c = 0; c < header.components && comps_at + 3 * size_t(c) + 3 <= size; ++c) {
        const uint8_t* comp = data + comps_at + 3 * size_t(c);
        header.max_precision = std::max(header.max_precision, (comp[0] & 0x7F) + 1);
        header.signed_samples = header.signed_samples || (comp[0] & 0x80) != 0;
        header.subsampled = header.subsampled || comp[1] != 1 || comp[2] != 1;
    }
    // The main header's segments up to the first tile: COD gives the
    // decomposition levels and the code-block height.
    for (size_t pos = codestream + 4 + lsiz; pos + 4 <= size && data[pos] == 0xFF;) {
        const uint8_t marker = data[pos + 1];
        const size_t length = be16(data + pos + 2);
        if (marker == 0x90 || length < 2)  // SOT
            break;
        if (marker == 0x52 && length >= 12 && pos + 2 + 10 <= size) {
            header.levels = data[pos + 2 + 7];
            header.block_height = uint32_t(1) << std::min(10, (data[pos + 2 + 9] & 0x0F) + 2);
            break;
        }
        pos += 2 + length;
    }
    return header;
}

bool JpxColourStated(const JpxHeader& header)
{
    if (header.palette || header.component_map)
        return false;
    const int n = header.components;
    if (!header.jp2)
        return n == 1 || n == 3;
    switch (header.enumerated) {
    case 16:  // sRGB
    case 18:  // sYCC
        return n == 3;
    case 17:  // greyscale
        return n == 1;
    case -1:
        break;
    default:  // CMYK, CIELab, and the spaces few readers know
        return false;
    }
    if (header.icc_space == 0x47524159u)  // 'GRAY'
        return n == 1;
    if (header.icc_space == 0x52474220u)  // 'RGB '
        return n == 3;
    return false;
}

bool DecodeJpxCodestream(const uint8_t* data, size_t size, const JpxHeader& header, JpxSamples& out,
                         std::string* why)
{
    JpxCheck check;
    check.data = data + header.codestream;
    check.size = header.codestream < size ? size - header.codestream : 0;
    auto fail = [&](const char* fallback) {
        if (why != nullptr)
            *why = check.message.empty() ? fallback : check.message;
        return false;
    };
    if (header.components <= 0)
        return fail("no JPEG 2000 codestream");
    JpxDecoder decoder;
    if (const char* problem =
            OpenJpxDecoder(OPJ_CODEC_J2K, check, decoder, "cannot read the JPEG 2000 codestream header"))
        return fail(problem);
    opj_codec_t* codec = decoder.codec.get();
    opj_stream_t* stream = decoder.stream.get();
    opj_image_t* image = decoder.image.get();
    if (!opj_decode(codec, stream, image) || !opj_end_decompress(codec, stream) ||
        check.failed)
        return fail("damaged JPEG 2000 data");
    const int n = static_cast<int>(image->numcomps);
    if (n <= 0)
        return fail("no JPEG 2000 components");
    const opj_image_comp_t* comps = image->comps;
    const uint32_t w = comps[0].w;
    const uint32_t h = comps[0].h;
    for (int c = 0; c < n; ++c)
        if (comps[c].w != w || comps[c].h != h || comps[c].data == nullptr || comps[c].prec == 0 || comps[c].prec > 16)
            return fail("JPEG 2000 components of different sizes");
    if (w == 0 || h == 0 || w > (1u << 20) || h > (1u << 20))
        return fail("JPEG 2000 image of no size");
    out.width = static_cast<int>(w);
    out.height = static_cast<int>(h);
    out.components = n;
    out.samples.resize(size_t(w) * h * n);
    for (int c = 0; c < n; ++c) {
        const int prec = static_cast<int>(comps[c].prec);
        const int offset = comps[c].sgnd ? 1 << (prec - 1) : 0;
        const int top = (1 << prec) - 1;
        uint8_t* dst = out.samples.data() + c;
        for (size_t i = 0; i < size_t(w) * h; ++i, dst += n) {
            const int v = std::clamp(comps[c].data[i] + offset, 0, top);
            // Palette indices are kept as they are; samples scale to 8 bits.
            *dst = static_cast<uint8_t>(prec == 8 || header.palette ? std::min(v, 255) : (v * 255 + top / 2) / top);
        }
    }
    return true;
}

CopyVerdict JpxCopyVerdict(const JpxLook& look, const uint8_t* data, size_t size, bool force, std::string& extension,
                           std::string* why)
{
    const char* kind = JpxExtension(data, size);
    bool header = false;
    if (!JpxDecodesWhole(data, size, why, &header)) {
        // A JP2 header openjpeg refuses (and MuPDF with it) around a whole
        // codestream: not a file to copy, but an image to decode.
        const JpxHeader boxes = header ? JpxHeader() : ReadJpxHeader(data, size);
        if (boxes.jp2 && boxes.components > 0 &&
            JpxDecodesWhole(data + boxes.codestream, size - boxes.codestream, nullptr))
            return CopyVerdict::Look;
        return header ? CopyVerdict::Damaged : CopyVerdict::Nothing;
    }
    if (!force) {
        if (!look.faithful)
            return CopyVerdict::Look;
        // Without /SMaskInData the page ignores an alpha channel of the file,
        // which viewers of the copy would show: the file must hold exactly the
        // colour components (1 gray or 3 RGB) and nothing else.
        // The file must also say what its colours are, in words every viewer
        // reads the same: a CMYK file is shown by many with its black as
        // alpha, a palette file by some as gray indices.
        const JpxHeader header = ReadJpxHeader(data, size);
        const int components = header.components;
        const bool plain = look.colors != 0 ? components == look.colors : (components == 1 || components == 3);
        if (!plain || !JpxColourStated(header))
            return CopyVerdict::Look;
    }
    extension = kind;
    return CopyVerdict::Copy;
}

int JpxComponentCount(const uint8_t* data, size_t size)
{
    return ReadJpxHeader(data, size).components;
}

namespace {

// Walks the segments before the scan. Returns 1 when an Adobe APP14 marker is
// met, 0 at the scan or the end of the image, -1 when the data ends first.
int ScanJpegHeader(const uint8_t* data, size_t size)
{
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return size < 4 ? -1 : 0;
    size_t pos = 2;
    while (pos + 4 <= size) {
        if (data[pos] != 0xFF) {
            ++pos;  // tolerate garbage between segments
            continue;
        }
        uint8_t marker = data[pos + 1];
        if (marker == 0xFF) {
            ++pos;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)  // start of scan, end of image
            return 0;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        size_t length = (static_cast<size_t>(data[pos + 2]) << 8) | data[pos + 3];
        if (length < 2)
            return 0;
        if (marker == 0xEE && length >= 7 && pos + 4 + 5 <= size && std::memcmp(data + pos + 4, "Adobe", 5) == 0)
            return 1;
        pos += 2 + length;
    }
    return -1;
}

}  // namespace

bool JpegHasAdobeMarker(const uint8_t* data, size_t size) { return ScanJpegHeader(data, size) == 1; }

bool JpegHeaderComplete(const uint8_t* data, size_t size) { return ScanJpegHeader(data, size) != -1; }

}  // namespace kestran::pdf
