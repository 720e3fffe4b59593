// The one channel from the worker jobs to the window: unbounded, first in
// first out, many senders and one receiver. Sending never blocks, and a send
// after the receiver is gone (the window has closed) drops the message
// without telling the job, which carries on as if it had been delivered.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "core/foundations/progress.hpp"
#include "desktop/worker_message.hpp"

namespace qv {

namespace detail {
struct WorkerChannelState;
}

// A sending end. Copies are further sending ends of the same channel (one per
// job); safe to use from any thread.
class WorkerSender {
 public:
  WorkerSender(const WorkerSender& other);
  WorkerSender& operator=(const WorkerSender& other);
  WorkerSender(WorkerSender&& other) noexcept;
  WorkerSender& operator=(WorkerSender&& other) noexcept;
  ~WorkerSender();

  void send(WorkerMessage message) const;

 private:
  friend std::pair<WorkerSender, class WorkerReceiver> make_worker_channel();
  explicit WorkerSender(std::shared_ptr<detail::WorkerChannelState> state);
  std::shared_ptr<detail::WorkerChannelState> state_;
};

// The receiving end, held by the window state; one thread at a time.
class WorkerReceiver {
 public:
  WorkerReceiver(WorkerReceiver&& other) noexcept;
  WorkerReceiver& operator=(WorkerReceiver&& other) noexcept;
  WorkerReceiver(const WorkerReceiver&) = delete;
  WorkerReceiver& operator=(const WorkerReceiver&) = delete;
  // From here on, sends are dropped.
  ~WorkerReceiver();

  // The oldest message not yet received, without waiting; none when the
  // channel is empty.
  std::optional<WorkerMessage> try_receive();
  // True when no sending end is left, so nothing more can arrive.
  bool senders_gone() const;

 private:
  friend std::pair<WorkerSender, WorkerReceiver> make_worker_channel();
  explicit WorkerReceiver(std::shared_ptr<detail::WorkerChannelState> state);
  std::shared_ptr<detail::WorkerChannelState> state_;
};

std::pair<WorkerSender, WorkerReceiver> make_worker_channel();

// A line sink that forwards every line as a Line message through `sender`;
// safe to call from several threads at once.
LineSink forwarding_line_sink(WorkerSender sender);

}  // namespace qv
