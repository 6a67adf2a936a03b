#include "logging/DDLogMessage.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/Queue.h"

namespace {

using namespace std::chrono_literals;

const DDLogMessage::Timestamp kWhen = DDLogMessage::Timestamp(1700000000s);

std::shared_ptr<DDLogMessage> make(std::string text, std::int64_t options = 0,
                                   DDLogObjectPtr tag = nullptr, const char* function = "run",
                                   DDLogMessage::Timestamp when = kWhen) {
  return std::make_shared<DDLogMessage>(std::move(text), DDLogLevel::all, DDLogFlag::info, 3,
                                        "/src/app/main.cpp", function, 42, std::move(tag), options,
                                        when);
}

TEST(DDLogMessage, FileNameIsTheLastComponentWithoutItsLastExtension) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"/a/b/name.ext", "name"}, {"/a/x.y.z", "x.y"},      {"/a/.hidden", ""},
      {"plain", "plain"},        {"dir.d/noext", "noext"}, {"", ""}};
  for (const auto& [path, name] : cases)
    EXPECT_EQ(DDLogMessage::fileNameOf(path), name) << path;
}

TEST(DDLogMessage, ContextOfConstruction) {
  auto tag = DDLogStringObject::make("T");
  DDLogMessage m("fmt %@", "fmt x", DDLogLevel::verbose, DDLogFlag::debug, -5, "dir/f.mm", nullptr,
                 0, tag, DDLogMessageOptions::copyFile, std::nullopt);
  EXPECT_EQ(m.fileName(), "f");
  EXPECT_FALSE(m.function().has_value());
  EXPECT_EQ(m.representedObject(), tag);
  // No timestamp given: the time of construction; the thread and queue are the caller's.
  EXPECT_LT(std::chrono::abs(DDLogMessage::Clock::now() - m.timestamp()), 60s);
  EXPECT_EQ(m.threadID(), std::to_string(::syscall(SYS_gettid)));

  auto queue =
      platform::dispatch::Queue::makeSerial("record.test.queue", platform::dispatch::QoS::Utility);
  std::shared_ptr<DDLogMessage> onQueue;
  queue->sync([&] { onQueue = make("on queue"); });
  queue.reset();
  EXPECT_EQ(onQueue->queueLabel(), "record.test.queue");  // outlives the queue handle
  EXPECT_EQ(onQueue->qos(), DDLogQoS::utility);
  EXPECT_EQ(make("main thread")->qos(), DDLogQoS::userInteractive);
  std::shared_ptr<DDLogMessage> offQueue;
  std::thread([&] { offQueue = make("off any queue"); }).join();
  EXPECT_EQ(offQueue->qos(), DDLogQoS::unspecified);
}

TEST(DDLogMessage, TextsAreSharedCopiedOrTakenAsAsked) {
  std::string file = "/p/file.cpp";
  std::string function = "func";
  std::string format = "format text long enough to live on the heap";
  const auto build = [&](std::int64_t options) {
    return std::make_unique<DDLogMessage>(
        std::string_view{format}, std::string_view{format}, DDLogLevel::all, DDLogFlag::info, 0,
        std::string_view{file}, std::string_view{function}, 1, nullptr, options, kWhen);
  };
  auto shared = build(DDLogMessageOptions::keepMessage);
  EXPECT_EQ(shared->file().data(), file.data());
  EXPECT_EQ(shared->function()->data(), function.data());
  EXPECT_EQ(shared->message().data(), format.data());

  auto copied = build(DDLogMessageOptions::copyFile | DDLogMessageOptions::copyFunction);
  file.assign(file.size(), '#');
  function.assign(function.size(), '#');
  format.assign(format.size(), '#');
  EXPECT_EQ(copied->file(), "/p/file.cpp");
  EXPECT_EQ(copied->fileName(), "file");
  EXPECT_EQ(copied->function(), "func");
  EXPECT_EQ(copied->messageFormat(), "format text long enough to live on the heap");
  EXPECT_EQ(copied->message(), "format text long enough to live on the heap");

  std::string moved = "moved message long enough to live on the heap";
  const char* buffer = moved.data();
  DDLogMessage owner(std::move(moved), DDLogLevel::all, DDLogFlag::info, 0, "f", nullptr, 1,
                     nullptr, 0, kWhen);
  EXPECT_EQ(owner.message().data(), buffer);  // taken, not copied
  EXPECT_EQ(owner.messageFormat().data(), buffer);

  // The argument-list form copies its format and adds keepMessage.
  const DDFormatArgument args[] = {ddFormatArgument("abc"), ddFormatArgument(std::int64_t{7})};
  std::string f = "%@ has %lli";
  DDLogMessage m(std::string_view{f}, args, DDLogLevel::all, DDLogFlag::warning, 0, "f.c", "fn", 9,
                 nullptr, DDLogMessageOptions::copyFunction, kWhen);
  f.assign(f.size(), '#');
  EXPECT_EQ(m.messageFormat(), "%@ has %lli");
  EXPECT_EQ(m.message(), "abc has 7");
  EXPECT_EQ(m.options(), DDLogMessageOptions::copyFunction | DDLogMessageOptions::keepMessage);
}

// A formatted text goes into the record's inline storage, which the queue label shares after it,
// or into a string of its own when it does not fit: neither may overwrite the other, whatever the
// text's length around the storage's size. The thread's name is kept to the kernel's 15 bytes.
TEST(DDLogMessage, FormattedTextAndQueueLabelShareTheRecordsStorage) {
  const std::string label(40, 'q');
  auto queue = platform::dispatch::Queue::makeSerial(label);
  for (const std::size_t size : {0, 1, 200, 215, 216, 217, 255, 256, 257, 1000}) {
    const std::string filler(size, 'm');
    const DDFormatArgument args[] = {ddFormatArgument(filler)};
    std::shared_ptr<const DDLogMessage> m;
    queue->sync([&] {
      m = DDLogMessage::create("%@", std::span<const DDFormatArgument>(args), DDLogLevel::all,
                               DDLogFlag::info, 0, "f.c", "fn", 1, nullptr,
                               DDLogMessageOptions::keepMessage, kWhen);
    });
    EXPECT_EQ(m->message(), filler) << size;
    EXPECT_EQ(m->queueLabel(), label) << size;
    EXPECT_EQ(*m->copy(), *m) << size;
  }

  std::string name;
  std::thread([&] {
    pthread_setname_np(pthread_self(), "fifteen-bytes-x");
    auto m = make("named");
    name = std::string(m->threadName().value_or("(none)"));
    EXPECT_EQ(m->threadID(), std::to_string(::syscall(SYS_gettid)));
    EXPECT_EQ(m->copy()->threadName(), m->threadName());
  }).join();
  EXPECT_EQ(name, "fifteen-bytes-x");
}

TEST(DDLogMessage, MissingTextsAreContractViolations) {
  platform::diagnostics::ScopedCapture capture;
  DDLogMessage a(nullptr, "m", DDLogLevel::all, DDLogFlag::info, 0, "f", nullptr, 1, nullptr, 0,
                 kWhen);
  DDLogMessage b("f", nullptr, DDLogLevel::all, DDLogFlag::info, 0, "f", nullptr, 1, nullptr, 0,
                 kWhen);
  DDLogMessage c("f", "m", DDLogLevel::all, DDLogFlag::info, 0, nullptr, nullptr, 1, nullptr, 0,
                 kWhen);
  EXPECT_EQ(capture.texts(),
            (std::vector<std::string>{
                "Contract violation: Invalid parameter not satisfying: messageFormat",
                "Contract violation: Invalid parameter not satisfying: message",
                "Contract violation: Invalid parameter not satisfying: file"}));
  EXPECT_EQ(a.messageFormat(), "");
  EXPECT_EQ(a.message(), "m");
  EXPECT_EQ(c.fileName(), "");
}

TEST(DDLogMessage, EqualityAndHashIgnoreOptionsButNotThreadTimeFunctionOrTag) {
  auto a = make("same", 0);
  auto b = make("same", DDLogMessageOptions::copyFile | DDLogMessageOptions::copyFunction);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(std::hash<DDLogMessage>{}(*a), b->hash());
  std::shared_ptr<DDLogMessage> otherThread;
  std::thread([&] { otherThread = make("same"); }).join();
  auto noFunction = make("same", 0, nullptr, nullptr);
  for (const auto& different :
       {otherThread, make("different"), make("same", 0, nullptr, "run", kWhen + 1ns), noFunction}) {
    EXPECT_FALSE(*a == *different) << different->message();
  }
  EXPECT_FALSE(*noFunction == *a);

  // Tags: by the object's equality when offered, else by identity.
  auto t1 = make("same", 0, DDLogStringObject::make("x"));
  EXPECT_EQ(*t1, *make("same", 0, DDLogStringObject::make("x")));
  EXPECT_EQ(t1->hash(), make("same", 0, DDLogStringObject::make("x"))->hash());
  EXPECT_FALSE(*t1 == *make("same", 0, DDLogStringObject::make("y")));
  EXPECT_FALSE(*t1 == *a);
  auto plain = std::make_shared<DDLogObject>();
  EXPECT_FALSE(*make("same", 0, plain) == *make("same", 0, std::make_shared<DDLogObject>()));
  EXPECT_EQ(*make("same", 0, plain), *make("same", 0, plain));
}

TEST(DDLogMessage, CopySharesTextsWhenOwnedAndOutlivesTheOriginal) {
  auto tag = DDLogStringObject::make("T");
  auto original = make("a message long enough to live on the heap", 0, tag);
  const char* text = original->message().data();
  auto copy = original->copy();
  EXPECT_EQ(*copy, *original);
  EXPECT_EQ(copy->message().data(), text);  // shared, not copied
  EXPECT_EQ(copy->tag(), tag);
  EXPECT_EQ(copy->threadName(), original->threadName());
  original.reset();
  EXPECT_EQ(copy->message(), "a message long enough to live on the heap");
  EXPECT_EQ(copy->fileName(), "main");

  // A record no shared_ptr owns is copied text by text.
  DDLogMessage local("local text long enough to live on the heap", DDLogLevel::all,
                     DDLogFlag::error, 0, "f.c", "g", 1, nullptr, 0, kWhen);
  auto deep = local.copy();
  EXPECT_EQ(*deep, local);
  EXPECT_NE(deep->message().data(), local.message().data());
  EXPECT_EQ(deep->message().data(), deep->messageFormat().data());
  DDLogMessage empty;
  EXPECT_EQ(*empty.copy(), empty);
}

}  // namespace
