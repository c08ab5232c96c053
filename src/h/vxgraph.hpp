// Geometry, colour and time records shared with other programs; stored big-endian in files.
#pragma once

typedef float REAL1;  // 32-bit IEEE 754 single precision
static_assert(sizeof(REAL1) == 4);

typedef struct vx_point {
  REAL1 x;
  REAL1 y;
} VX_POINT;

typedef struct vx_rect {
  VX_POINT tl;  // top-left corner
  VX_POINT br;  // bottom-right corner
} VX_RECT;

typedef struct vx_color {
  REAL1 r;
  REAL1 g;
  REAL1 b;
  REAL1 t;
} VX_COLOR;

typedef struct vx_time {
  REAL1 year;
  char month;
  char date;
  char day;
  char hour;
  char min;
  char sec;
} VX_TIME;
