// The driver: the command loop and its actions, with the program-wide state that links commands.
// Every action ends the process with exit status 1 after one message on standard error.
#pragma once

#include "ppm_types.hpp"
#include "r64.hpp"
#include <cstdlib>
#include <span>
#include <string>

#include "replace_file.hpp"

extern const char* target;  // the current target R64 file's name (set by "-t", "-pr" and "-ir")
extern int rect_size;       // side of CR rectangles (set by "-crsize"), 256 by default
extern int worker_threads;  // threads of the heavy commands (set by "-threads"), every core by default
extern CR_CODING cr_coding;  // how "-cr" codes its blocks (set by "-crquality", "-crmode", "-crpsnr")
// The targets "-crpsnr" takes: below, JPEG blocks of the lowest quality reach them anyway; above,
// only plain blocks come near.
inline constexpr double kMinTargetPsnr = 20;
inline constexpr double kMaxTargetPsnr = 60;
extern PPM_INFO ppm;        // the PPM handle every PPM action re-uses

// "-t": a target named, no file of it had yet.
void set_target(const char* name);
// "-pr", "-ir": the target is the file just written, whose descriptor `fd` is taken over.
void set_written_target(const char* name, int fd);
// Opens the target as r64_open_file does with `ctl`: by its name the first time, then always the
// file found then, even when its name has been given to another file since.
R64_FILE* open_target(int ctl);

// Runs the commands of argv[1..argc-1] left to right; returns 0 after the last one.
int run_commands(int argc, char** argv);

void ppm_type(const char* filename);
void ppm2r64(char** argv);
void image2r64(char** argv);  // "-ir": any image a row source reads
unsigned char adjust_max(unsigned int max, unsigned int col);
void new_level(int levels);       // "-l": box-filter levels
void new_level_hifi(int levels);  // "-lh": windowed-FFT levels
void r642cr(const char* from, const char* to);
void mem_test(const char* str);

// Level 0 of a new R64 file of type 'P', shared by "-pr" and "-ir".
inline constexpr int kPixelBytes = 3;  // red, green, blue

// Reads level 0 band by band for write_level_zero.
class BandReader {
 public:
  virtual ~BandReader() = default;
  // True when read may run on a thread of its own, bands ahead of the storing: such a read
  // neither prints nor ends the run, and leaves both to report and fail.
  virtual bool overlaps() const { return false; }
  // Fills `band` with the RGB pixels of `rows` rows, the first of them image row `top`; false
  // when the input fails (a reader that does not overlap ends the run itself instead).
  virtual bool read(std::span<unsigned char> band, int top, int rows) = 0;
  // Prints the progress lines of a band read, bands in order, before it is stored.
  virtual void report(int top, int rows) {
    (void)top;
    (void)rows;
  }
  // Ends the run with the message of the failed read of the band at `top`.
  [[noreturn]] virtual void fail(int top) {
    (void)top;
    std::exit(1);
  }
};

// Ends the run with "unsupported image size %ix%i\n" unless both sides are 3 .. 32767.
void check_r64_size(unsigned int width, unsigned int height);
// Writes `to` (beside it, then renamed over it) band by band from `bands`, reading ahead on a
// thread of its own when `threads` allow, printing "\nEND\n" once all are read, and makes it the
// target; every failure ends the run with its message and exit status 1.
void write_level_zero(const char* from, const char* to, int width, int height, BandReader& bands, int threads);

// The line saying what failed: "cannot " + step + the reason for a failed system call (errno
// `error`) or a lack of memory, or what is wrong with the R64 file `r64_name`.
std::string describe_r64_failure(int code, int error, const std::string& step, const char* r64_name);
// A step on a file for those lines: `verb "name"`.
std::string step_on(const char* verb, const char* name);
// Prints "R64 %i\n" ("-pr", "-ir") or "r64 error: %i\n" (the other actions) with r64_error, the
// system error line when a system call failed, and the line of describe_r64_failure; then exits
// with status 1.
[[noreturn]] void exit_r64_failure(const std::string& step, const char* r64_name);
[[noreturn]] void exit_r64_error(const std::string& step, const char* r64_name);

// A new output file of an action: refused (with a message, exit status 1) when it is the
// action's input, through any link, or not a regular file; written under a temporary name beside
// it and put in its place by out.commit(), so that a failed run leaves an older file of that name
// as it was. False with errno set when the temporary file cannot be made. `input_fd`, when given,
// is a descriptor of the input's very file, `input` its name for messages.
bool open_output(ReplacingFile& out, const char* input, const char* output, int input_fd = -1);
