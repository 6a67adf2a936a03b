#include "logging/DDLogMessage.h"

#include <gtest/gtest.h>
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
                                   DDLogObjectPtr tag = nullptr) {
  return std::make_shared<DDLogMessage>(std::move(text), DDLogLevel::all, DDLogFlag::info, 3,
                                        "/src/app/main.cpp", "run", 42, std::move(tag), options,
                                        kWhen);
}

TEST(DDLogMessage, FileNameRule) {
  EXPECT_EQ(DDLogMessage::fileNameOf("/a/b/name.ext"), "name");
  EXPECT_EQ(DDLogMessage::fileNameOf("/a/x.y.z"), "x.y");
  EXPECT_EQ(DDLogMessage::fileNameOf("/a/.hidden"), "");
  EXPECT_EQ(DDLogMessage::fileNameOf("plain"), "plain");
  EXPECT_EQ(DDLogMessage::fileNameOf("dir.d/noext"), "noext");  // a dot in a directory only
  EXPECT_EQ(DDLogMessage::fileNameOf(""), "");
  EXPECT_EQ(make("m")->fileName(), "main");
}

TEST(DDLogMessage, FieldsOfTheMainConstructor) {
  auto tag = DDLogStringObject::make("T");
  DDLogMessage m("fmt %@", "fmt x", DDLogLevel::verbose, DDLogFlag::debug, -5, "dir/f.mm", nullptr,
                 0, tag, DDLogMessageOptions::copyFile, std::nullopt);
  EXPECT_EQ(m.messageFormat(), "fmt %@");
  EXPECT_EQ(m.message(), "fmt x");
  EXPECT_EQ(m.level(), DDLogLevel::verbose);
  EXPECT_EQ(m.flag(), DDLogFlag::debug);
  EXPECT_EQ(m.context(), -5);
  EXPECT_EQ(m.file(), "dir/f.mm");
  EXPECT_EQ(m.fileName(), "f");
  EXPECT_FALSE(m.function().has_value());
  EXPECT_EQ(m.line(), 0u);
  EXPECT_EQ(m.tag(), tag);
  EXPECT_EQ(m.representedObject(), tag);
  EXPECT_EQ(m.options(), DDLogMessageOptions::copyFile);
  // No timestamp given: the time of construction.
  const auto age = DDLogMessage::Clock::now() - m.timestamp();
  EXPECT_GE(age, 0s);
  EXPECT_LT(age, 60s);
  EXPECT_EQ(m.threadID(), std::to_string(::syscall(SYS_gettid)));
  EXPECT_EQ(m.queueLabel(), platform::dispatch::Queue::currentLabel());
}

TEST(DDLogMessage, SharedOrCopiedTexts) {
  // Views are shared unless the option asks for a copy; moved strings are always the record's.
  std::string file = "/p/file.cpp";
  std::string function = "func";
  std::string format = "format text long enough to live on the heap";
  DDLogMessage shared(std::string_view{format}, std::string_view{format}, DDLogLevel::all,
                      DDLogFlag::info, 0, std::string_view{file}, std::string_view{function}, 1,
                      nullptr, DDLogMessageOptions::keepMessage, kWhen);
  EXPECT_EQ(shared.file().data(), file.data());
  EXPECT_EQ(shared.function()->data(), function.data());
  EXPECT_EQ(shared.messageFormat().data(), format.data());
  EXPECT_EQ(shared.message().data(), format.data());

  DDLogMessage copied(std::string_view{format}, std::string_view{format}, DDLogLevel::all,
                      DDLogFlag::info, 0, std::string_view{file}, std::string_view{function}, 1,
                      nullptr, DDLogMessageOptions::copyFile | DDLogMessageOptions::copyFunction,
                      kWhen);
  EXPECT_NE(copied.file().data(), file.data());
  EXPECT_NE(copied.function()->data(), function.data());
  EXPECT_NE(copied.messageFormat().data(), format.data());
  EXPECT_NE(copied.message().data(), format.data());
  file.assign(file.size(), '#');
  function.assign(function.size(), '#');
  format.assign(format.size(), '#');
  EXPECT_EQ(copied.file(), "/p/file.cpp");
  EXPECT_EQ(copied.fileName(), "file");
  EXPECT_EQ(copied.function(), "func");
  EXPECT_EQ(copied.message(), "format text long enough to live on the heap");

  std::string moved = "moved message long enough to live on the heap";
  const char* buffer = moved.data();
  DDLogMessage owner(std::move(moved), DDLogLevel::all, DDLogFlag::info, 0, "f", nullptr, 1,
                     nullptr, 0, kWhen);
  EXPECT_EQ(owner.message().data(), buffer);  // taken, not copied
  EXPECT_EQ(owner.messageFormat().data(), buffer);
}

TEST(DDLogMessage, ArgumentListConstructorFormatsAndAddsKeepMessage) {
  const std::int64_t n = 7;
  const DDFormatArgument args[] = {ddFormatArgument("abc"), ddFormatArgument(n)};
  std::string format = "%@ has %lli";
  DDLogMessage m(std::string_view{format}, args, DDLogLevel::all, DDLogFlag::warning, 0, "f.c",
                 "fn", 9, nullptr, DDLogMessageOptions::copyFunction, kWhen);
  format.assign(format.size(), '#');  // the format was copied first
  EXPECT_EQ(m.messageFormat(), "%@ has %lli");
  EXPECT_EQ(m.message(), "abc has 7");
  EXPECT_EQ(m.options(), DDLogMessageOptions::copyFunction | DDLogMessageOptions::keepMessage);
}

TEST(DDLogMessage, MissingTextsAreContractViolations) {
  platform::diagnostics::ScopedCapture capture;
  DDLogMessage a(nullptr, "m", DDLogLevel::all, DDLogFlag::info, 0, "f", nullptr, 1, nullptr, 0,
                 kWhen);
  DDLogMessage b("f", nullptr, DDLogLevel::all, DDLogFlag::info, 0, "f", nullptr, 1, nullptr, 0,
                 kWhen);
  DDLogMessage c("f", "m", DDLogLevel::all, DDLogFlag::info, 0, nullptr, nullptr, 1, nullptr, 0,
                 kWhen);
  const auto texts = capture.texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "Contract violation: Invalid parameter not satisfying: messageFormat");
  EXPECT_EQ(texts[1], "Contract violation: Invalid parameter not satisfying: message");
  EXPECT_EQ(texts[2], "Contract violation: Invalid parameter not satisfying: file");
  EXPECT_EQ(a.messageFormat(), "");
  EXPECT_EQ(a.message(), "m");
  EXPECT_EQ(c.file(), "");
  EXPECT_EQ(c.fileName(), "");
}

TEST(DDLogMessage, EqualityAndHashIgnoreThreadNameOptionsAndFileName) {
  auto a = make("same", 0);
  auto b = make("same", DDLogMessageOptions::copyFile | DDLogMessageOptions::copyFunction);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(a->hash(), b->hash());

  // A record built on another thread differs by its thread id.
  std::shared_ptr<DDLogMessage> other;
  std::thread([&] { other = make("same"); }).join();
  EXPECT_FALSE(*a == *other);

  EXPECT_FALSE(*a == *make("different"));
  auto late =
      std::make_shared<DDLogMessage>("same", DDLogLevel::all, DDLogFlag::info, 3,
                                     "/src/app/main.cpp", "run", 42, nullptr, 0, kWhen + 1ns);
  EXPECT_FALSE(*a == *late);
  auto noFunction =
      std::make_shared<DDLogMessage>("same", DDLogLevel::all, DDLogFlag::info, 3,
                                     "/src/app/main.cpp", nullptr, 42, nullptr, 0, kWhen);
  EXPECT_FALSE(*a == *noFunction);
  EXPECT_FALSE(*noFunction == *a);

  // Tags: by the object's equality when offered, else by identity.
  auto t1 = make("same", 0, DDLogStringObject::make("x"));
  auto t2 = make("same", 0, DDLogStringObject::make("x"));
  EXPECT_EQ(*t1, *t2);
  EXPECT_EQ(t1->hash(), t2->hash());
  EXPECT_FALSE(*t1 == *make("same", 0, DDLogStringObject::make("y")));
  EXPECT_FALSE(*t1 == *a);
  auto plain1 = std::make_shared<DDLogObject>();
  auto plain2 = std::make_shared<DDLogObject>();
  EXPECT_FALSE(*make("same", 0, plain1) == *make("same", 0, plain2));
  EXPECT_EQ(*make("same", 0, plain1), *make("same", 0, plain1));

  EXPECT_EQ(std::hash<DDLogMessage>{}(*a), a->hash());
}

TEST(DDLogMessage, CopySharesEveryValueAndOutlivesTheOriginal) {
  auto tag = DDLogStringObject::make("T");
  auto original = make("a message long enough to live on the heap", 0, tag);
  const char* text = original->message().data();
  auto copy = original->copy();
  EXPECT_EQ(*copy, *original);
  EXPECT_EQ(copy->message().data(), text);  // shared, not copied
  EXPECT_EQ(copy->tag(), tag);
  EXPECT_EQ(copy->threadName(), original->threadName());
  EXPECT_EQ(copy->options(), original->options());
  EXPECT_EQ(copy->fileName(), "main");
  original.reset();
  EXPECT_EQ(copy->message(), "a message long enough to live on the heap");

  // A record no shared_ptr owns is copied text by text.
  DDLogMessage local("local text long enough to live on the heap", DDLogLevel::all,
                     DDLogFlag::error, 0, "f.c", "g", 1, nullptr, 0, kWhen);
  auto deep = local.copy();
  EXPECT_EQ(*deep, local);
  EXPECT_NE(deep->message().data(), local.message().data());
  EXPECT_EQ(deep->message().data(), deep->messageFormat().data());

  DDLogMessage empty;
  EXPECT_EQ(empty.message(), "");
  EXPECT_FALSE(empty.function().has_value());
  EXPECT_EQ(*empty.copy(), empty);
}

TEST(DDLogMessage, QueueLabelAndQoSComeFromTheConstructingQueue) {
  auto queue =
      platform::dispatch::Queue::makeSerial("record.test.queue", platform::dispatch::QoS::Utility);
  std::shared_ptr<DDLogMessage> m;
  queue->sync([&] { m = make("on queue"); });
  EXPECT_EQ(m->queueLabel(), "record.test.queue");
  EXPECT_EQ(m->qos(), static_cast<std::uint64_t>(platform::dispatch::QoS::Utility));
  queue.reset();
  EXPECT_EQ(m->queueLabel(), "record.test.queue");  // the label outlives the queue handle
}

}  // namespace
