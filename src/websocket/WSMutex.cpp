#include "websocket/WSMutex.hpp"

WSMutex WSMutexInitRecursive() {
  auto* mutex = new pthread_mutex_t;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  return mutex;
}

void WSMutexDestroy(WSMutex mutex) {
  pthread_mutex_destroy(mutex);
  delete mutex;
}

int WSMutexLock(WSMutex mutex) { return pthread_mutex_lock(mutex); }
int WSMutexUnlock(WSMutex mutex) { return pthread_mutex_unlock(mutex); }
