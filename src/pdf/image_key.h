// The identity of an image across the pages of one file.
#ifndef KESTRAN_PDF_IMAGE_KEY_H
#define KESTRAN_PDF_IMAGE_KEY_H

#include <string>

#include "pdf/colour_profile.h"
#include "pdf/mu_context.h"

namespace kestran::pdf {

// One file per image: the same object drawn on many pages gives one file, and
// so do inline images and separate objects with identical content. The key is
// everything that decides what the image looks like: size, depth, colour
// space (with an Indexed palette), /Decode, colour key, the compressed bytes
// (by checksum) with their filter parameters, and the mask's own key. The
// stream bytes alone are never enough: the same JPEG under an inverting
// /Decode, or with another soft mask, draws differently.
// False when the image data cannot be read.
bool BuildImageKey(fz_context* ctx, pdf_document* doc, fz_image* img, int object_num, std::string& key);

// Adds to `key` what the file says the colours mean (the ICC profile, a Lab
// space), which MuPDF's colour space does not carry: the same samples under
// another profile are another image.
void AddColoursToKey(const ImageColours& colours, std::string& key);

}  // namespace kestran::pdf

#endif
