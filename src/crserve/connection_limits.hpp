// The connections a server holds open: at most so many in all and so many from one client address,
// so that one client cannot take every socket the process may have.
#pragma once

#include <map>
#include <string>

namespace crserve {

// Descriptors kept back from connections: standard streams, the listening socket, the event loop's
// own, and one file handle per reader on top.
inline constexpr int kReservedDescriptors = 32;
// A connection's socket, and the file it may be sending.
inline constexpr int kDescriptorsPerConnection = 2;

class ConnectionLimits {
 public:
  ConnectionLimits(int total, int per_client) : total_(total), per_client_(per_client) {}

  // Counts a new connection from `client`; false, counting nothing, when it would go beyond a limit.
  bool admit(const std::string& client);
  // Forgets a connection admitted before.
  void release(const std::string& client);
  int open() const { return open_; }

 private:
  int total_, per_client_;
  int open_ = 0;
  std::map<std::string, int> per_address_;
};

// Raises the process's soft limit of open files to its hard limit; the connections it leaves room
// for beside `readers` open files, at most `wanted`, each with the descriptors it may hold.
int connections_allowed(int wanted, int readers);

}  // namespace crserve
