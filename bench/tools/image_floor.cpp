// The floor of "-ir": the image library alone decoding a PNG, TIFF or JPEG file row by row into
// one row buffer, as RGB where the library offers it, with nothing else done. Prints
// "seconds <s> rows <n>".   image_floor png|tiff|jpeg FILE
#include <spng.h>
#include <tiffio.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>  // after <cstddef> and <cstdio>: it needs size_t and FILE

namespace {

constexpr size_t kStreamBuffer = 1u << 16;

long png_rows(FILE* file) {
  spng_ctx* ctx = spng_ctx_new(0);
  spng_set_png_file(ctx, file);
  spng_ihdr ihdr{};
  size_t row_bytes = 0;
  if (spng_get_ihdr(ctx, &ihdr) != 0 || spng_decoded_image_size(ctx, SPNG_FMT_RGB8, &row_bytes) != 0) return -1;
  row_bytes /= ihdr.height;
  std::vector<unsigned char> row(row_bytes);
  if (spng_decode_image(ctx, nullptr, 0, SPNG_FMT_RGB8, SPNG_DECODE_PROGRESSIVE) != 0) return -1;
  long rows = 0;
  int code = 0;
  while (code == 0) {
    code = spng_decode_row(ctx, row.data(), row.size());
    if (code == 0 || code == SPNG_EOI) ++rows;
  }
  spng_ctx_free(ctx);
  return code == SPNG_EOI ? rows : -1;
}

long tiff_rows(const char* path) {
  TIFF* tiff = TIFFOpen(path, "rm");
  if (tiff == nullptr) return -1;
  uint32_t height = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  std::vector<unsigned char> row(static_cast<size_t>(TIFFScanlineSize(tiff)));
  long rows = 0;
  for (uint32_t y = 0; y < height; ++y, ++rows)
    if (TIFFReadScanline(tiff, row.data(), y, 0) < 0) return -1;
  TIFFClose(tiff);
  return rows;
}

long jpeg_rows(FILE* file) {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, file);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  std::vector<unsigned char> row(static_cast<size_t>(cinfo.output_width) * 3);
  long rows = 0;
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW p = row.data();
    rows += jpeg_read_scanlines(&cinfo, &p, 1);
  }
  jpeg_destroy_decompress(&cinfo);
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: image_floor png|tiff|jpeg FILE\n");
    return 2;
  }
  auto start = std::chrono::steady_clock::now();
  long rows = -1;
  if (std::strcmp(argv[1], "tiff") == 0) {
    rows = tiff_rows(argv[2]);
  } else if (FILE* file = std::fopen(argv[2], "rb")) {
    std::setvbuf(file, nullptr, _IOFBF, kStreamBuffer);
    rows = std::strcmp(argv[1], "png") == 0 ? png_rows(file) : jpeg_rows(file);
    std::fclose(file);
  }
  if (rows < 0) {
    std::fprintf(stderr, "image_floor: cannot decode %s\n", argv[2]);
    return 1;
  }
  std::printf("seconds %.3f rows %ld\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), rows);
  return 0;
}
