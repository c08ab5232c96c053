// Byte ranges of a file as HTTP asks for them (Range, If-Range) and answers them (Content-Range),
// apart from sockets and files. One range is answered with its part; a header of several, or one
// that does not parse, is answered with the whole file, as HTTP allows a server to.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace crserve {

// Elements of a Range header looked at, at most: a longer list is answered with the whole file.
inline constexpr int kMaxRangeElements = 16;

struct RangePlan {
  enum class Answer { kWhole, kPart, kUnsatisfiable };
  Answer answer = Answer::kWhole;
  uint64_t first = 0;   // the part's first byte, for kPart
  uint64_t length = 0;  // its bytes, for kPart
};

// What a request's Range header (empty when absent) asks of a file of `size` bytes: one part
// (`bytes=a-b`, `bytes=a-`, `bytes=-n`, clipped to the file), nothing it holds (416), or the whole
// file: no header, a malformed one, another unit, several ranges, or an empty file.
RangePlan plan_range(std::string_view range, uint64_t size);

// Whether an If-Range header lets the Range of its request be answered: it names the current
// version, by its strong entity tag `tag` or by exactly its time of change `modified`.
bool if_range_holds(std::string_view if_range, std::string_view tag, time_t modified);

// The Content-Range of a part ("bytes 0-99/1000"), and of a refusal ("bytes */1000").
std::string content_range(const RangePlan& part, uint64_t size);
std::string unsatisfied_range(uint64_t size);

}  // namespace crserve
