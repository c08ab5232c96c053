// The driver: the command loop and its actions, with the program-wide state that links commands.
// Every action returns its status: done, or the message of its failure and exit status 1, which
// main prints and exits with. No action prints its failure or ends the process itself, so a
// program linking the library may run them one after another (having called check_endian and
// r64_init once, as main does).
#pragma once

#include <memory>
#include <span>
#include <string>

#include "ppm_types.hpp"
#include "r64.hpp"
#include "replace_file.hpp"
#include "tool_status.hpp"

extern const char* target;  // the current target R64 file's name (set by "-t", "-pr" and "-ir")
extern int rect_size;       // side of CR rectangles (set by "-crsize"), 256 by default
extern int worker_threads;  // threads of the heavy commands (set by "-threads"), every core by default
extern CR_CODING cr_coding;  // how "-cr" codes its blocks (set by "-crquality", "-crmode", "-crpsnr")
// The targets "-crpsnr" takes: below, JPEG blocks of the lowest quality reach them anyway; above,
// only plain blocks come near.
inline constexpr double kMinTargetPsnr = 20;
inline constexpr double kMaxTargetPsnr = 60;
extern PPM_INFO ppm;        // the PPM handle every PPM action re-uses

// An R64 file an action has open: given up unwritten (r64_discard_file) unless the action closes
// it with r64_close_file(handle.release()).
struct R64Discard {
  void operator()(R64_FILE* f) const { r64_discard_file(f); }
};
using R64Handle = std::unique_ptr<R64_FILE, R64Discard>;

// "-t": a target named, no file of it had yet.
void set_target(const char* name);
// "-pr", "-ir": the target is the file just written, whose descriptor `fd` is taken over.
void set_written_target(const char* name, int fd);
// Opens the target into *f as r64_open_file does with `ctl`: by its name the first time, then
// always the file found then, even when its name has been given to another file since. The
// failure names the target.
TOOL_STATUS open_target(int ctl, R64Handle* f);

// Runs the commands of argv[1..argc-1] left to right: the status of the first that fails, or done.
TOOL_STATUS run_commands(int argc, const char* const* argv);

TOOL_STATUS ppm_type(const char* filename);
// argv positioned at "-pr": argv[1] the PPM file, argv[2] the R64 file.
TOOL_STATUS ppm2r64(const char* const* argv);
TOOL_STATUS image2r64(const char* const* argv);  // "-ir": any image a row source reads; argv as for ppm2r64
TOOL_STATUS new_level(int levels);               // "-l": box-filter levels
TOOL_STATUS new_level_hifi(int levels);          // "-lh": windowed-FFT levels
TOOL_STATUS r642cr(const char* from, const char* to);
void mem_test(const char* str);

// Level 0 of a new R64 file of type 'P', shared by "-pr" and "-ir".
inline constexpr int kPixelBytes = 3;  // red, green, blue

// Reads level 0 band by band for write_level_zero.
class BandReader {
 public:
  virtual ~BandReader() = default;
  // True when read may run on a thread of its own, bands ahead of the storing: such a read
  // prints nothing, and leaves the progress lines to report.
  virtual bool overlaps() const { return false; }
  // Fills `band` with the RGB pixels of `rows` rows, the first of them image row `top`; false
  // when the input fails, the failure noted with read_failed.
  virtual bool read(std::span<unsigned char> band, int top, int rows) = 0;
  // Prints the progress lines of `rows` rows from `top`, bands in order, before they are stored.
  virtual void report(int top, int rows) = 0;

  // After a failed read of the band at `top`: prints the progress lines up to the row that
  // failed, and returns the failure.
  TOOL_STATUS failure(int top) {
    report(top, failed_row_ - top + 1);
    return failure_;
  }

 protected:
  // Notes that the read failed at image row `row`, and how; false, for read to return.
  bool read_failed(int row, TOOL_STATUS why) {
    failed_row_ = row;
    failure_ = std::move(why);
    return false;
  }

 private:
  int failed_row_ = 0;
  TOOL_STATUS failure_;
};

// Refuses sizes outside 3 .. 32767 a side with "unsupported image size %ix%i\n".
TOOL_STATUS check_r64_size(unsigned int width, unsigned int height);
// Why the image `path` cannot be converted, from row_source_error on this thread; one line
// without its newline.
std::string describe_image_failure(const char* path);
// Writes `to` (beside it, then renamed over it) band by band from `bands`, reading ahead on a
// thread of its own when `threads` allow, printing "\nEND\n" once all are read, and makes it the
// target.
TOOL_STATUS write_level_zero(const char* from, const char* to, int width, int height, BandReader& bands,
                             int threads);

// The line saying what failed: "cannot " + step + the reason for a failed system call (errno
// `error`) or a lack of memory, or what is wrong with the R64 file `r64_name`.
std::string describe_r64_failure(int code, int error, const std::string& step, const char* r64_name);
// A step on a file for those lines: `verb "name"`.
std::string step_on(const char* verb, const char* name);
// The line a failed R64 call's message starts with: "R64 %i" ("-pr", "-ir") or "r64 error: %i"
// (the other actions), with r64_error.
enum class CodeLine { kConversion, kAction };
// The failure of an R64 call: its code line, the system error line ("system : ...") when a
// system call failed, and the line of describe_r64_failure; from r64_error and errno as they are.
TOOL_STATUS r64_failure(CodeLine code_line, const std::string& step, const char* r64_name);

// A new output file of an action: refused when it is the action's input, through any link, or
// not a regular file; written under a temporary name beside it and put in its place by
// out.commit(), so that a failed run leaves an older file of that name as it was. When the
// temporary file cannot be made, the r64_failure of creating it, with `code_line` and
// `r64_name`. `input_fd`, when given, is a descriptor of the input's very file, `input` its name
// for messages.
TOOL_STATUS open_output(ReplacingFile& out, const char* input, const char* output, CodeLine code_line,
                        const char* r64_name, int input_fd = -1);
