#pragma once
// The recursive mutex around each ready-state change and its change notifications: an observer
// may set the ready state again from within a notification on the same thread.

#include <pthread.h>

using WSMutex = pthread_mutex_t*;

/// A new recursive mutex.
WSMutex WSMutexInitRecursive();
void WSMutexDestroy(WSMutex mutex);
int WSMutexLock(WSMutex mutex);
int WSMutexUnlock(WSMutex mutex);

/// A WSMutex that owns itself and is a standard lockable, for std::lock_guard.
class WSRecursiveMutex {
public:
  WSRecursiveMutex() : _mutex(WSMutexInitRecursive()) {}
  ~WSRecursiveMutex() { WSMutexDestroy(_mutex); }
  WSRecursiveMutex(const WSRecursiveMutex&) = delete;
  WSRecursiveMutex& operator=(const WSRecursiveMutex&) = delete;

  void lock() { WSMutexLock(_mutex); }
  void unlock() { WSMutexUnlock(_mutex); }

private:
  WSMutex _mutex;
};
