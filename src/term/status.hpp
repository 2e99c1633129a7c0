#pragma once
// A transient status line with a spinner (Console::status). On a terminal a
// background thread animates it; elsewhere nothing is shown. The destructor removes
// the line and joins the thread, so the line goes away also when the block throws.
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace tarvo::term {

class Status {
 public:
  Status(std::FILE* stream, std::string text, bool animate);
  ~Status();
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;

  void update(std::string text);

 private:
  void run();

  std::FILE* stream_;
  std::string text_;
  bool animate_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tarvo::term
