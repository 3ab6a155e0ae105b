// Python's signal handlers, run for the core between its parallel batches so Ctrl-C ends a call.
#pragma once

#include "api/pyref.h"
#include "pool/pool.h"

namespace brantoveil::api {

/// Installed for one call (construct with the lock held). When the core asks, runs the pending
/// signal handlers, retaking the lock briefly if the call released it; the first exception a
/// handler raises ends the call. Only the main thread runs handlers, so elsewhere it never stops.
class SignalCheck final : public pool::StopCheck {
 public:
  SignalCheck();
  bool stop_requested() override;
  /// When a handler ended the call: sets its exception again and returns true.
  bool raise_if_stopped();

 private:
  bool main_thread_;
  SavedError error_;
  pool::ScopedStopCheck scope_{*this};
};

}  // namespace brantoveil::api
