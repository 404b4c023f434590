// Placeholder until the real calls land.
#include "platform/service_dispatcher.h"

namespace platform {
void PrepareDispatcher() {}
bool RunDispatcher(const char* /*name*/, ServiceMainRoutine /*serviceMain*/) { return false; }
StatusHandle RegisterControlHandler(const char* /*name*/, ControlHandlerRoutine /*handler*/) {
  return 0;
}
bool ReportServiceStatus(StatusHandle /*handle*/, const ServiceStatus& /*status*/) { return true; }
int32_t LastDispatcherError() { return 0; }
}  // namespace platform
