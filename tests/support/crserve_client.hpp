// Helpers of the tile server's end-to-end tests: crserve run in the background on the bundled
// photo, and raw HTTP over loopback sockets, for what no HTTP client library sends (requests cut
// short, trickled, flooded) and from chosen addresses of 127/8. Every socket call has a timeout.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace test_support {

// Packs the bundled coffee photo (600 x 400) into "p.cr" of the scratch folder, in rectangles of
// 64: Deep Zoom level 10 holds its 10 x 7 full-resolution tiles. False when the tool failed.
bool make_photo_cr();

// A crserve started in the background on `path` (by default p.cr of the scratch folder); killed
// when destroyed.
class CrserveProcess {
 public:
  explicit CrserveProcess(std::vector<std::string> options, std::string path = "");
  ~CrserveProcess();
  CrserveProcess(const CrserveProcess&) = delete;
  CrserveProcess& operator=(const CrserveProcess&) = delete;

  // Sends the signal and waits; the exit status, or 128 + signal.
  int stop(int signal);
  // Sends the signal and waits at most `seconds` (then kills it); the exit status, or 128 + signal,
  // and in *took the seconds it took to end.
  int stop_within(int signal, double seconds, double* took);
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& line() const { return line_; }  // the first line it printed

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = -1;
  std::string line_;
};

// A field of /proc/PID/status ("VmRSS", "Threads"), as a number (kB for the sizes); -1 if absent.
long process_status(pid_t pid, std::string_view field);

// Raises this process's soft limit of open files to its hard limit.
void raise_open_file_limit();

// A TCP connection to 127.0.0.1:port from the address `from` (any of 127/8: Linux routes them all
// to the loopback), whose sends and receives give up after `timeout` seconds.
class Socket {
 public:
  Socket(int port, const char* from = "127.0.0.1", double timeout = 5);
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send(std::string_view bytes);
  // True when the server closed the connection within `seconds` with nothing to read before.
  bool closed_within(double seconds);
  // True when there are bytes to read (or the end) within `seconds`.
  bool readable_within(double seconds);
  void close();

 private:
  int fd_ = -1;
};

struct RawReply {
  int status = 0;  // 0: no whole reply came
  std::string head, body;
  // The value of a header (its name given as sent), empty when absent.
  std::string header(std::string_view name) const;
};

// Reads one reply: its head and its body, as long as its Content-Length says, or chunked, or
// (with neither) up to the connection's close; none for HEAD. A chunked body not ended by its last
// chunk leaves status 0.
RawReply read_reply(Socket& socket, bool head_only = false);
// Sends a GET of `path` on a kept-alive connection and reads its reply.
RawReply get(Socket& socket, std::string_view path);

}  // namespace test_support
