// Writes a map-like P6 test image of any size, the same bytes on every run: land-use parcels in
// flat colours (fields, meadows, forest, built-up blocks with buildings, lakes) with hedges along
// their borders, a meandering river, roads of four classes drawn as anti-aliased strokes over
// their casings, place names and road numbers in a scaled 5 x 7 bitmap font with a white halo,
// and a few levels of sample noise, as a scan of a printed map has. Rows are made and written one
// at a time from lists of shapes, so memory stays small whatever the size.
//   make_map OUT.ppm WIDTH HEIGHT
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Rgb {
  float r, g, b;
};

// Shapes are listed per band of rows, so a row looks only at those that may touch it.
constexpr int kBand = 256;
constexpr int kParcel = 640;  // mean side of a land-use parcel
constexpr double kPi = 3.14159265358979323846;

// Deterministic pseudo-random numbers (SplitMix64): the same image on every machine and library.
uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

uint64_t hash2(int64_t a, int64_t b, uint64_t salt) {
  return mix(mix(static_cast<uint64_t>(a) ^ (salt << 40)) ^ static_cast<uint64_t>(b));
}

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() { return mix(state_++); }
  double uniform() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
  double between(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }

 private:
  uint64_t state_;
};

// ---- Land use: a Voronoi partition of jittered seeds, one class per parcel.

enum class Land { kFarmland, kMeadow, kForest, kGrass, kResidential, kIndustrial, kLake };

const Rgb kLandColour[] = {
    {238, 240, 213}, {205, 235, 176}, {173, 209, 158}, {207, 236, 168},
    {224, 223, 223}, {235, 219, 232}, {170, 211, 223},
};
constexpr Rgb kHedge = {150, 178, 128};
constexpr Rgb kBuilding = {217, 208, 201};
constexpr Rgb kBuildingEdge = {196, 182, 171};
constexpr Rgb kWater = {170, 211, 223};
constexpr Rgb kBank = {120, 170, 200};

Land land_of_parcel(int64_t cx, int64_t cy) {
  static constexpr Land kWeights[] = {Land::kFarmland, Land::kFarmland, Land::kFarmland, Land::kMeadow,
                                      Land::kMeadow,   Land::kForest,   Land::kForest,   Land::kGrass,
                                      Land::kResidential, Land::kResidential, Land::kIndustrial, Land::kLake};
  return kWeights[hash2(cx, cy, 1) % std::size(kWeights)];
}

void parcel_seed(int64_t cx, int64_t cy, double* sx, double* sy) {
  uint64_t h = hash2(cx, cy, 2);
  *sx = (static_cast<double>(cx) + 0.15 + 0.7 * static_cast<double>(h & 0xffff) / 65535.0) * kParcel;
  *sy = (static_cast<double>(cy) + 0.15 + 0.7 * static_cast<double>((h >> 16) & 0xffff) / 65535.0) * kParcel;
}

struct ParcelHit {
  Land land;
  double border;  // distance in pixels to the nearest border with another parcel
};

ParcelHit nearest_parcel(double x, double y) {
  int64_t gx = static_cast<int64_t>(std::floor(x / kParcel));
  int64_t gy = static_cast<int64_t>(std::floor(y / kParcel));
  double best = 1e300, second = 1e300;
  double bx = 0, by = 0, ox = 0, oy = 0;
  int64_t bcx = gx, bcy = gy;
  for (int64_t cy = gy - 1; cy <= gy + 1; ++cy)
    for (int64_t cx = gx - 1; cx <= gx + 1; ++cx) {
      double sx, sy;
      parcel_seed(cx, cy, &sx, &sy);
      double d = (x - sx) * (x - sx) + (y - sy) * (y - sy);
      if (d < best) {
        second = best, ox = bx, oy = by;
        best = d, bx = sx, by = sy, bcx = cx, bcy = cy;
      } else if (d < second) {
        second = d, ox = sx, oy = sy;
      }
    }
  // Distance to the bisector of the two nearest seeds: where the hedge runs.
  double gap = std::hypot(ox - bx, oy - by);
  return {land_of_parcel(bcx, bcy), (second - best) / (2.0 * gap)};
}

// Buildings on a grid of lots inside built-up parcels: a rectangle set back from each lot's sides.
const Rgb* building_at(int x, int y) {
  constexpr int kLotW = 44, kLotH = 34;
  int lx = x / kLotW, ly = y / kLotH;
  uint64_t h = hash2(lx, ly, 3);
  if (h % 7 == 0) return nullptr;  // an empty lot
  int left = 5 + static_cast<int>(h >> 8 & 7), right = kLotW - 5 - static_cast<int>(h >> 12 & 7);
  int top = 5 + static_cast<int>(h >> 16 & 5), bottom = kLotH - 5 - static_cast<int>(h >> 20 & 5);
  int px = x % kLotW, py = y % kLotH;
  if (px < left || px >= right || py < top || py >= bottom) return nullptr;
  bool edge = px == left || px == right - 1 || py == top || py == bottom - 1;
  return edge ? &kBuildingEdge : &kBuilding;
}

Rgb land_colour(int x, int y) {
  ParcelHit hit = nearest_parcel(x + 0.5, y + 0.5);
  bool built = hit.land == Land::kResidential || hit.land == Land::kIndustrial;
  if (hit.border < 1.2 && !built && hit.land != Land::kLake) return kHedge;
  if (built && hit.border > 8)
    if (const Rgb* building = building_at(x, y)) return *building;
  return kLandColour[static_cast<int>(hit.land)];
}

// ---- The river: a band around a sum of sines, with a darker bank line.

struct River {
  double base, amp1, len1, amp2, len2, phase, width;
  double centre(double x) const {
    return base + amp1 * std::sin(x / len1) + amp2 * std::sin(x / len2 + phase);
  }
};

River make_river(int width, int height, Random* random) {
  River river{};
  river.base = height * random->between(0.3, 0.7);
  river.amp1 = height * 0.08;
  river.len1 = width / random->between(6.0, 9.0);
  river.amp2 = height * 0.02;
  river.len2 = width / random->between(25.0, 35.0);
  river.phase = random->between(0, 2 * kPi);
  river.width = 26;
  return river;
}

// ---- Roads: random-walk polylines of short segments, so a row meets few of them.

struct RoadClass {
  float half_width;  // of the fill, pixels
  float casing;      // width of the casing on each side
  Rgb fill, edge;
  int count_per_megapixel10;  // roads per 10 megapixels
  double turn;                // largest change of heading per step, radians
};

const RoadClass kRoadClasses[] = {
    {2.5f, 1.2f, {255, 255, 255}, {170, 170, 170}, 60, 0.35},  // minor
    {4.0f, 1.5f, {247, 250, 191}, {160, 160, 110}, 14, 0.20},  // secondary
    {5.5f, 1.8f, {252, 214, 164}, {160, 107, 0}, 6, 0.12},     // primary
    {7.5f, 2.2f, {232, 146, 162}, {194, 78, 107}, 3, 0.06},    // motorway
};
constexpr int kRoadClassCount = static_cast<int>(std::size(kRoadClasses));

struct Segment {
  float x0, y0, x1, y1;
};

struct Point {
  double x, y;
};

struct Shield {  // a road number and where it goes
  Point at;
  char prefix;   // 'M' for motorways, 'A' for primary roads
};

std::vector<Point> walk_road(int width, int height, double turn, Random* random) {
  std::vector<Point> points;
  Point p{random->between(0, width), random->between(0, height)};
  double heading = random->between(0, 2 * kPi);
  int steps = 20 + random->below(60);
  for (int i = 0; i <= steps; ++i) {
    points.push_back(p);
    heading += random->between(-turn, turn);
    p.x += 120 * std::cos(heading);
    p.y += 120 * std::sin(heading);
    if (p.x < -200 || p.y < -200 || p.x > width + 200 || p.y > height + 200) break;
  }
  return points;
}

// Segments of one road class, listed under every band of rows their stroke may touch.
using Bands = std::vector<std::vector<Segment>>;

void add_segment(Bands* bands, const Segment& s, float reach, int height) {
  int top = static_cast<int>(std::floor(std::min(s.y0, s.y1) - reach));
  int bottom = static_cast<int>(std::ceil(std::max(s.y0, s.y1) + reach));
  for (int band = std::max(top, 0) / kBand; band <= std::min(bottom, height - 1) / kBand; ++band)
    (*bands)[static_cast<size_t>(band)].push_back(s);
}

struct Label {
  int x, y, w, h;
  std::vector<unsigned char> mask;  // 0 nothing, 1 halo, 2 ink
  Rgb ink;
};

std::vector<Shield> make_roads(int width, int height, std::vector<Bands>* roads, Random* random) {
  std::vector<Shield> shields;
  double megapixels10 = static_cast<double>(width) * height / 1e7;
  int bands = (height + kBand - 1) / kBand;
  roads->assign(kRoadClassCount, Bands(static_cast<size_t>(bands)));
  for (int c = 0; c < kRoadClassCount; ++c) {
    const RoadClass& rc = kRoadClasses[c];
    int count = std::max(1, static_cast<int>(rc.count_per_megapixel10 * megapixels10));
    for (int i = 0; i < count; ++i) {
      std::vector<Point> road = walk_road(width, height, rc.turn, random);
      for (size_t k = 1; k < road.size(); ++k) {
        Segment s{static_cast<float>(road[k - 1].x), static_cast<float>(road[k - 1].y),
                  static_cast<float>(road[k].x), static_cast<float>(road[k].y)};
        add_segment(&(*roads)[static_cast<size_t>(c)], s, rc.half_width + rc.casing + 1, height);
        if (c >= 2 && k % 12 == 6) shields.push_back({road[k], c == 3 ? 'M' : 'A'});
      }
    }
  }
  return shields;
}

float distance_to_segment(float px, float py, const Segment& s) {
  float dx = s.x1 - s.x0, dy = s.y1 - s.y0;
  float length2 = dx * dx + dy * dy;
  float t = length2 > 0 ? ((px - s.x0) * dx + (py - s.y0) * dy) / length2 : 0;
  t = std::clamp(t, 0.0f, 1.0f);
  float ex = s.x0 + t * dx - px, ey = s.y0 + t * dy - py;
  return std::sqrt(ex * ex + ey * ey);
}

// ---- Text: a 5 x 7 bitmap font, rows top to bottom, bit 4 the leftmost column.

constexpr int kGlyphW = 5, kGlyphH = 7;

const std::array<unsigned char, kGlyphH>& glyph(char c) {
  static constexpr std::array<unsigned char, kGlyphH> kLetters[26] = {
      {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}, {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E},
      {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}, {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E},
      {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}, {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10},
      {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}, {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11},
      {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}, {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C},
      {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}, {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F},
      {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}, {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11},
      {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}, {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10},
      {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}, {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11},
      {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}, {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04},
      {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}, {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04},
      {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}, {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11},
      {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F},
  };
  static constexpr std::array<unsigned char, kGlyphH> kDigits[10] = {
      {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
      {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
      {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
      {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
      {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
  };
  static constexpr std::array<unsigned char, kGlyphH> kDash = {0, 0, 0, 0x1F, 0, 0, 0};
  static constexpr std::array<unsigned char, kGlyphH> kBlank = {0, 0, 0, 0, 0, 0, 0};
  if (c >= 'A' && c <= 'Z') return kLetters[c - 'A'];
  if (c >= '0' && c <= '9') return kDigits[c - '0'];
  return c == '-' ? kDash : kBlank;
}

bool ink_at(const std::string& text, int scale, int x, int y) {
  int advance = (kGlyphW + 1) * scale;
  size_t index = static_cast<size_t>(x / advance);
  int gx = (x % advance) / scale, gy = y / scale;
  if (index >= text.size() || gx >= kGlyphW || gy >= kGlyphH) return false;
  return (glyph(text[index])[static_cast<size_t>(gy)] >> (kGlyphW - 1 - gx) & 1) != 0;
}

// The label's pixels, worked out once: its ink, and a halo of kHalo pixels around it.
Label render_label(const std::string& text, int scale, int x, int y, Rgb ink) {
  constexpr int kHalo = 2;
  Label label{x - kHalo, y - kHalo, static_cast<int>(text.size()) * (kGlyphW + 1) * scale + 2 * kHalo,
              kGlyphH * scale + 2 * kHalo, {}, ink};
  label.mask.assign(static_cast<size_t>(label.w) * label.h, 0);
  for (int ly = 0; ly < label.h; ++ly)
    for (int lx = 0; lx < label.w; ++lx) {
      unsigned char& m = label.mask[static_cast<size_t>(ly) * label.w + lx];
      for (int dy = -kHalo; dy <= kHalo && m < 2; ++dy)
        for (int dx = -kHalo; dx <= kHalo; ++dx) {
          int tx = lx - kHalo + dx, ty = ly - kHalo + dy;
          if (tx < 0 || ty < 0 || !ink_at(text, scale, tx, ty)) continue;
          m = dx == 0 && dy == 0 ? 2 : std::max<unsigned char>(m, 1);
        }
    }
  return label;
}

std::string place_name(Random* random) {
  static const char* const kHeads[] = {"ASH",  "BRAM", "CROSS", "DALE", "ELM",  "FOX",  "GRAN",
                                       "HAW",  "KIRK", "LANG",  "MOOR", "NOR",  "OAK",  "RED",
                                       "STAN", "THORN", "WEST", "WHIT", "BARN", "COLD"};
  static const char* const kTails[] = {"FORD", "HAM",  "LEY",   "TON",   "WICK", "BURY", "FIELD",
                                       "GATE", "HOLM", "THORPE", "STEAD", "WELL", "COMBE", "BY"};
  static const char* const kExtras[] = {"", "", "", "", "UPPER ", "NEW ", "LITTLE ", "GREAT "};
  std::string name = kExtras[random->below(static_cast<int>(std::size(kExtras)))];
  name += kHeads[random->below(static_cast<int>(std::size(kHeads)))];
  name += kTails[random->below(static_cast<int>(std::size(kTails)))];
  if (random->below(6) == 0) name += random->below(2) ? " MILL" : " FARM";
  return name;
}

using LabelBands = std::vector<std::vector<size_t>>;

void add_label(std::vector<Label>* labels, LabelBands* bands, Label label, int height) {
  size_t index = labels->size();
  int first = std::max(label.y, 0) / kBand, last = std::min(label.y + label.h, height) / kBand;
  for (int band = first; band <= last && band < static_cast<int>(bands->size()); ++band)
    (*bands)[static_cast<size_t>(band)].push_back(index);
  labels->push_back(std::move(label));
}

void make_labels(int width, int height, const std::vector<Shield>& shields, std::vector<Label>* labels,
                 LabelBands* bands, Random* random) {
  bands->assign(static_cast<size_t>((height + kBand - 1) / kBand), {});
  int names = std::max(4, static_cast<int>(static_cast<double>(width) * height / 450000));
  for (int i = 0; i < names; ++i) {
    int scale = 2 + random->below(3);
    Rgb ink = random->below(5) == 0 ? Rgb{70, 110, 165} : Rgb{51, 51, 51};
    add_label(labels, bands,
              render_label(place_name(random), scale, random->below(width), random->below(height), ink), height);
  }
  for (const Shield& shield : shields) {
    std::string number = shield.prefix + std::to_string(1 + random->below(999));
    int x = static_cast<int>(shield.at.x) - 12, y = static_cast<int>(shield.at.y) - 7;
    add_label(labels, bands, render_label(number, 2, x, y, {90, 40, 20}), height);
  }
}

// ---- Compositing one row.

struct Map {
  int width, height;
  River river;
  std::vector<Bands> roads;  // per class
  std::vector<Label> labels;
  LabelBands label_bands;
};

void blend(Rgb* pixel, const Rgb& colour, float cover) {
  pixel->r += (colour.r - pixel->r) * cover;
  pixel->g += (colour.g - pixel->g) * cover;
  pixel->b += (colour.b - pixel->b) * cover;
}

// Coverage of a pixel by a stroke reaching `radius`, from its distance: a one-pixel ramp.
float cover(float radius, float distance) { return std::clamp(radius + 0.5f - distance, 0.0f, 1.0f); }

void draw_land(const Map& map, int y, std::vector<Rgb>* row) {
  for (int x = 0; x < map.width; ++x) (*row)[static_cast<size_t>(x)] = land_colour(x, y);
}

void draw_river(const Map& map, int y, std::vector<Rgb>* row) {
  for (int x = 0; x < map.width; ++x) {
    double offset = std::abs(y + 0.5 - map.river.centre(x + 0.5));
    double half = map.river.width * (1.0 + 0.3 * std::sin(x / 900.0));
    Rgb& pixel = (*row)[static_cast<size_t>(x)];
    blend(&pixel, kBank, cover(static_cast<float>(half + 1.5), static_cast<float>(offset)));
    blend(&pixel, kWater, cover(static_cast<float>(half), static_cast<float>(offset)));
  }
}

void draw_road_class(const Map& map, int c, int y, std::vector<float>* nearest, std::vector<Rgb>* row) {
  const RoadClass& rc = kRoadClasses[c];
  float reach = rc.half_width + rc.casing + 1;
  std::fill(nearest->begin(), nearest->end(), 1e9f);
  float py = y + 0.5f;
  for (const Segment& s : map.roads[static_cast<size_t>(c)][static_cast<size_t>(y / kBand)]) {
    if (py < std::min(s.y0, s.y1) - reach || py > std::max(s.y0, s.y1) + reach) continue;
    int left = std::max(0, static_cast<int>(std::min(s.x0, s.x1) - reach));
    int right = std::min(map.width - 1, static_cast<int>(std::max(s.x0, s.x1) + reach));
    for (int x = left; x <= right; ++x) {
      float& d = (*nearest)[static_cast<size_t>(x)];
      d = std::min(d, distance_to_segment(x + 0.5f, py, s));
    }
  }
  for (int x = 0; x < map.width; ++x) {
    float d = (*nearest)[static_cast<size_t>(x)];
    if (d > reach) continue;
    Rgb& pixel = (*row)[static_cast<size_t>(x)];
    blend(&pixel, rc.edge, cover(rc.half_width + rc.casing, d));
    blend(&pixel, rc.fill, cover(rc.half_width, d));
  }
}

void draw_labels(const Map& map, int y, std::vector<Rgb>* row) {
  static constexpr Rgb kHaloColour = {255, 255, 255};
  for (size_t index : map.label_bands[static_cast<size_t>(y / kBand)]) {
    const Label& label = map.labels[index];
    if (y < label.y || y >= label.y + label.h) continue;
    for (int lx = 0; lx < label.w; ++lx) {
      int x = label.x + lx;
      if (x < 0 || x >= map.width) continue;
      unsigned char m = label.mask[static_cast<size_t>(y - label.y) * label.w + lx];
      if (m != 0) (*row)[static_cast<size_t>(x)] = m == 2 ? label.ink : kHaloColour;
    }
  }
}

// A few levels of noise on every sample, from the pixel's own hash: -2 to +2, mostly near 0.
int scan_noise(int x, int y, int channel) {
  uint64_t h = hash2(x, y, 4) >> (channel * 8);
  return static_cast<int>(h & 3) % 3 + static_cast<int>(h >> 2 & 3) % 3 - 2;
}

void pack_row(const std::vector<Rgb>& row, int y, std::vector<unsigned char>* bytes) {
  for (size_t x = 0; x < row.size(); ++x) {
    const float samples[3] = {row[x].r, row[x].g, row[x].b};
    for (int c = 0; c < 3; ++c) {
      int v = static_cast<int>(std::lround(samples[c])) + scan_noise(static_cast<int>(x), y, c);
      (*bytes)[x * 3 + static_cast<size_t>(c)] = static_cast<unsigned char>(std::clamp(v, 0, 255));
    }
  }
}

Map make_map(int width, int height) {
  Random random(20240611);
  Map map{width, height, make_river(width, height, &random), {}, {}, {}};
  std::vector<Shield> shields = make_roads(width, height, &map.roads, &random);
  make_labels(width, height, shields, &map.labels, &map.label_bands, &random);
  return map;
}

bool write_map(const Map& map, FILE* out) {
  std::fprintf(out, "P6\n%d %d\n255\n", map.width, map.height);
  std::vector<Rgb> row(static_cast<size_t>(map.width));
  std::vector<float> nearest(static_cast<size_t>(map.width));
  std::vector<unsigned char> bytes(static_cast<size_t>(map.width) * 3);
  for (int y = 0; y < map.height; ++y) {
    draw_land(map, y, &row);
    draw_river(map, y, &row);
    for (int c = 0; c < kRoadClassCount; ++c) draw_road_class(map, c, y, &nearest, &row);
    draw_labels(map, y, &row);
    pack_row(row, y, &bytes);
    if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_map OUT.ppm WIDTH HEIGHT\n");
    return 1;
  }
  int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
  if (width < 64 || height < 64 || width > 32767 || height > 32767) {
    std::fprintf(stderr, "make_map: sides must be 64 to 32767 pixels\n");
    return 1;
  }
  FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "make_map: cannot create \"%s\"\n", argv[1]);
    return 1;
  }
  bool written = write_map(make_map(width, height), out);
  return std::fclose(out) == 0 && written ? 0 : 1;
}
