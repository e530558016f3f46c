#include <pthread.h>

#include <new>

#include "platform/platform.h"

namespace plat {

static_assert(sizeof(pthread_mutex_t) <= 64, "Lock storage too small");

static pthread_mutex_t* Mutex(unsigned char* storage) { return reinterpret_cast<pthread_mutex_t*>(storage); }

Lock::Lock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (storage_) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

Lock::~Lock() { pthread_mutex_destroy(Mutex(storage_)); }

void Lock::lock() { pthread_mutex_lock(Mutex(storage_)); }

void Lock::unlock() { pthread_mutex_unlock(Mutex(storage_)); }

bool Lock::try_lock() { return pthread_mutex_trylock(Mutex(storage_)) == 0; }

}  // namespace plat
