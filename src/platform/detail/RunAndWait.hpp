#pragma once
// The waiting half of every queue's sync(): the task runs elsewhere, the caller waits for it.

#include <exception>
#include <future>
#include <utility>

#include "platform/Queue.hpp"

namespace platform::detail {

/// Hands `post` a task that runs `task` once and then returns, and waits until it has run. What
/// `task` throws is thrown here, in the caller's thread. `post` must have the handed task run on
/// another thread (or later on this one by someone else), or the wait never ends.
template <class Post> void RunAndWait(Task& task, Post&& post) {
  std::promise<void> done;
  auto finished = done.get_future();
  std::forward<Post>(post)(Task([&task, &done] {
    try {
      task();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  }));
  finished.get();
}

} // namespace platform::detail
