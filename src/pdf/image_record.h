// What an image's record (its manifest row) says about the image itself, read
// on the thread that walks the pages, and the word for what its file is.
#ifndef KESTRAN_PDF_IMAGE_RECORD_H
#define KESTRAN_PDF_IMAGE_RECORD_H

#include <string>

#include "pdf/image_encoder.h"
#include "pdf/mu_context.h"
#include "pdf/output_choice.h"

namespace kestran::pdf {

// Fills the image's facts in `record`: object number, size, bits per
// component, colour space and filters as the file declares them (from the
// image XObject when the page names one, else from what MuPDF loaded), and
// the placement. Reads `doc`: the walking thread only.
void DescribeImage(fz_context* ctx, pdf_document* doc, const DrawnImage& drawn, ImageRecord& record);

// A colour space object as a record names it: "DeviceRGB", "ICCBased(CMYK)",
// "Indexed(DeviceRGB)", "Separation(Gold)", "DeviceN(5)"...; empty when
// there is none.
std::string ColourSpaceName(fz_context* ctx, pdf_obj* colour_space);

}  // namespace kestran::pdf

#endif
