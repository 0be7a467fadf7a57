// A mutex that gives its system resources back when it is destroyed, for mutexes that live only
// as long as one session.
#pragma once

#if defined(__MINGW32__)
#include <pthread.h>
#endif

namespace quarn::tellan_api::platform {

// libstdc++ never destroys the native mutex of a std::mutex or std::recursive_mutex (they are
// statically initialisable), and MinGW's winpthreads gives a mutex that has once been contended
// an event handle: without this, every init/exit cycle would lose a handle on Windows.
template <class Mutex>
class ReleasingMutex : public Mutex {
public:
    ReleasingMutex() = default;
    ~ReleasingMutex() {
#if defined(__MINGW32__)
        pthread_mutex_destroy(this->native_handle());
#endif
    }
    ReleasingMutex(const ReleasingMutex&) = delete;
    ReleasingMutex& operator=(const ReleasingMutex&) = delete;
};

}  // namespace quarn::tellan_api::platform
