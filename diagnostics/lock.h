// Locks that give back what the threads runtime made for them. On the MinGW
// posix threads runtime std::mutex has no destructor, so the event it makes the
// first time it is contended is never closed; a plug-in loaded and unloaded
// within one player process would leave one behind each time.
#pragma once

#include <mutex>
#ifdef _WIN32
#include <pthread.h>
#endif

template <class Mutex>
class CReleasedLock : public Mutex {
  public:
    CReleasedLock() = default;
#ifdef _WIN32
    ~CReleasedLock() {
        pthread_mutex_destroy(this->native_handle());
    }
#endif
};

using CMutex = CReleasedLock<std::mutex>;
using CRecursiveMutex = CReleasedLock<std::recursive_mutex>;
