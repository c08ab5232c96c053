// Reference streams and decodings made with libjpeg directly, plain 3-byte RGB (or grey, CMYK,
// YCCK), to hold the in-memory codec against. Test pixel images in the codec's 4-byte layout.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <random>
#include <vector>

#include <jpeglib.h>

namespace jpeg_test {

using Bytes = std::vector<unsigned char>;

enum class Sampling { k420, k422, k444 };

struct LibraryEncoding {
  int components = 3;
  J_COLOR_SPACE in_space = JCS_RGB;
  J_COLOR_SPACE jpeg_space = JCS_UNKNOWN;  // JCS_UNKNOWN: the library's default for in_space
  Sampling sampling = Sampling::k420;
};

// Compresses width x height pixels of `components` samples each, as the codec sets the library up:
// defaults, the given quality with force-baseline, all tables written.
inline Bytes library_compress(const unsigned char* samples, int width, int height, int quality,
                              const LibraryEncoding& encoding = {}) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  jpeg_mem_dest(&cinfo, &out, &out_size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = encoding.components;
  cinfo.in_color_space = encoding.in_space;
  jpeg_set_defaults(&cinfo);
  if (encoding.jpeg_space != JCS_UNKNOWN) jpeg_set_colorspace(&cinfo, encoding.jpeg_space);
  if (cinfo.jpeg_color_space == JCS_YCbCr && encoding.sampling != Sampling::k420) {
    cinfo.comp_info[0].h_samp_factor = encoding.sampling == Sampling::k444 ? 1 : 2;
    cinfo.comp_info[0].v_samp_factor = 1;
  }
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  const std::size_t stride = std::size_t(width) * encoding.components;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(samples + cinfo.next_scanline * stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  Bytes stream(out, out + out_size);
  std::free(out);
  return stream;
}

struct LibraryImage {
  int width = 0;
  int height = 0;
  int components = 0;
  Bytes samples;
};

// Decodes a whole stream with libjpeg's own memory source into the given output colour space.
inline LibraryImage library_decompress(const Bytes& stream, J_COLOR_SPACE out_space) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, stream.data(), stream.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = out_space;
  jpeg_start_decompress(&cinfo);
  LibraryImage image{static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height),
                     cinfo.output_components, {}};
  const std::size_t stride = std::size_t(image.width) * image.components;
  image.samples.resize(stride * image.height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = image.samples.data() + cinfo.output_scanline * stride;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return image;
}

// Random samples: noise, the hardest case for the coder and its output buffer.
inline Bytes noise(std::size_t count, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes samples(count);
  for (auto& sample : samples) sample = static_cast<unsigned char>(generator() >> 24);
  return samples;
}

// A smooth 4-byte image with some texture; the fourth bytes are random, as the codec ignores them.
inline Bytes photo(int width, int height, std::uint32_t seed = 7) {
  Bytes pixels = noise(std::size_t(width) * height * 4, seed);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      unsigned char* pixel = &pixels[(std::size_t(y) * width + x) * 4];
      pixel[0] = static_cast<unsigned char>((x * 255) / (width > 1 ? width - 1 : 1) / 2 + pixel[0] / 8);
      pixel[1] = static_cast<unsigned char>((y * 255) / (height > 1 ? height - 1 : 1) / 2 + pixel[1] / 8);
      pixel[2] = static_cast<unsigned char>(((x + y) * 3) % 200 + pixel[2] / 16);
    }
  }
  return pixels;
}

// The first three bytes of every 4-byte pixel.
inline Bytes rgb_of(const Bytes& pixels) {
  Bytes rgb;
  rgb.reserve(pixels.size() / 4 * 3);
  for (std::size_t i = 0; i < pixels.size(); i += 4) rgb.insert(rgb.end(), &pixels[i], &pixels[i] + 3);
  return rgb;
}

}  // namespace jpeg_test
