#include "view_image.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>
#include <png.h>

namespace kalvex_tool {

namespace {

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

extern "C" void JpegFail(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegError *>(info->err)->jump, 1);
}

extern "C" void JpegQuiet(j_common_ptr, int) {}

// Everything that must survive a longjmp lives outside the function that calls setjmp.
struct JpegJob {
    jpeg_compress_struct info{};
    JpegError error{};
    unsigned char *out = nullptr;
    unsigned long size = 0;
    std::vector<JSAMPROW> rows;
};

bool RunJpeg(JpegJob *job, const BgrFrame &frame, int quality) {
    job->info.err = jpeg_std_error(&job->error.manager);
    job->error.manager.error_exit = JpegFail;
    job->error.manager.emit_message = JpegQuiet;
    if (setjmp(job->error.jump) != 0) return false;
    jpeg_create_compress(&job->info);
    jpeg_mem_dest(&job->info, &job->out, &job->size);
    job->info.image_width = static_cast<JDIMENSION>(frame.width);
    job->info.image_height = static_cast<JDIMENSION>(frame.height);
    job->info.input_components = 3;
    // libjpeg-turbo reads blue-green-red pixels itself: no conversion pass.
    job->info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&job->info);
    jpeg_set_quality(&job->info, quality, TRUE);
    job->info.dct_method = JDCT_ISLOW;
    jpeg_start_compress(&job->info, TRUE);
    job->rows.resize(static_cast<size_t>(frame.height));
    for (int r = 0; r < frame.height; ++r)
        job->rows[static_cast<size_t>(r)] = const_cast<JSAMPROW>(frame.TopRow(r));
    while (job->info.next_scanline < job->info.image_height)
        jpeg_write_scanlines(&job->info, job->rows.data() + job->info.next_scanline,
                             job->info.image_height - job->info.next_scanline);
    jpeg_finish_compress(&job->info);
    return true;
}

}  // namespace

std::string EncodeJpeg(const BgrFrame &frame, int quality) {
    if (frame.pixels == nullptr || frame.width <= 0 || frame.height <= 0) return {};
    JpegJob job;
    bool ok = RunJpeg(&job, frame, quality);
    std::string encoded;
    if (ok && job.out != nullptr) encoded.assign(reinterpret_cast<const char *>(job.out), job.size);
    jpeg_destroy_compress(&job.info);
    std::free(job.out);
    return encoded;
}

std::string EncodePng(const BgrFrame &frame) {
    if (frame.pixels == nullptr || frame.width <= 0 || frame.height <= 0) return {};
    // Upright rows first: the simplified libpng API takes one stride only.
    std::vector<unsigned char> upright(static_cast<size_t>(frame.width) * 3 *
                                       static_cast<size_t>(frame.height));
    const size_t rowBytes = static_cast<size_t>(frame.width) * 3;
    for (int r = 0; r < frame.height; ++r)
        std::copy(frame.TopRow(r), frame.TopRow(r) + rowBytes,
                  upright.begin() + static_cast<std::ptrdiff_t>(rowBytes * static_cast<size_t>(r)));
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(frame.width);
    image.height = static_cast<png_uint_32>(frame.height);
    image.format = PNG_FORMAT_BGR;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, upright.data(), 0, nullptr))
        return {};
    std::string encoded(size, '\0');
    if (!png_image_write_to_memory(&image, encoded.data(), &size, 0, upright.data(), 0, nullptr))
        return {};
    encoded.resize(size);
    return encoded;
}

}  // namespace kalvex_tool
