// Counts the open connections in all and per client address, and raises the open-file limit so
// that as many connections as asked for can be held where the system allows.
#include "connection_limits.hpp"

#include <sys/resource.h>

#include <algorithm>

namespace crserve {

bool ConnectionLimits::admit(const std::string& client) {
  if (open_ >= total_) return false;
  int& mine = per_address_[client];
  if (mine >= per_client_) return false;
  ++mine;
  ++open_;
  return true;
}

void ConnectionLimits::release(const std::string& client) {
  auto found = per_address_.find(client);
  if (found == per_address_.end()) return;
  --open_;
  if (--found->second == 0) per_address_.erase(found);
}

int connections_allowed(int wanted, int readers) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return wanted;
  if (files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NOFILE, &files);
  }
  if (files.rlim_cur == RLIM_INFINITY) return wanted;
  long room = (static_cast<long>(files.rlim_cur) - kReservedDescriptors - readers) / kDescriptorsPerConnection;
  return static_cast<int>(std::clamp<long>(room, 1, wanted));
}

}  // namespace crserve
