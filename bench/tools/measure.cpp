// Runs a command with its standard output discarded (progress lines would only slow it) and
// prints its wall time in seconds, peak memory (max RSS) in KiB and exit status:
//   measure COMMAND [ARG ...]   ->   "<seconds> <max_rss_kib> <exit_status>"
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: measure COMMAND [ARG ...]\n");
    return 2;
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("%.3f %ld %d\n", seconds, usage.ru_maxrss, exit_status);
  return 0;
}
