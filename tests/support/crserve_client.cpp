// crserve in the background and raw HTTP over loopback sockets, for the tile server's tests.
#include "support/crserve_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "support/support.hpp"

namespace test_support {

namespace {

constexpr size_t kMaxReplyHead = 64 * 1024;

int exit_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

timeval as_timeval(double seconds) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(seconds);
  tv.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(tv.tv_sec)) * 1e6);
  return tv;
}

sockaddr_in loopback(const char* address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

int content_length(const RawReply& reply) {
  std::string value = reply.header("Content-Length");
  return value.empty() ? 0 : std::atoi(value.c_str());
}

}  // namespace

bool make_photo_cr() {
  RunResult job = run_tool({"-pr", sample_path("coffee.ppm"), "p.r64", "-l", "-crsize", "64", "-cr", "p.cr"});
  return job.status == 0;
}

CrserveProcess::CrserveProcess(std::vector<std::string> options, std::string path) {
  int out[2];
  if (pipe(out) != 0) return;
  std::vector<std::string> args = {CRSERVE_BINARY, path.empty() ? scratch_path("p.cr") : path, "-port", "0"};
  args.insert(args.end(), options.begin(), options.end());
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  // The first line names the address: "serving FILE on http://127.0.0.1:PORT/".
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line_ += c;
  close(out[0]);
  size_t colon = line_.rfind(':');
  if (colon != std::string::npos) port_ = std::atoi(line_.c_str() + colon + 1);
}

CrserveProcess::~CrserveProcess() {
  if (pid_ > 0 && status_ < 0) stop(SIGKILL);
}

int CrserveProcess::stop(int signal) {
  kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  status_ = exit_status(status);
  return status_;
}

int CrserveProcess::stop_within(int signal, double seconds, double* took) {
  auto start = std::chrono::steady_clock::now();
  kill(pid_, signal);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    *took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (*took > seconds) return stop(SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  *took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  status_ = exit_status(status);
  return status_;
}

long process_status(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':')
      return std::atol(line.c_str() + field.size() + 1);
  return -1;
}

void raise_open_file_limit() {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
}

Socket::Socket(int port, const char* from, double timeout) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  timeval tv = as_timeval(timeout);
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // connect() gives up after it too
  sockaddr_in local = loopback(from, 0);
  sockaddr_in server = loopback("127.0.0.1", port);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
    close();
}

Socket::~Socket() { close(); }

Socket::Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Socket::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool Socket::readable_within(double seconds) {
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(seconds * 1000)) == 1;
}

bool Socket::closed_within(double seconds) {
  if (!readable_within(seconds)) return false;
  char c;
  return recv(fd_, &c, 1, MSG_DONTWAIT) <= 0;
}

std::string RawReply::header(std::string_view name) const {
  std::string key = "\r\n" + std::string(name) + ":";
  size_t at = 0;
  for (; (at = head.find("\r\n", at)) != std::string::npos; at += 2)
    if (strncasecmp(head.c_str() + at, key.c_str(), key.size()) == 0) break;
  if (at == std::string::npos) return "";
  size_t start = head.find_first_not_of(' ', at + key.size());
  return head.substr(start, head.find("\r\n", start) - start);
}

namespace {

// Reads until `bytes` holds at least `wanted` bytes; false when the connection ends first.
bool read_at_least(Socket& socket, std::string& bytes, size_t wanted) {
  char chunk[16384];
  while (bytes.size() < wanted) {
    ssize_t n = recv(socket.fd(), chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

// Takes a chunked body off the front of `rest`, reading more as needed; false when it is cut.
bool read_chunked(Socket& socket, std::string& rest, std::string* body) {
  for (;;) {
    size_t line_end;
    while ((line_end = rest.find("\r\n")) == std::string::npos)
      if (!read_at_least(socket, rest, rest.size() + 1)) return false;
    size_t size = std::strtoul(rest.c_str(), nullptr, 16);
    if (!read_at_least(socket, rest, line_end + 2 + size + 2)) return false;
    body->append(rest, line_end + 2, size);
    rest.erase(0, line_end + 2 + size + 2);
    if (size == 0) return true;
  }
}

}  // namespace

RawReply read_reply(Socket& socket, bool head_only) {
  RawReply reply;
  std::string bytes;
  size_t end = std::string::npos;
  while ((end = bytes.find("\r\n\r\n")) == std::string::npos && bytes.size() < kMaxReplyHead)
    if (!read_at_least(socket, bytes, bytes.size() + 1)) return reply;
  if (end == std::string::npos) return reply;
  reply.head = bytes.substr(0, end + 2);
  std::string rest = bytes.substr(end + 4);
  bool chunked = strcasecmp(reply.header("Transfer-Encoding").c_str(), "chunked") == 0;
  bool delimited = chunked || !reply.header("Content-Length").empty();
  int status = std::atoi(reply.head.c_str() + reply.head.find(' ') + 1);
  bool bodiless = head_only || status == 304 || status == 204;
  if (!bodiless && chunked) {
    if (!read_chunked(socket, rest, &reply.body)) return reply;
  } else if (!bodiless && delimited) {
    if (!read_at_least(socket, rest, static_cast<size_t>(content_length(reply)))) return reply;
    reply.body = rest;
  } else if (!bodiless) {
    while (read_at_least(socket, rest, rest.size() + 1)) {
    }
    reply.body = rest;
  }
  reply.status = status;
  return reply;
}

RawReply get(Socket& socket, std::string_view path) {
  if (!socket.send("GET " + std::string(path) + " HTTP/1.1\r\nHost: localhost\r\n\r\n")) return {};
  return read_reply(socket);
}

}  // namespace test_support
