// Compresses rectangles of 4-byte pixels into JPEG streams held in memory and decodes them back,
// handing decoded rows to caller-supplied callbacks. libjpeg does the coding; a fatal error inside
// it jumps back to the call that started the work, which then fails instead of ending the process.
#include "jpeg.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "jmemorydatadst.hpp"
#include "scan_limit.hpp"
#include "r64_types.hpp"

namespace {

constexpr int kPixelBytes = 4;  // red, green, blue, fourth byte
constexpr int kGreyLevels = 256;

// ---- Error manager ------------------------------------------------------------------------------

// The library's standard error manager with a resume point: a fatal error leaves the library by a
// non-local jump to the setjmp of the call that started the work, without printing.
struct my_error_mgr {
  struct jpeg_error_mgr pub;
  std::jmp_buf resume;
};

[[noreturn]] void my_error_exit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<my_error_mgr*>(cinfo->err);
  std::longjmp(err->resume, 1);
}

// Warnings (corrupt data the library worked around) are counted, never printed: a caller that
// must not accept a damaged stream looks at the count.
void count_warning(j_common_ptr cinfo, int msg_level) {
  if (msg_level < 0) ++cinfo->err->num_warnings;
}

void discard_message(j_common_ptr) {}

jpeg_error_mgr* install_error_manager(my_error_mgr& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = my_error_exit;
  err.pub.emit_message = count_warning;
  err.pub.output_message = discard_message;
  return &err.pub;
}

// ---- Memory source hooks -------------------------------------------------------------------------

constexpr JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

mlibjpg_src_ptr src_of(j_decompress_ptr cinfo) { return reinterpret_cast<mlibjpg_src_ptr>(cinfo->src); }

void init_source(j_decompress_ptr cinfo) { src_of(cinfo)->start_of_file = TRUE; }

// The first request gets the whole stream. A later one means the library has used it up without
// meeting the end-of-image marker: it gets one, so a cut stream ends cleanly with what it has.
boolean fill_input_buffer(j_decompress_ptr cinfo) {
  mlibjpg_src_ptr src = src_of(cinfo);
  const bool first = src->start_of_file;
  src->start_of_file = FALSE;
  if (first && src->size > 0 && src->stream != nullptr) {
    src->pub.next_input_byte = static_cast<const JOCTET*>(src->stream);
    src->pub.bytes_in_buffer = static_cast<std::size_t>(src->size);
    return TRUE;
  }
  src->pub.next_input_byte = kEndOfImage;
  src->pub.bytes_in_buffer = sizeof kEndOfImage;
  return TRUE;
}

void skip_input_data(j_decompress_ptr cinfo, long num_bytes) {
  if (num_bytes <= 0) return;
  jpeg_source_mgr& pub = src_of(cinfo)->pub;
  while (num_bytes > static_cast<long>(pub.bytes_in_buffer)) {
    num_bytes -= static_cast<long>(pub.bytes_in_buffer);
    fill_input_buffer(cinfo);
  }
  pub.next_input_byte += num_bytes;
  pub.bytes_in_buffer -= static_cast<std::size_t>(num_bytes);
}

void term_source(j_decompress_ptr) {}

// ---- Compression ---------------------------------------------------------------------------------

// Everything a compression keeps across a fatal error lives here, outside the setjmp frame.
struct Compression {
  jpeg_compress_struct cinfo;
  my_error_mgr err;
  unsigned char* stream;  // the output block, kept current by the destination manager
};

void set_huffman_table(jpeg_compress_struct& cinfo, JHUFF_TBL** slot, const JPEG_HUFFMAN_TABLE& table) {
  if (*slot == nullptr) *slot = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(&cinfo));
  std::memcpy((*slot)->bits, table.bits, sizeof table.bits);
  std::memcpy((*slot)->huffval, table.values, sizeof table.values);
  (*slot)->sent_table = FALSE;
}

// Sets what jpeg_set_defaults left to the settings: tables, sampling, Huffman coding, JFIF.
void apply(jpeg_compress_struct& cinfo, const JPEG_SETTINGS& s) {
  if (s.table == nullptr) {
    jpeg_set_linear_quality(&cinfo, s.scale, TRUE);
  } else {
    std::array<unsigned int, DCTSIZE2> steps;
    std::copy(s.table, s.table + DCTSIZE2, steps.begin());
    jpeg_add_quant_table(&cinfo, 0, steps.data(), s.scale, TRUE);
    for (int c = 0; c < cinfo.num_components; ++c) cinfo.comp_info[c].quant_tbl_no = 0;
  }
  if (s.full_chroma)
    for (int c = 0; c < cinfo.num_components; ++c) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
  cinfo.optimize_coding = s.optimize_coding ? TRUE : FALSE;
  cinfo.write_JFIF_header = s.jfif ? TRUE : FALSE;
  if (s.huffman != nullptr) {
    for (int kind = 0; kind < 2; ++kind) {
      set_huffman_table(cinfo, &cinfo.dc_huff_tbl_ptrs[kind], s.huffman->dc[kind]);
      set_huffman_table(cinfo, &cinfo.ac_huff_tbl_ptrs[kind], s.huffman->ac[kind]);
    }
    cinfo.optimize_coding = FALSE;
  }
}

// Feeds the rows to the library one at a time; false if the library gave up. The fourth byte of
// each pixel is skipped by the library itself (JCS_EXT_RGBX), so rows go in without repacking.
bool compress_rows(Compression& job, const unsigned char* pixels, int width, int height, const JPEG_SETTINGS& settings) {
  if (setjmp(job.err.resume)) return false;
  jpeg_compress_struct& cinfo = job.cinfo;
  jpeg_create_compress(&cinfo);
  jpeg_memory_dest(&cinfo, &job.stream, nullptr);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = kPixelBytes;
  cinfo.in_color_space = JCS_EXT_RGBX;
  jpeg_set_defaults(&cinfo);
  apply(cinfo, settings);
  jpeg_start_compress(&cinfo, TRUE);
  const std::size_t stride = std::size_t{cinfo.image_width} * kPixelBytes;
  while (cinfo.next_scanline < cinfo.image_height) {
    // The library only reads input rows; its interface just does not say so.
    JSAMPROW row = const_cast<JSAMPROW>(pixels + cinfo.next_scanline * stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  return true;
}

// ---- Decompression -------------------------------------------------------------------------------

// Everything a decoding keeps across a fatal error lives here, outside the setjmp frame.
struct Decompression {
  jpeg_decompress_struct cinfo;
  my_error_mgr err;
  ScanLimit scans;                 // streams come from files: their scans are bounded
  bool clear_fourth_bytes = true;  // false: the caller ignores them
  LoadJPGInfo info;
  std::array<RGB4, kGreyLevels> grey_palette;
};

// Bits per pixel offered for the colours the library chose for the stream: 8 for grey, 24 for
// colour (RGB, or CMYK turned into RGB here), 0 when not decodable.
int offered_bpp(const jpeg_decompress_struct& cinfo) {
  if (cinfo.out_color_space == JCS_GRAYSCALE && cinfo.num_components == 1) return 8;
  if (cinfo.out_color_space == JCS_RGB && cinfo.num_components == 3) return 24;
  if (cinfo.out_color_space == JCS_CMYK && cinfo.num_components == 4) return 24;
  return 0;
}

// Tells the header callback what the stream holds; false if it cannot be or is not to be decoded.
// The palette offered for grey streams is only valid during the call.
bool offer_header(Decompression& job, LoadJPGHeaderCallback header_callback, void* data) {
  LoadJPGInfo& info = job.info;
  info = LoadJPGInfo{static_cast<int>(job.cinfo.image_width), static_cast<int>(job.cinfo.image_height),
                     offered_bpp(job.cinfo), 0, nullptr};
  if (info.bpp == 8) {
    for (int i = 0; i < kGreyLevels; ++i) {
      const auto level = static_cast<unsigned char>(i);
      job.grey_palette[i] = RGB4{level, level, level, 0};
    }
    info.num_palette = kGreyLevels;
    info.palette = job.grey_palette.data();
  }
  if (info.bpp != 0 && header_callback(&info, data) == 0) info.bpp = 0;
  info.palette = nullptr;
  return info.bpp != 0;
}

// The library writes red, green, blue and 0xFF; the fourth byte of a decoded pixel is 0.
void clear_fourth_bytes(unsigned char* row, JDIMENSION width) {
  // Whole pixels at a time, so that the loop runs on vectors.
  constexpr uint32_t kKeepColour = std::endian::native == std::endian::little ? 0x00FFFFFFu : 0xFFFFFF00u;
  for (JDIMENSION x = 0; x < width; ++x) {
    uint32_t pixel;
    std::memcpy(&pixel, row + x * kPixelBytes, kPixelBytes);
    pixel &= kKeepColour;
    std::memcpy(row + x * kPixelBytes, &pixel, kPixelBytes);
  }
}

void cmyk_to_rgb(const JSAMPLE* cmyk, unsigned char* rgb, JDIMENSION width) {
  for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, rgb += kPixelBytes) {
    const unsigned k = cmyk[3];
    rgb[0] = static_cast<unsigned char>(cmyk[0] * k / 255);
    rgb[1] = static_cast<unsigned char>(cmyk[1] * k / 255);
    rgb[2] = static_cast<unsigned char>(cmyk[2] * k / 255);
    rgb[3] = 0;
  }
}

// Decodes every row into the destination the read callback names. Grey and colour rows are
// decoded straight into it; CMYK rows go through one row of the library's image pool. False if the
// callback stops the decoding early. Runs under decode's setjmp, so it holds nothing to destroy.
bool read_rows(jpeg_decompress_struct& cinfo, bool clear_fourth, LoadJPGReadCallback read_callback, void* data) {
  JSAMPARRAY cmyk_row = nullptr;
  if (cinfo.out_color_space == JCS_CMYK) {
    cmyk_row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                          cinfo.output_width * cinfo.output_components, 1);
  }
  // The fourth bytes of a colour row are cleared one row later: reading back bytes the library
  // has only just stored in wide writes would stall on every pixel.
  unsigned char* uncleared = nullptr;
  auto clear_previous_row = [&] {
    if (uncleared != nullptr) clear_fourth_bytes(uncleared, cinfo.output_width);
    uncleared = nullptr;
  };
  while (cinfo.output_scanline < cinfo.output_height) {
    auto* dest = static_cast<unsigned char*>(read_callback(static_cast<int>(cinfo.output_scanline), data));
    if (dest == nullptr) {
      clear_previous_row();
      return false;
    }
    if (cmyk_row != nullptr) {
      jpeg_read_scanlines(&cinfo, cmyk_row, 1);
      cmyk_to_rgb(cmyk_row[0], dest, cinfo.output_width);
      continue;
    }
    JSAMPROW row = dest;
    jpeg_read_scanlines(&cinfo, &row, 1);
    clear_previous_row();
    if (clear_fourth && cinfo.out_color_space == JCS_EXT_RGBX) uncleared = dest;
  }
  clear_previous_row();
  jpeg_finish_decompress(&cinfo);
  return true;
}

// Runs one decoding; false if the stream is not decodable, was refused, or the library gave up.
bool decode(Decompression& job, const void* memory, int memory_size, LoadJPGHeaderCallback header_callback,
            LoadJPGReadCallback read_callback, void* data) {
  if (setjmp(job.err.resume)) return false;
  jpeg_create_decompress(&job.cinfo);
  jpeg_memory_src(&job.cinfo, memory, memory_size);
  jpeg_read_header(&job.cinfo, TRUE);
  jpeg_limit_scans(&job.cinfo, &job.scans);
  if (!offer_header(job, header_callback, data)) return false;
  // Colour comes out as 4-byte pixels, ready for the destination rows.
  if (job.cinfo.out_color_space == JCS_RGB) job.cinfo.out_color_space = JCS_EXT_RGBX;
  jpeg_start_decompress(&job.cinfo);
  // Data the library had to work around (a cut stream, a corrupt segment) is a failed decoding.
  return read_rows(job.cinfo, job.clear_fourth_bytes, read_callback, data) && job.err.pub.num_warnings == 0;
}

}  // namespace

// ---- Memory source -------------------------------------------------------------------------------

void jpeg_memory_src(j_decompress_ptr cinfo, const void* stream, int stream_size) {
  // One manager per decompression object, kept in its permanent pool; another kind is replaced.
  if (cinfo->src == nullptr || cinfo->src->init_source != init_source) {
    void* manager = (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT,
                                               sizeof(mlibjpg_source_mgr));
    cinfo->src = static_cast<jpeg_source_mgr*>(manager);
  }
  mlibjpg_src_ptr src = src_of(cinfo);
  src->pub.init_source = init_source;
  src->pub.fill_input_buffer = fill_input_buffer;
  src->pub.skip_input_data = skip_input_data;
  src->pub.resync_to_restart = jpeg_resync_to_restart;
  src->pub.term_source = term_source;
  src->pub.bytes_in_buffer = 0;
  src->pub.next_input_byte = nullptr;
  src->stream = stream;
  src->size = stream_size;
  src->count = 0;
  src->start_of_file = TRUE;
}

// ---- Public calls --------------------------------------------------------------------------------

int jpeg_quality_percent(int quality) { return jpeg_quality_scaling(quality); }

JPEG_SETTINGS jpeg_default_settings(int quality) {
  return JPEG_SETTINGS{jpeg_quality_percent(quality), 0, 0, 1, nullptr, nullptr};
}

unsigned char* jpeg_compress(int* ret_jpeg_length, const unsigned char* rgb_32bit_data, int image_width,
                             int image_height, int quality) {
  const JPEG_SETTINGS settings = jpeg_default_settings(quality);
  return jpeg_compress_with(ret_jpeg_length, rgb_32bit_data, image_width, image_height, &settings);
}

unsigned char* jpeg_compress_with(int* ret_jpeg_length, const unsigned char* rgb_32bit_data, int image_width,
                                  int image_height, const JPEG_SETTINGS* settings) {
  if (ret_jpeg_length != nullptr) *ret_jpeg_length = 0;
  if (ret_jpeg_length == nullptr || rgb_32bit_data == nullptr || settings == nullptr || image_width <= 0 ||
      image_height <= 0) {
    return nullptr;
  }
  Compression job{};
  job.cinfo.err = install_error_manager(job.err);
  const bool compressed = compress_rows(job, rgb_32bit_data, image_width, image_height, *settings);
  const int length = compressed ? get_jpeg_compressed_size(&job.cinfo) : 0;
  jpeg_destroy_compress(&job.cinfo);
  if (!compressed) {
    std::free(job.stream);
    return nullptr;
  }
  *ret_jpeg_length = length;
  // The stream was given room for the whole image; callers keep many streams at once, so it is
  // copied into a block of its size. Copied, not shrunk in place: a room too large for the heap
  // is mapped on its own, and a mapping shrunk stays one, made and unmade for every stream; freed
  // whole, it tells the allocator to keep rooms of that size, and every later stream's, on its heap.
  auto* fitted = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(length)));
  if (fitted == nullptr) return job.stream;
  std::memcpy(fitted, job.stream, static_cast<size_t>(length));
  std::free(job.stream);
  return fitted;
}

int LoadJPGFromMemory(const void* memory, int memory_size, LoadJPGHeaderCallback header_callback,
                      LoadJPGReadCallback read_callback, void* data) {
  if (header_callback == nullptr || read_callback == nullptr) return 0;
  Decompression job{};
  job.cinfo.err = install_error_manager(job.err);
  const bool decoded = decode(job, memory, memory_size, header_callback, read_callback, data);
  jpeg_destroy_decompress(&job.cinfo);
  return decoded ? 1 : 0;
}

int HeaderCallback(LoadJPGInfo* info, void* data) {
  auto* target = static_cast<CallbackInfo*>(data);
  // Streams here are rectangles of CR files: a frame larger than the largest of them is damage,
  // and must not make the decoder allocate what it claims.
  if (info->bpp != 24 || info->width > kMaxRectSide || info->height > kMaxRectSide) return 0;
  const std::size_t bytes = std::size_t(info->width) * std::size_t(info->height) * kPixelBytes;
  target->dib = static_cast<unsigned char*>(std::calloc(bytes, 1));
  target->width = info->width;
  target->height = info->height;
  return target->dib != nullptr ? 1 : 0;
}

void* ReadCallback(int line_number, void* data) {
  auto* target = static_cast<CallbackInfo*>(data);
  return target->dib + std::size_t(line_number) * std::size_t(target->width) * kPixelBytes;
}

unsigned char* jpeg_uncompress(int* ret_width, int* ret_height, const unsigned char* jpeg_data, int jpeg_length) {
  CallbackInfo info{};
  const int loaded = LoadJPGFromMemory(jpeg_data, jpeg_length, HeaderCallback, ReadCallback, &info);
  if (ret_width != nullptr) *ret_width = info.width;
  if (ret_height != nullptr) *ret_height = info.height;
  if (loaded == 0) {
    std::free(info.dib);
    return nullptr;
  }
  return info.dib;
}

namespace {

// The caller's buffer of exactly the expected size, which the stream must fill.
struct FixedTarget {
  unsigned char* pixels;
  int width;
  int height;
};

int accept_expected_size(LoadJPGInfo* info, void* data) {
  const auto* target = static_cast<const FixedTarget*>(data);
  return info->bpp == 24 && info->width == target->width && info->height == target->height ? 1 : 0;
}

void* fixed_row(int line_number, void* data) {
  const auto* target = static_cast<const FixedTarget*>(data);
  return target->pixels + std::size_t(line_number) * std::size_t(target->width) * kPixelBytes;
}

}  // namespace

bool jpeg_uncompress_into(const unsigned char* jpeg_data, int jpeg_length, int width, int height,
                          unsigned char* pixels) {
  if (jpeg_data == nullptr || jpeg_length <= 0 || pixels == nullptr) return false;
  FixedTarget target{pixels, width, height};
  Decompression job{};
  job.cinfo.err = install_error_manager(job.err);
  job.clear_fourth_bytes = false;
  const bool decoded = decode(job, jpeg_data, jpeg_length, accept_expected_size, fixed_row, &target);
  jpeg_destroy_decompress(&job.cinfo);
  return decoded;
}
