// openjpeg over JPEG 2000 bytes held in memory: the reader the copy rule's
// check and the engine's own decodes share, openjpeg's complaints collected
// instead of printed.
#ifndef KESTRAN_PDF_JPX_READER_H
#define KESTRAN_PDF_JPX_READER_H

#include <openjpeg-2.5/openjpeg.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kestran::pdf {

// The bytes openjpeg reads, and its complaints.
struct JpxCheck {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    bool failed = false;
    std::string message;
};

struct CodecDeleter {
    void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct StreamDeleter {
    void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct OpjImageDeleter {
    void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};
struct CstrInfoDeleter {
    void operator()(opj_codestream_info_v2_t* info) const { opj_destroy_cstr_info(&info); }
};

// An openjpeg decoder reading `check`'s bytes, its messages noted in `check`.
struct JpxDecoder {
    std::unique_ptr<opj_codec_t, CodecDeleter> codec;
    std::unique_ptr<opj_stream_t, StreamDeleter> stream;
    std::unique_ptr<opj_image_t, OpjImageDeleter> image;
};

// Sets up a decoder of `format` over `check` and reads the header into
// `decoder.image`; on failure returns the reason when openjpeg gave none.
const char* OpenJpxDecoder(OPJ_CODEC_FORMAT format, JpxCheck& check, JpxDecoder& decoder, const char* unreadable);

}  // namespace kestran::pdf

#endif
