#include "desktop/worker_channel.hpp"

#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace qv {
namespace {

std::string line_of(const WorkerMessage& message) {
  const auto* line = std::get_if<WorkerMessage::Line>(&message.payload);
  return line ? line->text : std::string("<kind ") + std::to_string(message.kind()) + ">";
}

TEST(WorkerChannel, KindsKeepTheirFixedOrder) {
  EXPECT_EQ(WorkerMessage{WorkerMessage::Line{}}.kind(), 0u);
  EXPECT_EQ(WorkerMessage{WorkerMessage::CheckFinished{}}.kind(), 1u);
  EXPECT_EQ(WorkerMessage{WorkerMessage::ApplyFinished{}}.kind(), 2u);
  EXPECT_EQ(WorkerMessage{WorkerMessage::GameClosed{}}.kind(), 3u);
  EXPECT_EQ(WorkerMessage{WorkerMessage::Failed{}}.kind(), 4u);
  EXPECT_EQ(WorkerMessage{WorkerMessage::SelfUpdateInFlight{}}.kind(), 5u);
  EXPECT_EQ(WorkerMessage{WorkerMessage::SelfUpdateStaged{}}.kind(), 6u);
}

TEST(WorkerChannel, EachSendersMessagesArriveInOrder) {
  auto [sender, receiver] = make_worker_channel();
  constexpr int kJobs = 4;
  constexpr int kMessages = 2000;
  {
    std::vector<std::jthread> jobs;
    for (int job = 0; job < kJobs; ++job) {
      jobs.emplace_back([job, tx = sender] {
        for (int i = 0; i < kMessages; ++i) {
          tx.send(WorkerMessage{WorkerMessage::Line{std::to_string(job) + ":" + std::to_string(i)}});
        }
      });
    }
  }
  std::vector<int> next(kJobs, 0);
  int received = 0;
  while (auto message = receiver.try_receive()) {
    const std::string text = line_of(*message);
    const auto colon = text.find(':');
    const int job = std::stoi(text.substr(0, colon));
    EXPECT_EQ(std::stoi(text.substr(colon + 1)), next[static_cast<std::size_t>(job)]) << text;
    ++next[static_cast<std::size_t>(job)];
    ++received;
  }
  EXPECT_EQ(received, kJobs * kMessages);
  EXPECT_FALSE(receiver.senders_gone());  // the window's own sender is left
  { [[maybe_unused]] auto dropped = std::move(sender); }
  EXPECT_TRUE(receiver.senders_gone());
}

TEST(WorkerChannel, SendingAfterTheWindowIsGoneIsDropped) {
  auto channel = make_worker_channel();
  WorkerSender job = channel.first;
  PreparedCheck check;
  check.root = "/client";
  check.plan.download = {1, 2, 3};
  job.send(WorkerMessage{WorkerMessage::CheckFinished{check, false}});
  { [[maybe_unused]] auto window = std::move(channel.second); }  // the window closes with a message unread
  // The job carries on: every further send is dropped without a word.
  job.send(WorkerMessage{WorkerMessage::CheckFinished{std::move(check), true}});
  job.send(WorkerMessage{WorkerMessage::SelfUpdateStaged{"/client/.launcher/transactions/x"}});
  forwarding_line_sink(job)("a status line");
  SUCCEED();
}

TEST(WorkerChannel, MessagesCarryTheirPayloads) {
  auto [sender, receiver] = make_worker_channel();
  PreparedCheck check;
  check.transaction_dir = "/client/.launcher/transactions/0123";
  check.plan.download_bytes = 1572864;
  sender.send(WorkerMessage{WorkerMessage::CheckFinished{check, true}});
  sender.send(WorkerMessage{WorkerMessage::Failed{"prepare: network: timed out"}});
  sender.send(WorkerMessage{WorkerMessage::SelfUpdateStaged{"/tx"}});
  auto first = receiver.try_receive();
  ASSERT_TRUE(first);
  const auto& finished = std::get<WorkerMessage::CheckFinished>(first->payload);
  EXPECT_EQ(finished.check, check);
  EXPECT_TRUE(finished.ready);
  EXPECT_EQ(std::get<WorkerMessage::Failed>(receiver.try_receive()->payload).error, "prepare: network: timed out");
  EXPECT_EQ(std::get<WorkerMessage::SelfUpdateStaged>(receiver.try_receive()->payload).transaction_dir, "/tx");
  EXPECT_FALSE(receiver.try_receive());
}

TEST(WorkerChannel, ForwardingSinkTakesLinesFromManyThreads) {
  auto [sender, receiver] = make_worker_channel();
  const LineSink sink = forwarding_line_sink(sender);
  {
    std::vector<std::jthread> downloads;
    for (int t = 0; t < 4; ++t) {
      downloads.emplace_back([t, &sink] {
        for (int i = 0; i < 500; ++i) sink("@QV_PROGRESS " + std::to_string(t * 1000 + i));
      });
    }
  }
  std::set<std::string> lines;
  while (auto message = receiver.try_receive()) {
    ASSERT_EQ(message->kind(), 0u);
    lines.insert(line_of(*message));
  }
  EXPECT_EQ(lines.size(), 2000u);
}

TEST(CancelFlag, ANewJobsFlagDoesNotSeeAnEarlierCancel) {
  CancelFlag window;
  const CancelFlag first_job = window;  // shared with the running job
  window.cancel();
  EXPECT_TRUE(first_job.is_cancelled());
  window = CancelFlag();  // the next job's flag replaces the window's own
  const CancelFlag second_job = window;
  EXPECT_FALSE(second_job.is_cancelled());
  EXPECT_TRUE(first_job.is_cancelled());
}

}  // namespace
}  // namespace qv
