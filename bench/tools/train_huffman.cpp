// Trains the Huffman tables of the efficient coding: counts the symbols of the JPEG blocks of CR
// files packed with it, by the class of their quantisation step, and prints the tables of each
// class (the optimal code lengths for those counts, every symbol a block may need present) as the
// header src/r64/file/cr_huffman_tables.hpp.
//   train_huffman FILE.cr... > src/r64/file/cr_huffman_tables.hpp    (bench/train-huffman.sh)
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
// jpeglib.h needs size_t and FILE first.
#include <jpeglib.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "r64/file/cr_internal.hpp"

namespace {

constexpr int kSymbols = 256;

using Counts = std::array<long, kSymbols>;

// The zigzag order in which coefficients are coded: their indices in natural order.
constexpr std::array<int, DCTSIZE2> kZigzag = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The symbols counted for one class: DC and AC, of brightness [0] and colour [1].
struct ClassCounts {
  Counts dc[2]{};
  Counts ac[2]{};
};

uint32_t big_endian(const std::string& bytes, size_t at, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

int magnitude_bits(int v) {
  int n = 0;
  for (v = v < 0 ? -v : v; v != 0; v >>= 1) ++n;
  return n;
}

// The symbols of one block of coefficients (natural order), its DC coded against `last_dc`.
void count_block(const JCOEF* block, int* last_dc, Counts& dc, Counts& ac) {
  dc[static_cast<size_t>(magnitude_bits(block[0] - *last_dc))]++;
  *last_dc = block[0];
  int run = 0;
  for (int k = 1; k < DCTSIZE2; ++k) {
    int v = block[kZigzag[static_cast<size_t>(k)]];
    if (v == 0) {
      ++run;
      continue;
    }
    for (; run > 15; run -= 16) ac[0xF0]++;
    ac[static_cast<size_t>(run << 4 | magnitude_bits(v))]++;
    run = 0;
  }
  if (run > 0) ac[0]++;
}

// Counts the symbols of one JPEG stream into the class of its step.
void count_stream(const std::string& stream, std::vector<ClassCounts>& counts) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(stream.data()), stream.size());
  jpeg_read_header(&cinfo, TRUE);
  jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&cinfo);
  ClassCounts& c = counts[static_cast<size_t>(cr_internal::huffman_class(cinfo.quant_tbl_ptrs[0]->quantval[1]))];
  for (int component = 0; component < cinfo.num_components; ++component) {
    jpeg_component_info* info = &cinfo.comp_info[component];
    const int kind = component == 0 ? 0 : 1;
    int last_dc = 0;
    for (JDIMENSION row = 0; row < info->height_in_blocks; ++row) {
      JBLOCKARRAY blocks = cinfo.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&cinfo), coefficients[component], row, 1, FALSE);
      for (JDIMENSION x = 0; x < info->width_in_blocks; ++x) count_block(blocks[0][x], &last_dc, c.dc[kind], c.ac[kind]);
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
}

// Every JPEG block of a CR file.
void count_file(const char* path, std::vector<ClassCounts>& counts) {
  std::ifstream in(path, std::ios::binary);
  const std::string cr((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const uint32_t entries = big_endian(cr, 12, 4);
  for (uint32_t i = 0; i < entries && 16 + 12 * static_cast<size_t>(i + 1) <= cr.size(); ++i) {
    const size_t at = 16 + 12 * static_cast<size_t>(i);
    const uint32_t ofs = big_endian(cr, at, 4), size = big_endian(cr, at + 8, 4);
    if (ofs != 0 && cr[at + 4] == 'j' && ofs + static_cast<size_t>(size) <= cr.size()) count_stream(cr.substr(ofs, size), counts);
  }
}

// Every symbol a block may need gets a count: a table must code whatever a block holds.
void make_complete(Counts& dc, Counts& ac) {
  for (int bits = 0; bits <= 11; ++bits) dc[static_cast<size_t>(bits)]++;
  for (int run = 0; run < 16; ++run)
    for (int bits = 1; bits <= 10; ++bits) ac[static_cast<size_t>(run << 4 | bits)]++;
  ac[0x00]++;
  ac[0xF0]++;
}

struct Table {
  std::array<int, 17> bits{};  // codes of each length 1..16
  std::vector<int> values;     // symbols by code length
};

// The optimal code lengths for the counts, at most 16 bits, no code of all ones (JPEG K.2).
Table optimal_table(const Counts& counts) {
  std::array<long, kSymbols + 1> freq{};
  std::copy(counts.begin(), counts.end(), freq.begin());
  freq[kSymbols] = 1;  // reserves the all-ones code
  std::array<int, kSymbols + 1> size{}, others;
  others.fill(-1);
  for (;;) {
    int c1 = -1, c2 = -1;
    for (int i = 0; i <= kSymbols; ++i)
      if (freq[i] > 0 && (c1 < 0 || freq[i] <= freq[c1])) c1 = i;
    for (int i = 0; i <= kSymbols; ++i)
      if (freq[i] > 0 && i != c1 && (c2 < 0 || freq[i] <= freq[c2])) c2 = i;
    if (c2 < 0) break;
    freq[c1] += freq[c2];
    freq[c2] = 0;
    for (++size[c1]; others[c1] >= 0; ++size[c1]) c1 = others[c1];
    others[c1] = c2;
    for (++size[c2]; others[c2] >= 0; ++size[c2]) c2 = others[c2];
  }
  std::array<int, 33> bits{};
  for (int i = 0; i <= kSymbols; ++i)
    if (size[i] > 0) bits[size[i]]++;
  for (int i = 32; i > 16; --i)
    while (bits[i] > 0) {
      int j = i - 2;
      while (bits[j] == 0) --j;
      bits[i] -= 2;
      bits[i - 1]++;
      bits[j + 1] += 2;
      bits[j]--;
    }
  int longest = 16;
  while (bits[longest] == 0) --longest;
  bits[longest]--;  // the reserved code
  Table t;
  std::copy(bits.begin(), bits.begin() + 17, t.bits.begin());
  for (int length = 1; length <= 32; ++length)
    for (int symbol = 0; symbol < kSymbols; ++symbol)
      if (size[symbol] == length) t.values.push_back(symbol);
  return t;
}

void print_table(const Table& t) {
  std::printf("{{");
  for (int i = 0; i < 17; ++i) std::printf("%s%d", i ? ", " : "", t.bits[static_cast<size_t>(i)]);
  std::printf("}, {");
  for (size_t i = 0; i < t.values.size(); ++i) std::printf("%s%s%d", i ? ", " : "", i % 24 == 23 ? "\n     " : "", t.values[i]);
  std::printf("}}");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: train_huffman FILE.cr... > cr_huffman_tables.hpp\n");
    return 1;
  }
  std::vector<ClassCounts> counts(cr_internal::kHuffmanClasses);
  for (int i = 1; i < argc; ++i) count_file(argv[i], counts);
  std::printf(
      "// The Huffman tables of the efficient coding, one set for each class of quantisation step (1,\n"
      "// 2-3, 4-7, ..., 128-255): the optimal codes for the symbols of the blocks of the bundled photos\n"
      "// and a mosaic of them, packed at qualities that give every class. Made by\n"
      "// bench/train-huffman.sh; do not edit.\n"
      "#pragma once\n\n#include \"cr_internal.hpp\"\n#include \"jpeg.hpp\"\n\nnamespace cr_internal {\n\n"
      "inline constexpr JPEG_HUFFMAN_SET kTrainedHuffman[kHuffmanClasses] = {\n");
  for (ClassCounts& c : counts) {
    std::printf("    {{");
    for (int kind = 0; kind < 2; ++kind) make_complete(c.dc[kind], c.ac[kind]);
    print_table(optimal_table(c.dc[0]));
    std::printf(",\n      ");
    print_table(optimal_table(c.dc[1]));
    std::printf("},\n     {");
    print_table(optimal_table(c.ac[0]));
    std::printf(",\n      ");
    print_table(optimal_table(c.ac[1]));
    std::printf("}},\n");
  }
  std::printf("};\n\n}  // namespace cr_internal\n");
  return 0;
}
