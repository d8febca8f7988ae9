#pragma once
// The one path by which a connection reports to its delegate: holds the delegate weakly, keeps
// the flags of the delegate's reports, and runs every report on the delegate's queue (the main
// queue unless the owner chose another). The connection never calls its delegate directly.
//
// Thread safety: every member may be called from any thread. One mutex stands in for the access
// queue: reads see every write made before them, writes never wait for a report to run.

#include "websocket/WSWebSocket.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {
class Queue;
}

/// Which reports the delegate takes, one bit each. Every delegate method is a virtual with a
/// do-nothing default (and "convert" answering true, which is what not implementing it means),
/// so a present delegate takes all nine; an absent one takes none.
struct WSDelegateAvailableMethods {
  bool didReceiveMessage : 1;
  bool didReceiveMessageWithString : 1;
  bool didReceiveMessageWithData : 1;
  bool didOpen : 1;
  bool didFailWithError : 1;
  bool didCloseWithCode : 1;
  bool didReceivePing : 1;
  bool didReceivePong : 1;
  bool shouldConvertTextFrameToString : 1;

  std::uint16_t bits() const;
  static WSDelegateAvailableMethods fromBits(std::uint16_t bits);
};

class WSDelegateController {
public:
  using DelegateBlock = std::function<void(const std::shared_ptr<WSWebSocketDelegate>& delegate,
                                           WSDelegateAvailableMethods methods)>;

  WSDelegateController();

  void setDelegate(std::weak_ptr<WSWebSocketDelegate> delegate);
  std::shared_ptr<WSWebSocketDelegate> delegate() const;

  /// nullptr selects the main queue; clears the operation queue.
  void setDispatchQueue(std::shared_ptr<platform::Queue> queue);
  std::shared_ptr<platform::Queue> dispatchQueue() const;
  /// A queue given here is used instead of the dispatch queue; nullptr brings back the main queue.
  void setOperationQueue(std::shared_ptr<platform::Queue> queue);
  std::shared_ptr<platform::Queue> operationQueue() const;

  WSDelegateAvailableMethods availableDelegateMethods() const;
  void setAvailableDelegateMethods(WSDelegateAvailableMethods methods);

  /// Runs `block` on the delegate queue with a snapshot (taken now) of the delegate and its flags.
  void performDelegateBlock(DelegateBlock block);
  /// Runs `block` on the delegate queue.
  void performDelegateQueueBlock(std::function<void()> block);

  /// While held, reports gather in the open batch and are handed to the delegate queue only at
  /// `releaseReports`: a reader step that parses many messages hands them over at once. Holds
  /// nest; order is kept.
  void holdReports();
  void releaseReports();

  /// The main queue as a shared pointer that owns nothing.
  static std::shared_ptr<platform::Queue> mainQueue();

private:
  /// Reports waiting for one drain step on their queue: a burst of reports costs one hand-over
  /// to the delegate queue instead of one per report.
  struct Report {
    DelegateBlock block;
    /// The strong reference keeps the delegate alive until the report has run.
    std::shared_ptr<WSWebSocketDelegate> delegate;
    WSDelegateAvailableMethods methods{};
    std::function<void()> queueBlock;
  };
  struct Batch {
    std::vector<Report> reports;
    bool draining = false;
  };
  /// Shared with drain steps, which may outlive the controller: the mutex that guards every
  /// field (a report takes it once), and the report list of a drained batch, kept for the next.
  struct Shared {
    std::mutex mutex;
    std::vector<Report> spareReports;
  };
  static constexpr std::size_t kSpareReportsCapacity = 1024;
  void enqueue(Report report);
  static void post(const std::shared_ptr<platform::Queue>& queue, std::shared_ptr<Batch> batch,
                   std::shared_ptr<Shared> shared);

  std::shared_ptr<Shared> _shared = std::make_shared<Shared>();
  std::shared_ptr<Batch> _openBatch;
  platform::Queue* _openBatchQueue = nullptr;
  /// The queue of a held batch not yet handed over, and how many holds are open.
  std::shared_ptr<platform::Queue> _heldQueue;
  int _holds = 0;
  WSDelegateAvailableMethods _availableDelegateMethods{};
  std::weak_ptr<WSWebSocketDelegate> _delegate;
  std::shared_ptr<platform::Queue> _dispatchQueue;
  std::shared_ptr<platform::Queue> _operationQueue;
};
