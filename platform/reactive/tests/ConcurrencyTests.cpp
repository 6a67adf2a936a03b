#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/reactive/Reactive.h"

namespace platform::reactive {
namespace {

using namespace std::chrono_literals;

// Waits up to a generous deadline for `condition`.
template <class F>
bool eventually(F condition) {
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

struct Tagged {
  int sender;
  int seq;
  std::thread::id thread;
};

TEST(ConcurrencyTests, ValuesArriveOnTheSendersThreadInEachSendersOrder) {
  PassthroughSubject<Tagged> subject;
  std::mutex m;
  std::map<int, std::vector<int>> bySender;
  int wrongThread = 0;
  auto token = subject.sink([&](Tagged t) {
    std::lock_guard lock(m);
    bySender[t.sender].push_back(t.seq);
    if (t.thread != std::this_thread::get_id()) ++wrongThread;
  });
  constexpr int kSenders = 4, kValues = 2000;
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      for (int i = 0; i < kValues; ++i)
        subject.send(Tagged{s, i, std::this_thread::get_id()});
    });
  }
  for (auto& t : senders)
    t.join();
  EXPECT_EQ(wrongThread, 0);
  ASSERT_EQ(bySender.size(), static_cast<std::size_t>(kSenders));
  for (auto& [sender, seqs] : bySender) {
    ASSERT_EQ(seqs.size(), static_cast<std::size_t>(kValues)) << "sender " << sender;
    for (int i = 0; i < kValues; ++i)
      ASSERT_EQ(seqs[i], i) << "sender " << sender;
  }
}

TEST(ConcurrencyTests, SubscribersComeAndGoWhileOthersSendAndNothingArrivesAfterCancel) {
  CurrentValueSubject<int> subject(0);
  std::atomic<bool> stop{false};
  std::atomic<int> lateDeliveries{0}, outOfOrder{0}, rounds{0};
  std::vector<std::thread> senders;
  for (int s = 0; s < 2; ++s) {
    senders.emplace_back([&] {
      for (int i = 1; !stop.load(); ++i)
        subject.send(i);
    });
  }
  std::vector<std::thread> churners;
  for (int c = 0; c < 2; ++c) {
    churners.emplace_back([&] {
      while (!stop.load()) {
        auto cancelled = std::make_shared<std::atomic<bool>>(false);
        auto received = std::make_shared<std::atomic<int>>(0);
        auto token = subject.sink([cancelled, received, &lateDeliveries](int) {
          if (cancelled->load()) ++lateDeliveries;
          ++*received;
        });
        std::this_thread::yield();
        token.cancel();
        cancelled->store(true);
        if (received->load() < 1) ++outOfOrder;  // the current value must always arrive
        ++rounds;
      }
    });
  }
  EXPECT_TRUE(eventually([&] { return rounds.load() >= 300; }));
  stop = true;
  for (auto& t : senders)
    t.join();
  for (auto& t : churners)
    t.join();
  EXPECT_EQ(lateDeliveries.load(), 0);
  EXPECT_EQ(outOfOrder.load(), 0);
  EXPECT_EQ(subject.subscriberCount(), 0u);
}

TEST(ConcurrencyTests, LastValueSeenMatchesTheSubjectAfterConcurrentSends) {
  CurrentValueSubject<int> subject(-1);
  std::atomic<int> last{-2};
  auto token = subject.sink([&](int v) { last = v; });
  std::vector<std::thread> senders;
  for (int s = 0; s < 3; ++s) {
    senders.emplace_back([&, s] {
      for (int i = 0; i < 3000; ++i)
        subject.send(s * 10000 + i);
    });
  }
  for (auto& t : senders)
    t.join();
  EXPECT_EQ(last.load(), subject.value());
}

TEST(ConcurrencyTests, CancelFromAnotherThreadWaitsForTheDeliveryInFlight) {
  PassthroughSubject<int> subject;
  std::atomic<bool> inHandler{false}, release{false}, handlerDone{false}, cancelReturned{false};
  auto token = subject.sink([&](int) {
    inHandler = true;
    eventually([&] { return release.load(); });
    handlerDone = true;
  });
  std::thread sender([&] { subject.send(1); });
  ASSERT_TRUE(eventually([&] { return inHandler.load(); }));
  std::thread canceller([&] {
    token.cancel();
    cancelReturned = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(cancelReturned.load()) << "cancel returned while the handler was still running";
  release = true;
  canceller.join();
  sender.join();
  EXPECT_TRUE(handlerDone.load());
  EXPECT_TRUE(cancelReturned.load());
}

}  // namespace
}  // namespace platform::reactive
