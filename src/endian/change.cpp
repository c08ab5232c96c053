// Reverses the byte order of record fields in place, through the byte-order unions. Float fields
// move as raw 4-byte patterns: a reversed pattern need not be a valid number.
#include <cstring>
#include <utility>

#include "change_endian.hpp"

namespace {

template <typename Union>
void reverse_field(void* field) {
  Union u;
  std::memcpy(u.b, field, sizeof u.b);
  for (int i = 0, j = sizeof u.b - 1; i < j; ++i, --j) std::swap(u.b[i], u.b[j]);
  std::memcpy(field, u.b, sizeof u.b);
}

}  // namespace

void change_endian_16(void* field) {
  if (endian_flag) reverse_field<EDS>(field);
}

void change_endian_32(void* field) {
  if (endian_flag) reverse_field<EDI>(field);
}

void change_endian_vx_point(VX_POINT* p) {
  if (!endian_flag) return;
  reverse_field<EDF>(&p->x);
  reverse_field<EDF>(&p->y);
}

void change_endian_vx_rect(VX_RECT* r) {
  change_endian_vx_point(&r->tl);
  change_endian_vx_point(&r->br);
}

void change_endian_vx_color(VX_COLOR* c) {
  if (!endian_flag) return;
  reverse_field<EDF>(&c->r);
  reverse_field<EDF>(&c->g);
  reverse_field<EDF>(&c->b);
  reverse_field<EDF>(&c->t);
}

void change_endian_vx_time(VX_TIME* t) {
  if (endian_flag) reverse_field<EDF>(&t->year);
}

void change_endian_l_char(L_CHAR* str) {
  if (!endian_flag) return;
  // 0 reads the same in both orders, so the end test is made before converting.
  for (; *str != 0; ++str) reverse_field<EDI>(str);
}
