// Any received bytes through the request handler, with a fixed address: no crash, no leak, and
// every reply is the fixed header, a JavaScript name, and the call with the address or nothing.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/debug_trace.h"
#include "server/request_handler.h"
#include "server/request_rules.h"

namespace {

void DropTrace(const char* /*text*/) {}
std::string FixedAddress() {
  return "00-1A-2B-3C-4D-5E";
}

bool WellFormedReply(const std::string& reply) {
  const std::string header = kReplyHeader;
  if (reply.compare(0, header.size(), header) != 0) {
    return false;
  }
  const std::string body = reply.substr(header.size());
  for (const std::string tail : {"({'ret': ''});", "({'ret': '00-1A-2B-3C-4D-5E'});"}) {
    if (body.size() > tail.size() && body.ends_with(tail) &&
        IsCallbackName(body.substr(0, body.size() - tail.size()))) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::SetTraceCapture(&DropTrace);
  SetAddressProvider(&FixedAddress);
  // As the listener hands it over: at most 1024 bytes, up to the first zero byte.
  std::string request(reinterpret_cast<const char*>(data), size < 1024 ? size : 1024);
  request = request.substr(0, request.find('\0'));
  if (request.empty()) {
    return 0;
  }
  std::string reply;
  if (HandleRequest(request, &reply) && !WellFormedReply(reply)) {
    std::abort();
  }
  return 0;
}
