#include "kivora/platform/message.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace kivora {
namespace {

TEST(MessageTest, InstalledHandlerReceivesTextsAndCanBeSwapped) {
  std::vector<std::string> first, second;
  TShowMessageHandler previous = SetShowMessageHandler([&](const std::string& s) { first.push_back(s); });
  ShowMessage("one");
  TShowMessageHandler mine = SetShowMessageHandler([&](const std::string& s) { second.push_back(s); });
  ShowMessage("two");
  ASSERT_TRUE(mine);
  mine("three");  // the returned handler is the one installed before
  EXPECT_EQ(first, (std::vector<std::string>{"one", "three"}));
  EXPECT_EQ(second, (std::vector<std::string>{"two"}));
  SetShowMessageHandler(previous);
}

TEST(MessageTest, DefaultWithoutWidgetsWritesToStderr) {
  SetShowMessageHandler(nullptr);
  ::testing::internal::CaptureStderr();
  ShowMessage("Cannot open file");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Cannot open file\n");
}

TEST(MessageTest, HandlerSwapIsThreadSafe) {
  static int argc = 1;
  static char name[] = "kivora_platform_tests";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  std::mutex m;
  int received = 0;
  auto counting = [&](const std::string&) {
    std::lock_guard lock(m);
    ++received;
  };
  SetShowMessageHandler(counting);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop) SetShowMessageHandler(counting);
  });
  std::vector<std::thread> senders;
  for (int i = 0; i < 3; ++i)
    senders.emplace_back([] {
      for (int k = 0; k < 200; ++k) ShowMessage("hello");
    });
  for (auto& t : senders) t.join();
  stop = true;
  swapper.join();
  SetShowMessageHandler(nullptr);
  EXPECT_EQ(received, 600);
}

}  // namespace
}  // namespace kivora
