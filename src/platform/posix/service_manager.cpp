// Placeholder until the real calls land: every call fails.
#include "platform/service_manager.h"

namespace platform {
ServiceHandle OpenServiceManager(uint32_t /*access*/) { return 0; }
ServiceHandle CreateServiceEntry(ServiceHandle /*m*/, const char* /*n*/, const char* /*d*/,
                                 const char* /*c*/) {
  return 0;
}
ServiceHandle OpenServiceEntry(ServiceHandle /*m*/, const char* /*n*/) { return 0; }
bool DeleteServiceEntry(ServiceHandle /*s*/) { return false; }
bool RequestServiceStart(ServiceHandle /*s*/) { return false; }
bool RequestServiceStop(ServiceHandle /*s*/) { return false; }
void CloseServiceEntryHandle(ServiceHandle /*h*/) {}
int32_t LastServiceError() { return 0; }
}  // namespace platform
