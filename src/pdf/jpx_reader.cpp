#include "pdf/jpx_reader.h"

#include <algorithm>
#include <cstring>

namespace kestran::pdf {
namespace {

OPJ_SIZE_T JpxRead(void* buffer, OPJ_SIZE_T count, void* user)
{
    auto* check = static_cast<JpxCheck*>(user);
    if (check->pos >= check->size)
        return static_cast<OPJ_SIZE_T>(-1);
    const size_t n = std::min<size_t>(count, check->size - check->pos);
    std::memcpy(buffer, check->data + check->pos, n);
    check->pos += n;
    return n;
}

OPJ_OFF_T JpxSkip(OPJ_OFF_T count, void* user)
{
    auto* check = static_cast<JpxCheck*>(user);
    if (count < 0) {
        const size_t back = std::min<size_t>(static_cast<size_t>(-count), check->pos);
        check->pos -= back;
        return -static_cast<OPJ_OFF_T>(back);
    }
    if (check->pos >= check->size)
        return -1;
    const size_t n = std::min<size_t>(static_cast<size_t>(count), check->size - check->pos);
    check->pos += n;
    return static_cast<OPJ_OFF_T>(n);
}

OPJ_BOOL JpxSeek(OPJ_OFF_T pos, void* user)
{
    auto* check = static_cast<JpxCheck*>(user);
    if (pos < 0 || static_cast<uint64_t>(pos) > check->size)
        return OPJ_FALSE;
    check->pos = static_cast<size_t>(pos);
    return OPJ_TRUE;
}

void NoteJpxFailure(JpxCheck* check, const char* message)
{
    if (!check->failed && message != nullptr) {
        check->message = message;
        while (!check->message.empty() && (check->message.back() == '\n' || check->message.back() == ' '))
            check->message.pop_back();
    }
    check->failed = true;
}

void OnJpxError(const char* message, void* user) { NoteJpxFailure(static_cast<JpxCheck*>(user), message); }

// openjpeg reports a cut or damaged codestream through warnings and goes on
// with what it has; warnings about boxes it does not need say nothing about
// the picture.
void OnJpxWarning(const char* message, void* user)
{
    static const char* const kHarmless[] = {
        "JP2 box which are after the codestream will not be read",
        "Unknown marker",  // private markers some encoders add
        "Empty SOT marker detected",
        // Colour boxes a reader ignores: they change no sample.
        "boxes after the first, so we ignore this one",
        "so we will ignore the entire Colour",
        "Ignoring ihdr box",
        "Alpha channel specified but unknown enumcs",
    };
    for (const char* harmless : kHarmless)
        if (message != nullptr && std::strstr(message, harmless) != nullptr)
            return;
    NoteJpxFailure(static_cast<JpxCheck*>(user), message);
}

void OnJpxInfo(const char*, void*) {}

}  // namespace

const char* OpenJpxDecoder(OPJ_CODEC_FORMAT format, JpxCheck& check, JpxDecoder& decoder, const char* unreadable)
{
    decoder.codec.reset(opj_create_decompress(format));
    decoder.stream.reset(opj_stream_create(size_t(1) << 16, OPJ_TRUE));
    if (!decoder.codec || !decoder.stream)
        return "out of memory";
    opj_codec_t* codec = decoder.codec.get();
    opj_stream_t* stream = decoder.stream.get();
    opj_set_error_handler(codec, OnJpxError, &check);
    opj_set_warning_handler(codec, OnJpxWarning, &check);
    opj_set_info_handler(codec, OnJpxInfo, &check);
    opj_stream_set_user_data(stream, &check, nullptr);
    opj_stream_set_user_data_length(stream, check.size);
    opj_stream_set_read_function(stream, JpxRead);
    opj_stream_set_skip_function(stream, JpxSkip);
    opj_stream_set_seek_function(stream, JpxSeek);
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    if (!opj_setup_decoder(codec, &params))
        return "cannot set up the JPEG 2000 decoder";
    opj_image_t* raw_image = nullptr;
    const bool read = opj_read_header(stream, codec, &raw_image);
    decoder.image.reset(raw_image);
    if (!read || !decoder.image || check.failed)
        return unreadable;
    return nullptr;
}

}  // namespace kestran::pdf
