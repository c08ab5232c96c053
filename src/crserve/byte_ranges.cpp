// Reads the Range and If-Range headers of a request for a file's bytes and writes Content-Range.
// Pure functions, so that every form of header is tested without a server.
#include "byte_ranges.hpp"

#include <strings.h>

#include <algorithm>
#include <limits>

#include "http_messages.hpp"

namespace crserve {

namespace {

constexpr uint64_t kHuge = std::numeric_limits<uint64_t>::max();

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Decimal digits as a number (a number past 64 bits as the largest); false when `text` is not
// digits alone.
bool digits(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    unsigned d = static_cast<unsigned>(c - '0');
    n = n > (kHuge - d) / 10 ? kHuge : n * 10 + d;
  }
  *value = n;
  return true;
}

RangePlan part(uint64_t first, uint64_t last) {
  return RangePlan{RangePlan::Answer::kPart, first, last - first + 1};
}

RangePlan unsatisfiable() { return RangePlan{RangePlan::Answer::kUnsatisfiable, 0, 0}; }

RangePlan whole() { return RangePlan{}; }

// One element of the list: "first-last", "first-" or "-suffix", of a non-empty file.
RangePlan plan_one(std::string_view element, uint64_t size) {
  size_t dash = element.find('-');
  if (dash == std::string_view::npos) return whole();
  std::string_view from = element.substr(0, dash), to = element.substr(dash + 1);
  uint64_t first = 0, last = kHuge;
  if (from.empty()) {
    uint64_t suffix = 0;
    if (!digits(to, &suffix)) return whole();
    if (suffix == 0) return unsatisfiable();
    return part(size - std::min(suffix, size), size - 1);
  }
  if (!digits(from, &first) || (!to.empty() && !digits(to, &last)) || last < first) return whole();
  if (first >= size) return unsatisfiable();
  return part(first, std::min(last, size - 1));
}

}  // namespace

RangePlan plan_range(std::string_view range, uint64_t size) {
  range = trimmed(range);
  constexpr std::string_view kUnit = "bytes=";
  if (size == 0 || range.size() < kUnit.size() || strncasecmp(range.data(), kUnit.data(), kUnit.size()) != 0)
    return whole();
  std::string_view list = range.substr(kUnit.size());
  std::string_view only;
  int elements = 0;  // not empty ones, which a list may hold
  size_t start = 0;
  for (int looked = 0; looked < kMaxRangeElements; ++looked) {
    size_t comma = list.find(',', start);
    std::string_view element = trimmed(list.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (!element.empty()) {
      if (++elements > 1) return whole();  // several ranges: the whole file rather than a multipart body
      only = element;
    }
    if (comma == std::string_view::npos) return elements == 1 ? plan_one(only, size) : whole();
    start = comma + 1;
  }
  return whole();
}

bool if_range_holds(std::string_view if_range, std::string_view tag, time_t modified) {
  if_range = trimmed(if_range);
  if (if_range.starts_with('"')) return if_range == tag;  // strong comparison: a weak tag never holds
  if (if_range.starts_with("W/") || modified <= 0) return false;
  return parse_http_date(if_range) == modified;
}

std::string content_range(const RangePlan& part, uint64_t size) {
  return "bytes " + std::to_string(part.first) + "-" + std::to_string(part.first + part.length - 1) + "/" +
         std::to_string(size);
}

std::string unsatisfied_range(uint64_t size) { return "bytes */" + std::to_string(size); }

}  // namespace crserve
