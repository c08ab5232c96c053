// PNG images as a row source through libspng's progressive decoding: one row per call, in the
// format that needs the least conversion (8-bit RGB straight into place when the image is that).
// Interlaced images do not come row by row: they are decoded whole when that stays small. All
// libspng holds (the chunks it keeps, its rows, zlib's state) is counted against one bound.
#include <spng.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "row_source_internal.hpp"

namespace row_source_internal {
namespace {

// Everything libspng holds at once: the chunks it keeps, its rows, zlib's state. Its own limits on
// a chunk and on its cache of chunks, set to the same, leave some of these out (a text chunk is not
// held to the first), so its memory is counted here, by the allocator it is given. With the largest
// interlaced image (32 MiB), the bands and the tile cache, 6 MiB more keeps "-ir" within 64 MiB;
// libspng's rows take a few hundred KiB of it.
constexpr size_t kLibraryMemory = 6u << 20;

// ---- libspng's memory ----------------------------------------------------------------------------

// The bytes libspng holds for one source.
struct MemoryBudget {
  size_t live = 0;
  bool exceeded = false;  // an allocation was refused
};

// libspng's allocator takes no context: the budget of the source being worked on is the calling
// thread's, set by a Charging for the length of each call into libspng. Every block records its
// budget, so that it is released against it from any thread.
thread_local MemoryBudget* charged = nullptr;

struct alignas(std::max_align_t) BlockHeader {
  MemoryBudget* budget;
  size_t bytes;
};

class Charging {
 public:
  explicit Charging(MemoryBudget& budget) : previous_(charged) { charged = &budget; }
  ~Charging() { charged = previous_; }
  Charging(const Charging&) = delete;
  Charging& operator=(const Charging&) = delete;

 private:
  MemoryBudget* previous_;
};

// Counts one block of `budget` as `to` bytes instead of `from`; false, and the budget marked, when
// that would take it beyond the bound. Blocks made outside any Charging are not counted.
bool recount(MemoryBudget* budget, size_t from, size_t to) {
  if (budget == nullptr) return true;
  if (to > from && to - from > kLibraryMemory - budget->live) {
    budget->exceeded = true;
    return false;
  }
  budget->live = budget->live - from + to;
  return true;
}

bool fits_header(size_t bytes) { return bytes <= SIZE_MAX - sizeof(BlockHeader); }

void* charged_malloc(size_t bytes) {
  if (!fits_header(bytes) || !recount(charged, 0, bytes)) return nullptr;
  auto* block = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + bytes));
  if (block == nullptr) {
    recount(charged, bytes, 0);
    return nullptr;
  }
  *block = BlockHeader{charged, bytes};
  return block + 1;
}

void charged_free(void* data) {
  if (data == nullptr) return;
  BlockHeader* block = static_cast<BlockHeader*>(data) - 1;
  recount(block->budget, block->bytes, 0);
  std::free(block);
}

void* charged_realloc(void* data, size_t bytes) {
  if (data == nullptr) return charged_malloc(bytes);
  BlockHeader* block = static_cast<BlockHeader*>(data) - 1;
  const BlockHeader was = *block;
  if (!fits_header(bytes) || !recount(was.budget, was.bytes, bytes)) return nullptr;
  auto* moved = static_cast<BlockHeader*>(std::realloc(block, sizeof(BlockHeader) + bytes));
  if (moved == nullptr) {
    recount(was.budget, bytes, was.bytes);
    return nullptr;
  }
  moved->bytes = bytes;
  return moved + 1;
}

void* charged_calloc(size_t count, size_t size) {
  size_t bytes;
  if (__builtin_mul_overflow(count, size, &bytes)) return nullptr;
  void* data = charged_malloc(bytes);
  if (data != nullptr) std::memset(data, 0, bytes);
  return data;
}

spng_alloc kChargedAllocator = {charged_malloc, charged_realloc, charged_calloc, charged_free};

// ---- The source ----------------------------------------------------------------------------------

struct PngSource : ROW_SOURCE {
  ~PngSource() {
    if (ctx != nullptr) spng_ctx_free(ctx);
    if (file != nullptr) std::fclose(file);
  }

  // A failure of libspng: a file that ends early or cannot be read says so (an image stream that
  // ends before the last row counts as cut short); anything else is damage the library names.
  int failed(int code) {
    if (file != nullptr && std::ferror(file)) return source_failure("cannot read it: %s", std::strerror(errno));
    if (memory.exceeded || code == SPNG_ECHUNK_LIMITS)
      return source_failure("the PNG file's ancillary chunks need more than libspng may keep (at most %zu MiB)",
                            kLibraryMemory >> 20);
    if (code == SPNG_IO_EOF || code == SPNG_EIO || code == SPNG_EIDAT_TOO_SHORT || (file != nullptr && std::feof(file)))
      return source_failure("the PNG data are cut short");
    return source_failure("the PNG data are damaged: %s", spng_strerror(code));
  }

  int read(unsigned char* rgb, int rows);
  int read_interlaced(unsigned char* rgb, int rows);

  MemoryBudget memory;  // outlives ctx, whose blocks it counts
  spng_ctx* ctx = nullptr;
  FILE* file = nullptr;
  int fmt = 0;
  int flags = 0;
  bool interlaced = false;
  size_t decoded_row = 0;             // bytes of one row as libspng delivers it
  std::vector<unsigned char> row;     // one decoded row, unless it passes through
  std::vector<unsigned char> whole;   // an interlaced image, decoded at the first read
  int next_row = 0;
  std::unique_ptr<RowConverter> converter;
};

int PngSource::read(unsigned char* rgb, int rows) {
  Charging charging(memory);
  if (interlaced) return read_interlaced(rgb, rows);
  size_t pixel_row = static_cast<size_t>(width) * 3;
  for (int y = 0; y < rows; ++y, rgb += pixel_row, ++next_row) {
    unsigned char* into = converter->passes_through() ? rgb : row.data();
    int code = spng_decode_row(ctx, into, decoded_row);
    bool last = next_row == height - 1;
    if (code != 0 && !(last && code == SPNG_EOI)) return failed(code);
    if (!converter->passes_through()) converter->convert(into, rgb, width);
  }
  return 0;
}

int PngSource::read_interlaced(unsigned char* rgb, int rows) {
  if (whole.empty()) {
    whole.resize(decoded_row * static_cast<size_t>(height));
    int code = spng_decode_image(ctx, whole.data(), whole.size(), fmt, flags);
    if (code != 0) return failed(code);
  }
  size_t pixel_row = static_cast<size_t>(width) * 3;
  for (int y = 0; y < rows; ++y, rgb += pixel_row, ++next_row)
    converter->convert(whole.data() + decoded_row * static_cast<size_t>(next_row), rgb, width);
  return 0;
}

// The output format of libspng and the sample layout it gives: palettes expanded by the library,
// alpha (or a tRNS colour key) as RGBA to be composited, everything else as close to the file as
// the library delivers it (16-bit samples in host order).
SampleLayout choose_format(const spng_ihdr& ihdr, bool has_trns, int* fmt) {
  SampleLayout layout;
  const bool deep = ihdr.bit_depth == 16;
  const bool alpha = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                     ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA || has_trns;
  layout.bits = deep ? 16 : 8;
  layout.max = deep ? 65535 : 255;
  if (alpha) {
    *fmt = deep ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8;
    layout.stride = 4;
    layout.composite = true;
  } else if (ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE) {
    *fmt = deep ? SPNG_FMT_PNG : SPNG_FMT_G8;
    layout.stride = layout.colours = 1;
  } else {
    *fmt = deep ? SPNG_FMT_PNG : SPNG_FMT_RGB8;
  }
  return layout;
}

int channels_of(uint8_t color_type) {
  switch (color_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE: return 1;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA: return 2;
    case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA: return 4;
    default: return 3;  // colour, and palettes of colours
  }
}

// Reads the header chunks up to the image data and prepares the decoding; -1 with the reason.
int start(PngSource& s) {
  Charging charging(s.memory);
  s.ctx = spng_ctx_new2(&kChargedAllocator, 0);
  if (s.ctx == nullptr) return source_failure("out of memory");
  spng_set_chunk_limits(s.ctx, kLibraryMemory, kLibraryMemory);
  int code = spng_set_png_file(s.ctx, s.file);
  spng_ihdr ihdr{};
  if (code == 0) code = spng_get_ihdr(s.ctx, &ihdr);
  if (code != 0) return s.failed(code);
  if (!size_fits(ihdr.width, ihdr.height)) return -1;
  spng_trns trns{};
  code = spng_get_trns(s.ctx, &trns);
  if (code != 0 && code != SPNG_ECHUNKAVAIL) return s.failed(code);
  const bool has_trns = code == 0;

  SampleLayout layout = choose_format(ihdr, has_trns, &s.fmt);
  s.flags = has_trns ? SPNG_DECODE_TRNS : 0;
  s.width = static_cast<int>(ihdr.width);
  s.height = static_cast<int>(ihdr.height);
  s.channels = channels_of(ihdr.color_type);
  s.bits = ihdr.bit_depth;
  s.converter = std::make_unique<RowConverter>(layout);
  s.decoded_row = s.converter->row_bytes(s.width);
  s.interlaced = ihdr.interlace_method != SPNG_INTERLACE_NONE;
  if (s.interlaced) {
    long long bytes = static_cast<long long>(s.decoded_row) * s.height;
    if (bytes > kRowSourceBufferLimit)
      return source_failure(
          "interlaced PNG images come whole, not row by row, and this one needs %lld MiB (at most %lld)", bytes >> 20,
          kRowSourceBufferLimit >> 20);
    return 0;
  }
  if (!s.converter->passes_through()) s.row.resize(s.decoded_row);
  code = spng_decode_image(s.ctx, nullptr, 0, s.fmt, s.flags | SPNG_DECODE_PROGRESSIVE);
  return code == 0 ? 0 : s.failed(code);
}

}  // namespace

ROW_SOURCE* open_png_source(int fd) {
  return open_streamed<PngSource>(fd, "png", start);
}

}  // namespace row_source_internal
