// What the query server does when its listener cannot be built: when it tries again, and which
// failures it writes to the console and the trace. The listener must come back by itself once
// the port is free (another program held it, a tunnel was restarting, connections lingered in
// TIME_WAIT), without a line per attempt for as long as it waits.
#pragma once

#include <cstdint>
#include <optional>

enum class ListenerStep : std::uint8_t { kStartSockets, kCreate, kBind, kListen };

struct ListenerFailure {
  ListenerStep step;
  int32_t error;  // the socket layer's code right after the failed call

  bool operator==(const ListenerFailure&) const = default;
};

// A port held for a moment is taken soon; one held for long is looked at once a second, which
// takes a freed port well within 5 s and costs one wake-up a second.
inline constexpr uint32_t kFirstRetryPauseMs = 250;
inline constexpr uint32_t kLongestRetryPauseMs = 1000;

// The pause after the `failuresInARow`-th failed build in a row (1 for the first): 250 ms,
// doubled each time up to 1 s.
uint32_t ListenerRetryPauseMs(uint32_t failuresInARow);

// A failure is written when it differs from the last one written since the listener was last
// built (another step, or the same step with another code): the first of a wait, a change of
// cause, a failure after a successful build. No reminder while the same failure repeats: the
// first line says why the service does not answer, for as long as it does not; on Linux that
// line stays in the journal, and a fresh one can be had by starting another query server
// (control 128 or 255, SIGUSR1 or SIGUSR2), which writes its own first failure.
class ListenerFailureReports {
 public:
  // Whether `failure` is to be written; counts it as written when it is.
  bool ShouldWrite(const ListenerFailure& failure);
  void ListenerBuilt();

 private:
  std::optional<ListenerFailure> lastWritten_;
};
