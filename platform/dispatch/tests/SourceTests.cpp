#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/DescriptorWatch.h"
#include "platform/dispatch/Dispatch.h"
#include "testsupport/Eventually.h"
#include "testsupport/TemporaryDirectory.h"

using namespace platform::dispatch;
using namespace std::chrono_literals;
using testsupport::eventually;

namespace {

TEST(TimerSource, OneShotRepeatingCancelAndSuspension) {
  auto q = Queue::makeSerial("test.timer");
  // One-shot: fires once, with one expiration, and not before resume().
  auto once = TimerSource::make(q);
  std::atomic<int> onceRuns{0};
  std::atomic<std::uint64_t> onceData{0};
  once->setEventHandler([&] {
    onceRuns.fetch_add(1);
    onceData = once->data();
  });
  once->schedule(Time::after(1ms), 0ns, 0ns);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(onceRuns.load(), 0);  // created suspended
  once->resume();
  ASSERT_TRUE(eventually([&] { return onceRuns.load() == 1; }));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(onceRuns.load(), 1);
  EXPECT_EQ(onceData.load(), 1U);

  // Repeating: counts expirations; cancel stops it and runs the cancel handler once, after
  // which no event handler runs.
  auto rep = TimerSource::make(q, TimerSource::Strict);
  std::atomic<std::uint64_t> fired{0};
  std::atomic<int> cancels{0};
  std::atomic<std::uint64_t> firedAtCancel{0};
  rep->setEventHandler([&] { fired.fetch_add(rep->data()); });
  rep->setCancelHandler([&] {
    cancels.fetch_add(1);
    firedAtCancel = fired.load();
  });
  rep->schedule(Time::after(2ms), 2ms, 0ns);
  rep->resume();
  ASSERT_TRUE(eventually([&] { return fired.load() >= 5; }));
  rep->cancel();
  rep->cancel();
  EXPECT_TRUE(rep->isCancelled());
  ASSERT_TRUE(eventually([&] { return cancels.load() == 1; }));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(cancels.load(), 1);
  EXPECT_EQ(fired.load(), firedAtCancel.load());

  // Wall-clock deadline: fires once the wall clock reaches it.
  auto wall = TimerSource::make(q);
  Time wallDeadline = Time::wallAfter(30ms);
  std::atomic<bool> wallOnTime{false}, wallFired{false};
  wall->setEventHandler([&] {
    wallOnTime = Time::wallNow().nanoseconds() >= wallDeadline.nanoseconds();
    wallFired = true;
  });
  wall->schedule(wallDeadline, 0ns, 5ms);
  wall->resume();
  ASSERT_TRUE(eventually([&] { return wallFired.load(); }));
  EXPECT_TRUE(wallOnTime.load());

  // Suspended after starting: expirations are merged and delivered on resume.
  auto merged = TimerSource::make(q);
  std::atomic<std::uint64_t> mergedData{0};
  std::atomic<int> mergedRuns{0};
  merged->setEventHandler([&] {
    if (mergedRuns.fetch_add(1) == 0) mergedData = merged->data();
  });
  merged->schedule(Time::after(1h), 0ns, 0ns);
  merged->resume();
  merged->suspend();
  merged->schedule(Time::now(), 1ms, 0ns);  // re-armed: due now, then every millisecond
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(mergedRuns.load(), 0);
  merged->resume();
  ASSERT_TRUE(eventually([&] { return mergedRuns.load() >= 1; }));
  merged->cancel();
  q->sync([] {});
  EXPECT_GE(mergedData.load(), 5U);
}

// A handler that throws loses only that call: the source keeps firing, and a throwing cancel
// handler is reported like any other item.
TEST(Source, AThrowingHandlerIsReportedAndTheSourceKeepsFiring) {
  platform::diagnostics::ScopedCapture capture;
  auto q = Queue::makeSerial("test.throw.timer");
  auto timer = TimerSource::make(q);
  std::atomic<int> calls{0};
  std::atomic<bool> cancelled{false};
  timer->setEventHandler([&] {
    calls.fetch_add(1);
    throw std::runtime_error("tick");
  });
  timer->setCancelHandler([&] {
    cancelled = true;
    throw std::runtime_error("cancel");
  });
  timer->schedule(Time::after(1ms), 2ms, 0ns);
  timer->resume();
  ASSERT_TRUE(eventually([&] { return calls.load() >= 3; }));
  timer->cancel();
  ASSERT_TRUE(eventually([&] { return cancelled.load(); }));
  q->sync([] {});  // the cancel handler's report is made before its item ends
  const auto texts = capture.texts();
  const std::string prefix = "Contract violation: dispatch: an item of test.throw.timer threw ";
  ASSERT_GE(texts.size(), 4U);
  for (std::size_t i = 0; i + 1 < texts.size(); ++i)
    EXPECT_EQ(texts[i], prefix + "an exception (tick); it is dropped and the queue goes on");
  EXPECT_EQ(texts.back(), prefix + "an exception (cancel); it is dropped and the queue goes on");
}

// A descriptor watch's handler runs on the event thread every source shares: one that throws is
// reported, and the thread (and with it every other source) goes on serving later reports.
TEST(DescriptorWatch, AThrowingHandlerIsReportedAndTheEventThreadGoesOn) {
  platform::diagnostics::ScopedCapture capture;
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  std::atomic<int> reports{0};
  auto watch = DescriptorWatch::make(fds[0], [&](std::uint32_t) {
    if (reports.fetch_add(1) == 0) throw std::runtime_error("watch");
  });
  ASSERT_NE(watch, nullptr);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  ASSERT_TRUE(watch->arm(DescriptorWatch::Readable));
  ASSERT_TRUE(eventually([&] { return reports.load() == 1; }));
  ASSERT_TRUE(watch->arm(DescriptorWatch::Readable));  // still readable: reported again
  ASSERT_TRUE(eventually([&] { return reports.load() == 2; }));
  auto timer = TimerSource::make(Queue::makeSerial("test.watch.after"));
  std::atomic<bool> fired{false};
  timer->setEventHandler([&] { fired = true; });
  timer->schedule(Time::after(1ms), 0ns, 0ns);
  timer->resume();
  EXPECT_TRUE(eventually([&] { return fired.load(); }));
  timer->cancel();
  watch.reset();
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(capture.texts(),
            std::vector<std::string>{"Contract violation: dispatch: a descriptor watch handler "
                                     "threw an exception (watch); the report is dropped"});
}

TEST(Source, HandlersNeverOverlapAndDropFromOwnHandlerIsSafe) {
  // On a concurrent queue, a fast timer with a slow handler still runs one handler at a time.
  auto cq = Queue::makeConcurrent("test.source.concurrent");
  auto t = TimerSource::make(cq);
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0}, runs{0};
  t->setEventHandler([&] {
    if (inside.exchange(true)) overlaps.fetch_add(1);
    std::this_thread::sleep_for(3ms);
    runs.fetch_add(1);
    inside = false;
  });
  t->schedule(Time::now(), 500us, 0ns);
  t->resume();
  ASSERT_TRUE(eventually([&] { return runs.load() >= 10; }));
  std::atomic<bool> cancelled{false};
  t->setCancelHandler([&] { cancelled = true; });
  t.reset();  // last reference: cancels
  ASSERT_TRUE(eventually([&] { return cancelled.load(); }));
  EXPECT_EQ(overlaps.load(), 0);

  // A handler that drops the last reference to its own source: the cancel handler runs once,
  // after that handler returned, and nothing hangs.
  auto q = Queue::makeSerial("test.source.drop");
  struct Holder {
    std::mutex m;
    std::shared_ptr<TimerSource> source;
  };
  auto holder = std::make_shared<Holder>();
  std::atomic<bool> inHandler{false}, cancelledInsideHandler{false};
  std::atomic<int> eventRuns{0}, cancelRuns{0};
  holder->source = TimerSource::make(q);
  holder->source->setEventHandler([&, h = holder.get()] {
    inHandler = true;
    eventRuns.fetch_add(1);
    std::shared_ptr<TimerSource> last;
    {
      std::lock_guard lock(h->m);
      last.swap(h->source);
    }
    last.reset();  // destroys the source from inside its own handler
    inHandler = false;
  });
  holder->source->setCancelHandler([&] {
    if (inHandler.load()) cancelledInsideHandler = true;
    cancelRuns.fetch_add(1);
  });
  holder->source->schedule(Time::now(), 1ms, 0ns);
  holder->source->resume();
  ASSERT_TRUE(eventually([&] { return cancelRuns.load() == 1; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(eventRuns.load(), 1);
  EXPECT_EQ(cancelRuns.load(), 1);
  EXPECT_FALSE(cancelledInsideHandler.load());
}

TEST(SignalSource, DeliversRaisedSignalsAndDiscardsOneIgnoredBeforeArming) {
  auto q = Queue::makeSerial("test.signal");
  sigset_t both, oldMask;
  sigemptyset(&both);
  sigaddset(&both, SIGUSR1);
  sigaddset(&both, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, nullptr, &oldMask);
  struct sigaction oldUsr1 {
  }, oldUsr2{};
  sigaction(SIGUSR1, nullptr, &oldUsr1);
  sigaction(SIGUSR2, nullptr, &oldUsr2);

  {
    auto s = SignalSource::make(SIGUSR1, q);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->signal(), SIGUSR1);
    std::atomic<std::uint64_t> delivered{0};
    s->setEventHandler([&] { delivered.fetch_add(s->data()); });
    s->resume();
    kill(getpid(), SIGUSR1);
    ASSERT_TRUE(eventually([&] { return delivered.load() == 1; }));
    kill(getpid(), SIGUSR1);
    ASSERT_TRUE(eventually([&] { return delivered.load() == 2; }));
    s->cancel();
  }
  {
    // Ignored and blocked: an instance raised now stays pending. Arming discards it.
    signal(SIGUSR2, SIG_IGN);
    sigset_t usr2;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &usr2, nullptr);
    kill(getpid(), SIGUSR2);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_TRUE(sigismember(&pending, SIGUSR2));
    auto s = SignalSource::make(SIGUSR2, q);
    ASSERT_NE(s, nullptr);
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGUSR2));
    std::atomic<int> runs{0};
    s->setEventHandler([&] { runs.fetch_add(1); });
    s->resume();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(runs.load(), 0);
    // One raised after arming is delivered, although the disposition is still SIG_IGN.
    kill(getpid(), SIGUSR2);
    ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
    s->cancel();
  }
  EXPECT_EQ(SignalSource::make(SIGKILL, q), nullptr);
  EXPECT_EQ(SignalSource::make(0, q), nullptr);

  q->sync([] {});
  sigaction(SIGUSR1, &oldUsr1, nullptr);
  sigaction(SIGUSR2, &oldUsr2, nullptr);
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
}

TEST(FileSource, SeesWriteRenameLinkAndUnlinkWhileOpen) {
  testsupport::TemporaryDirectory dir;
  auto q = Queue::makeSerial("test.file");
  std::string path = (dir.path() / "watched.log").string();
  int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  std::atomic<std::uint64_t> seen{0};
  auto s = FileSource::make(fd, FileDelete | FileWrite | FileExtend | FileRename | FileLink, q);
  ASSERT_NE(s, nullptr);
  s->setEventHandler([&] { seen.fetch_or(s->data()); });
  s->resume();

  ASSERT_EQ(write(fd, "hello", 5), 5);
  ASSERT_TRUE(eventually(
      [&] { return (seen.load() & (FileWrite | FileExtend)) == (FileWrite | FileExtend); }));
  EXPECT_EQ(seen.load() & (FileDelete | FileRename), 0U);

  std::string moved = (dir.path() / "moved.log").string();
  ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
  ASSERT_TRUE(eventually([&] { return (seen.load() & FileRename) != 0; }));
  EXPECT_EQ(seen.load() & FileDelete, 0U);

  // Removing one of two names is a link change, not a deletion.
  std::string second = (dir.path() / "second.log").string();
  ASSERT_EQ(link(moved.c_str(), second.c_str()), 0);
  ASSERT_TRUE(eventually([&] { return (seen.load() & FileLink) != 0; }));
  seen = 0;
  ASSERT_EQ(unlink(second.c_str()), 0);
  ASSERT_TRUE(eventually([&] { return (seen.load() & FileLink) != 0; }));
  EXPECT_EQ(seen.load() & FileDelete, 0U);

  // Unlinking the last name while the file is open.
  ASSERT_EQ(unlink(moved.c_str()), 0);
  ASSERT_TRUE(eventually([&] { return (seen.load() & FileDelete) != 0; }));

  s->cancel();
  q->sync([] {});
  close(fd);

  // Events outside the mask are not delivered.
  std::string other = (dir.path() / "other.log").string();
  int fd2 = open(other.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  ASSERT_GE(fd2, 0);
  std::atomic<int> runs{0};
  auto onlyDelete = FileSource::make(fd2, FileDelete, q);
  onlyDelete->setEventHandler([&] { runs.fetch_add(1); });
  onlyDelete->resume();
  ASSERT_EQ(write(fd2, "x", 1), 1);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(runs.load(), 0);
  ASSERT_EQ(unlink(other.c_str()), 0);
  ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
  onlyDelete->cancel();
  q->sync([] {});
  close(fd2);
  EXPECT_EQ(FileSource::make(-1, FileDelete, q), nullptr);
}

TEST(ReadSource, PartialReadsAreCalledAgainUntilDrainedThenEof) {
  auto q = Queue::makeSerial("test.read");
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
  auto s = ReadSource::make(p[0], q);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->fd(), p[0]);
  std::mutex m;
  std::vector<std::uint64_t> estimates;
  std::string got;
  std::atomic<bool> eof{false};
  std::atomic<int> cancels{0};
  s->setEventHandler([&] {
    char buf[4];
    ssize_t n = read(p[0], buf, sizeof buf);  // deliberately less than what is there
    std::lock_guard lock(m);
    estimates.push_back(s->data());
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    if (n == 0) {
      eof = true;
      s->cancel();
    }
  });
  s->setCancelHandler([&] { cancels.fetch_add(1); });
  ASSERT_EQ(write(p[1], "0123456789", 10), 10);
  s->resume();
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return got.size() == 10;
  }));
  close(p[1]);
  ASSERT_TRUE(eventually([&] { return eof.load() && cancels.load() == 1; }));
  std::lock_guard lock(m);
  EXPECT_EQ(got, "0123456789");
  ASSERT_GE(estimates.size(), 4U);
  EXPECT_EQ(estimates[0], 10U);
  EXPECT_EQ(estimates[1], 6U);
  EXPECT_EQ(estimates[2], 2U);
  EXPECT_EQ(estimates.back(), 0U);
  close(p[0]);
}

TEST(WriteSource, FiresWhenRoomAppearsAndFlagsAReaderThatWentAway) {
  signal(SIGPIPE, SIG_IGN);
  auto q = Queue::makeSerial("test.write");
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
  const auto fill = [&] {
    char block[4096] = {};
    while (write(p[1], block, sizeof block) > 0) {
    }
  };
  fill();
  auto s = WriteSource::make(p[1], q);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->fd(), p[1]);
  std::mutex m;
  std::vector<std::uint64_t> seen;
  s->setEventHandler([&] {
    std::lock_guard lock(m);
    seen.push_back(s->data());
    if (s->data() == 0) fill();  // full again: no more events until the reader takes some
  });
  s->resume();
  char sink[4096];
  ASSERT_GT(read(p[0], sink, sizeof sink), 0);  // room for one more block
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return seen.size() == 1;
  }));
  close(p[0]);
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(m);
    return seen.size() >= 2;
  }));
  s->cancel();
  q->sync([] {});  // a delivery that was under way when cancel() came has finished
  std::lock_guard lock(m);
  // Room once, then the reader's end: an error for as long as the source watches.
  EXPECT_EQ(seen[0], 0U);
  for (std::size_t i = 1; i < seen.size(); ++i)
    EXPECT_EQ(seen[i], 1U) << "event " << i;
  close(p[1]);
}

TEST(ProcessSource, SeesAChildExitAndRefusesMissingProcesses) {
  auto q = Queue::makeSerial("test.process");
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(p[1]);
    char c;
    while (read(p[0], &c, 1) < 0) {
    }
    _exit(3);
  }
  close(p[0]);
  auto s = ProcessSource::make(child, q);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->pid(), child);
  std::atomic<std::uint64_t> data{0};
  std::atomic<int> runs{0};
  s->setEventHandler([&] {
    data = s->data();
    runs.fetch_add(1);
  });
  s->resume();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(runs.load(), 0);  // still alive
  close(p[1]);                // lets the child exit
  ASSERT_TRUE(eventually([&] { return runs.load() == 1; }));
  EXPECT_EQ(data.load(), ProcessExit);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(runs.load(), 1);  // an exit is reported once
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 3);
  s->cancel();
  // The reaped child no longer exists.
  EXPECT_EQ(ProcessSource::make(child, q), nullptr);
  EXPECT_EQ(ProcessSource::make(-5, q), nullptr);
}

}  // namespace
