#include "kestrune/session.h"

#include "kestrune/client.h"

namespace kestrune {

using Clock = std::chrono::steady_clock;

Session::Session(HelperProcess helper, std::optional<std::chrono::milliseconds> heartbeat)
    : helper_(std::move(helper)) {
  if (heartbeat) heartbeat_.emplace(helper_, *heartbeat);
}

Session::~Session() {
  if (!ending_) stop();
}

const Session::Ending& Session::stop(std::chrono::milliseconds within,
                                     const std::function<void(const Event&)>& on_event) {
  if (ending_) return *ending_;
  Ending ending;
  const auto deadline = Clock::now() + within;
  // A helper whose input is gone is ending anyway: its output still tells how.
  send(helper_, StopCommand{});
  for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
    Event event;
    std::string error;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    const Next next = next_event(helper_, left, event, error);
    if (next == Next::end || next == Next::timeout) break;
    if (next != Next::event) continue;
    if (const Bye* bye = std::get_if<Bye>(&event)) ending.bye = *bye;
    if (on_event) on_event(event);
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  ending.exit = helper_.wait_exit(std::max(left, std::chrono::milliseconds(0)));
  if (ending.exit.state == Exit::State::running) {
    helper_.kill();
    ending.killed = true;
    ending.exit = helper_.wait_exit(std::chrono::milliseconds(5000));
  }
  if (heartbeat_) heartbeat_->stop();
  ending_ = std::move(ending);
  return *ending_;
}

const Session::Ending& Session::kill() {
  if (ending_) return *ending_;
  Ending ending;
  ending.killed = true;
  helper_.kill();
  ending.exit = helper_.wait_exit(std::chrono::milliseconds(5000));
  if (heartbeat_) heartbeat_->stop();
  ending_ = std::move(ending);
  return *ending_;
}

}  // namespace kestrune
