#include "desktop/worker_channel.hpp"

#include <deque>
#include <mutex>

namespace qv {
namespace detail {

struct WorkerChannelState {
  std::mutex mutex;
  std::deque<WorkerMessage> queue;
  std::size_t senders = 0;
  bool receiver_alive = true;
};

}  // namespace detail

namespace {

void add_sender(const std::shared_ptr<detail::WorkerChannelState>& state) {
  if (!state) return;
  std::lock_guard lock(state->mutex);
  ++state->senders;
}

void drop_sender(const std::shared_ptr<detail::WorkerChannelState>& state) {
  if (!state) return;
  std::lock_guard lock(state->mutex);
  --state->senders;
}

}  // namespace

WorkerSender::WorkerSender(std::shared_ptr<detail::WorkerChannelState> state) : state_(std::move(state)) {
  add_sender(state_);
}
WorkerSender::WorkerSender(const WorkerSender& other) : state_(other.state_) { add_sender(state_); }
WorkerSender& WorkerSender::operator=(const WorkerSender& other) {
  if (this != &other) {
    add_sender(other.state_);
    drop_sender(state_);
    state_ = other.state_;
  }
  return *this;
}
WorkerSender::WorkerSender(WorkerSender&& other) noexcept : state_(std::move(other.state_)) {}
WorkerSender& WorkerSender::operator=(WorkerSender&& other) noexcept {
  if (this != &other) {
    drop_sender(state_);
    state_ = std::move(other.state_);
  }
  return *this;
}
WorkerSender::~WorkerSender() { drop_sender(state_); }

void WorkerSender::send(WorkerMessage message) const {
  if (!state_) return;
  std::lock_guard lock(state_->mutex);
  if (!state_->receiver_alive) return;  // the window is gone: dropped
  state_->queue.push_back(std::move(message));
}

WorkerReceiver::WorkerReceiver(std::shared_ptr<detail::WorkerChannelState> state) : state_(std::move(state)) {}
WorkerReceiver::WorkerReceiver(WorkerReceiver&& other) noexcept : state_(std::move(other.state_)) {}
WorkerReceiver& WorkerReceiver::operator=(WorkerReceiver&& other) noexcept {
  if (this != &other) {
    WorkerReceiver old(std::move(*this));
    state_ = std::move(other.state_);
  }
  return *this;
}
WorkerReceiver::~WorkerReceiver() {
  if (!state_) return;
  // Messages still queued go with the receiver; they are destroyed outside
  // the lock so that a sender never waits on their release.
  std::deque<WorkerMessage> left;
  {
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    left.swap(state_->queue);
  }
}

std::optional<WorkerMessage> WorkerReceiver::try_receive() {
  if (!state_) return std::nullopt;
  std::lock_guard lock(state_->mutex);
  if (state_->queue.empty()) return std::nullopt;
  WorkerMessage message = std::move(state_->queue.front());
  state_->queue.pop_front();
  return message;
}

bool WorkerReceiver::senders_gone() const {
  if (!state_) return true;
  std::lock_guard lock(state_->mutex);
  return state_->senders == 0;
}

std::pair<WorkerSender, WorkerReceiver> make_worker_channel() {
  auto state = std::make_shared<detail::WorkerChannelState>();
  return {WorkerSender(state), WorkerReceiver(state)};
}

LineSink forwarding_line_sink(WorkerSender sender) {
  return LineSink(
      [sender = std::move(sender)](std::string line) { sender.send(WorkerMessage{WorkerMessage::Line{std::move(line)}}); },
      /*concurrent=*/true);
}

}  // namespace qv
