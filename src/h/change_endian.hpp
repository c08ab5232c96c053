// The host byte-order flag and the routines that turn records between file order (big-endian)
// and host order. Every routine works in place and is its own inverse; while endian_flag is 0
// (a big-endian host) they change nothing.
#pragma once

#include <cstdint>

#include "long_char.hpp"
#include "vxgraph.hpp"

extern char endian_flag;  // 1 on a little-endian host, 0 on a big-endian one (or before check_endian)

typedef union eds {
  int16_t a;
  char b[2];
} EDS;

typedef union edi {
  int32_t a;
  char b[4];
} EDI;

typedef union edf {
  REAL1 a;
  char b[4];
} EDF;

void check_endian();

void change_endian_vx_point(VX_POINT* p);
void change_endian_vx_rect(VX_RECT* r);
void change_endian_vx_color(VX_COLOR* c);
void change_endian_vx_time(VX_TIME* t);
void change_endian_l_char(L_CHAR* str);

// Field converters for the file formats' own headers and tables.
void change_endian_16(void* field);
void change_endian_32(void* field);
