// Stops a JPEG decoding once the stream has more scans than its components allow, from the
// library's progress monitor, which it calls between scans and between rows of blocks.
#include "scan_limit.hpp"

namespace {

// The stop's message, an addition to the library's table of messages.
constexpr int kScanLimitMessage = 1000;
const char* const kMessages[] = {"the JPEG image comes in more than %d scans (at most %d a component)", nullptr};

void check_scans(j_common_ptr common) {
  auto cinfo = reinterpret_cast<j_decompress_ptr>(common);
  auto* limit = reinterpret_cast<ScanLimit*>(cinfo->progress);
  if (cinfo->input_scan_number <= limit->most_scans) return;
  limit->exceeded = true;
  cinfo->err->msg_code = kScanLimitMessage;
  cinfo->err->msg_parm.i[0] = limit->most_scans;
  cinfo->err->msg_parm.i[1] = kMostScansPerComponent;
  (*cinfo->err->error_exit)(common);
}

}  // namespace

void jpeg_limit_scans(j_decompress_ptr cinfo, ScanLimit* limit) {
  *limit = ScanLimit{};
  limit->pub.progress_monitor = check_scans;
  limit->most_scans = kMostScansPerComponent * cinfo->num_components;
  cinfo->progress = &limit->pub;
  cinfo->err->addon_message_table = kMessages;
  cinfo->err->first_addon_message = kScanLimitMessage;
  cinfo->err->last_addon_message = kScanLimitMessage;
}
