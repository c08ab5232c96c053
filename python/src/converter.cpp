// The conversion behind r64.convert: level 0 written band by band into a new R64 file beside its
// target, every coarser level built in it with the box or windowed-FFT reduction, the CR file
// packed from it beside its own target; then both are put in place, the R64 file first.
#include "converter.hpp"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "parallel.hpp"
#include "ppm2r64.hpp"
#include "replace_file.hpp"
#include "row_source.hpp"

namespace {

constexpr int kPixelBytes = 3;

// The CR writer's state is process-wide: one conversion at a time.
std::mutex conversions;

// The threads of conversions that name none (0: the cores allowed).
std::atomic<int> default_threads{0};

int threads_of(const ConvertOptions& o) { return threads_or_cores(o.threads > 0 ? o.threads : default_threads.load()); }

// The library's progress lines ("total = ...", "loading ...") sent nowhere for the conversion: the
// GNU C library lets stdout be set like any variable. Others printing through C's stdout while a
// conversion runs are silenced too; Python's own output does not go through it.
class QuietStdout {
 public:
  explicit QuietStdout(bool quiet) : saved_(stdout), null_(quiet ? std::fopen("/dev/null", "w") : nullptr) {
    if (null_ == nullptr) return;
    std::fflush(saved_);
    stdout = null_;
  }
  ~QuietStdout() {
    if (null_ == nullptr) return;
    stdout = saved_;
    std::fclose(null_);
  }

 private:
  FILE* saved_;
  FILE* null_;
};

// -ir's message for an image that cannot be read; a failed system call is an OSError.
Failure image_failure(const std::string& path, int error) {
  std::string_view reason = row_source_error();
  std::string message = describe_image_failure(path.c_str());
  if (reason.starts_with("cannot open it") || reason.starts_with("cannot read it"))
    return system_failure(error != 0 ? error : EIO, std::move(message));
  return file_failure(std::move(message));
}

class ImageSource : public BandSource {
 public:
  ImageSource(ROW_SOURCE* source, std::string path)
      : source_(source), path_(std::move(path)), band_(static_cast<size_t>(kTileSide) * source->width * kPixelBytes) {}
  ~ImageSource() override { source_->close(source_); }
  int width() const override { return source_->width; }
  int height() const override { return source_->height; }
  Failure band(int, int rows, const unsigned char** rgb) override {
    errno = 0;
    if (source_->read_rows(source_, band_.data(), rows) < 0) return image_failure(path_, errno);
    *rgb = band_.data();
    return {};
  }

 private:
  ROW_SOURCE* source_;
  std::string path_;
  std::vector<unsigned char> band_;
};

class MemorySource : public BandSource {
 public:
  MemorySource(const unsigned char* rgb, int width, int height) : rgb_(rgb), width_(width), height_(height) {}
  int width() const override { return width_; }
  int height() const override { return height_; }
  Failure band(int top, int, const unsigned char** rgb) override {
    *rgb = rgb_ + static_cast<size_t>(top) * width_ * kPixelBytes;
    return {};
  }

 private:
  const unsigned char* rgb_;
  int width_, height_;
};

Failure check_options(const ConvertOptions& o) {
  if (o.filter != "box" && o.filter != "fft")
    return argument_failure(text("invalid filter \"%s\" (box or fft)", o.filter.c_str()));
  if (o.rect_size != 64 && o.rect_size != 128 && o.rect_size != 256) return argument_failure("invalid rectsize");
  if (o.mode != "standard" && o.mode != "efficient")
    return argument_failure(text("invalid mode \"%s\" (standard or efficient)", o.mode.c_str()));
  if (o.quality < 1 || o.quality > 100) return argument_failure(text("invalid quality \"%i\" (1 to 100)", o.quality));
  if (o.threads < 0) return argument_failure("invalid threads");
  return {};
}

Failure check_size(int width, int height) {
  TOOL_STATUS fits = check_r64_size(static_cast<unsigned>(width), static_cast<unsigned>(height));
  return fits.failed() ? argument_failure(line_of(fits)) : Failure{};
}

Failure refuse_same(const std::string& output, const std::string& input) {
  if (input.empty() || (input != output && !same_file(input.c_str(), output.c_str()))) return {};
  return argument_failure(
      text("the output \"%s\" is the same file as the input \"%s\"", output.c_str(), input.c_str()));
}

// A new output beside `output`, refused when it is no regular file.
Failure open_output(ReplacingFile& out, const std::string& output) {
  if (out.open(output.c_str(), 0644) >= 0) return {};
  if (errno == EINVAL) return argument_failure(text("the output \"%s\" is not a regular file", output.c_str()));
  return r64_failure(kR64System, errno, step_on_file("create", output), output);
}

Failure write_level_zero(BandSource& source, const char* file, const std::string& to) {
  const std::string step = step_on_file("write", to);
  R64_FILE* f = r64_open_file(file, O_RDWR, 0644, 'P', source.width(), source.height());
  if (f == nullptr) return r64_failure(r64_error, errno, step, to);
  r64_ctl(f, 0, 1);  // reads beyond an edge answer with the nearest edge pixel
  Failure outcome;
  for (int top = 0; top < source.height() && !outcome; top += kTileSide) {
    const int rows = std::min(kTileSide, source.height() - top);
    const unsigned char* rgb = nullptr;
    outcome = source.band(top, rows, &rgb);
    if (!outcome && r64_write_tile_row(f, 0, top, rgb) < 0) outcome = r64_failure(r64_error, errno, step, to);
  }
  if (r64_close_file(f) < 0 && !outcome) outcome = r64_failure(r64_error, errno, step, to);
  return outcome;
}

// Every coarser level, each from the one before, until the file lays out no further one.
Failure build_levels(const char* file, const std::string& to, const std::string& filter, int threads, int* levels) {
  const std::string step = "build the levels of \"" + to + "\"";
  R64_FILE* f = r64_open_file(file, O_RDWR, 0644, 'P', 0, 0);
  if (f == nullptr) return r64_failure(r64_error, errno, step_on_file("open", to), to);
  auto reduce = filter == "fft" ? r64_new_level_hifi_with : r64_new_level_with;
  int status = 0;
  for (int level = 0;; ++level) {
    if ((status = r64_flush(f)) < 0) break;
    if (reduce(f, level, threads) != 0) {
      status = r64_error == kR64NoLevel ? r64_flush(f) : -1;  // no further level is the normal end
      break;
    }
  }
  int code = r64_error, error = errno;
  *levels = 0;
  while (*levels < kLevels && f->level_ofs[*levels] != 0) ++*levels;
  if (r64_close_file(f) < 0 && status == 0) {
    status = -1;
    code = r64_error;
    error = errno;
  }
  return status < 0 ? r64_failure(code, error, step, to) : Failure{};
}

Failure pack(const char* r64_file, const std::string& from, const char* cr_file, const std::string& to,
             const ConvertOptions& o) {
  R64_FILE* f = r64_open_file(r64_file, O_RDONLY, 0644, 'P', 0, 0);
  if (f == nullptr) return r64_failure(r64_error, errno, step_on_file("open", from), from);
  CR_CODING coding = cr_classic_coding();
  coding.quality = o.quality;
  coding.efficient = o.mode == "efficient";
  Failure outcome;
  if (cr_write_file_with(cr_file, 0644, o.rect_size, f, &coding, threads_of(o)) < 0)
    outcome = r64_failure(r64_error, errno, step_on_file("pack", from) + " into \"" + to + "\"", from);
  if (r64_close_file(f) < 0 && !outcome) outcome = r64_failure(r64_error, errno, step_on_file("read", from), from);
  return outcome;
}

Failure commit(ReplacingFile& out, const std::string& to) {
  if (out.commit()) return {};
  return r64_failure(kR64System, errno, step_on_file("write", to), to);
}

}  // namespace

Failure open_image_source(const std::string& path, std::unique_ptr<BandSource>* source) {
  errno = 0;
  ROW_SOURCE* rows = row_source_open(path.c_str());
  if (rows == nullptr) return image_failure(path, errno);
  source->reset(new ImageSource(rows, path));
  return {};
}

std::unique_ptr<BandSource> memory_source(const unsigned char* rgb, int width, int height) {
  return std::make_unique<MemorySource>(rgb, width, height);
}

Failure convert(BandSource& source, const std::string& input, const std::string& r64_path, const std::string& cr_path,
                const ConvertOptions& options, Converted* result) {
  if (Failure failure = check_options(options)) return failure;
  if (Failure failure = check_size(source.width(), source.height())) return failure;
  const bool packs = !cr_path.empty();
  for (const Failure& failure : {refuse_same(r64_path, input), packs ? refuse_same(cr_path, input) : Failure{},
                                 packs ? refuse_same(cr_path, r64_path) : Failure{}})
    if (failure) return failure;
  std::lock_guard lock(conversions);
  QuietStdout quiet(!options.progress);
  ReplacingFile r64_out, cr_out;
  if (Failure failure = open_output(r64_out, r64_path)) return failure;
  if (packs) {
    if (Failure failure = open_output(cr_out, cr_path)) return failure;
  }
  if (Failure failure = write_level_zero(source, r64_out.path(), r64_path)) return failure;
  *result = Converted{source.width(), source.height(), 0};
  if (Failure failure = build_levels(r64_out.path(), r64_path, options.filter, threads_of(options), &result->levels)) return failure;
  if (packs) {
    if (Failure failure = pack(r64_out.path(), r64_path, cr_out.path(), cr_path, options)) return failure;
  }
  if (Failure failure = commit(r64_out, r64_path)) return failure;
  return packs ? commit(cr_out, cr_path) : Failure{};
}

void set_library_threads(int threads) { default_threads = threads; }

int library_threads() { return threads_or_cores(default_threads.load()); }
