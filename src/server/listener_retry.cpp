#include "server/listener_retry.h"

uint32_t ListenerRetryPauseMs(uint32_t failuresInARow) {
  uint32_t pause = kFirstRetryPauseMs;
  for (uint32_t failure = 1; failure < failuresInARow && pause < kLongestRetryPauseMs; ++failure) {
    pause *= 2;
  }
  return pause < kLongestRetryPauseMs ? pause : kLongestRetryPauseMs;
}

bool ListenerFailureReports::ShouldWrite(const ListenerFailure& failure) {
  if (lastWritten_ == failure) {
    return false;
  }
  lastWritten_ = failure;
  return true;
}

void ListenerFailureReports::ListenerBuilt() {
  lastWritten_.reset();
}
