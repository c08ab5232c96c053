// Memory destination manager: libjpeg writes the compressed stream into one malloc'd block that
// starts at the size of the uncompressed 32-bit image and doubles whenever it fills up, so no byte
// is ever lost. The block is handed to the caller, who releases it with free().
#include "jmemorydatadst.hpp"

#include <climits>
#include <cstdlib>

#include <jerror.h>

namespace {

// Blocks never grow past what an int length can describe.
constexpr std::size_t kMaxCapacity = INT_MAX;

my_dest_ptr dest_of(j_compress_ptr cinfo) { return reinterpret_cast<my_dest_ptr>(cinfo->dest); }

void use_block(my_dest_ptr dest, unsigned char* block, std::size_t capacity, std::size_t used) {
  dest->buffer = block;
  dest->capacity = capacity;
  *dest->ppBuffer = block;
  dest->pub.next_output_byte = block + used;
  dest->pub.free_in_buffer = capacity - used;
}

void init_destination(j_compress_ptr cinfo) {
  const std::size_t pixels = std::size_t{cinfo->image_width} * cinfo->image_height;
  const std::size_t capacity = pixels > 0 && pixels <= kMaxCapacity / 4 ? pixels * 4 : kMaxCapacity;
  auto* block = static_cast<unsigned char*>(std::malloc(capacity));
  if (block == nullptr) {
    ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    return;
  }
  use_block(dest_of(cinfo), block, capacity, 0);
}

// Called when the block is full: double it, keeping every byte written so far. The library may
// call it with next_output_byte and free_in_buffer out of date; the whole block is in use.
boolean empty_output_buffer(j_compress_ptr cinfo) {
  my_dest_ptr dest = dest_of(cinfo);
  const std::size_t used = dest->capacity;
  const std::size_t capacity = dest->capacity < kMaxCapacity / 2 ? dest->capacity * 2 : kMaxCapacity;
  if (capacity <= used) {
    ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    return FALSE;
  }
  // On failure the old block stays in dest->buffer, where the caller still finds and frees it.
  auto* block = static_cast<unsigned char*>(std::realloc(dest->buffer, capacity));
  if (block == nullptr) {
    ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    return FALSE;
  }
  use_block(dest, block, capacity, used);
  return TRUE;
}

// The stream stays in the block for the caller.
void term_destination(j_compress_ptr) {}

}  // namespace

void jpeg_memory_dest(j_compress_ptr cinfo, unsigned char** ppBuffer, int* pWritten) {
  // One manager per compression object, kept in its permanent pool; another kind is replaced.
  if (cinfo->dest == nullptr || cinfo->dest->init_destination != init_destination) {
    void* manager = (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT,
                                               sizeof(my_destination_mgr));
    cinfo->dest = static_cast<jpeg_destination_mgr*>(manager);
  }
  my_dest_ptr dest = dest_of(cinfo);
  dest->pub.init_destination = init_destination;
  dest->pub.empty_output_buffer = empty_output_buffer;
  dest->pub.term_destination = term_destination;
  dest->pub.next_output_byte = nullptr;
  dest->pub.free_in_buffer = 0;
  dest->ppBuffer = ppBuffer;
  dest->pWritten = pWritten;
  dest->buffer = nullptr;
  dest->capacity = 0;
}

int get_jpeg_compressed_size(j_compress_ptr cinfo) {
  my_dest_ptr dest = dest_of(cinfo);
  if (dest == nullptr || dest->buffer == nullptr) return 0;
  return static_cast<int>(dest->capacity - dest->pub.free_in_buffer);
}
