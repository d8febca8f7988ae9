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
