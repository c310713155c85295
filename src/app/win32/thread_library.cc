// The eight POSIX thread calls that the C++ run-time makes in the Windows stub, on Win32's
// own primitives.
//
// The exception support asks for them: the per-thread record of exceptions in flight lives
// in emulated thread-local storage (a key, a once-only initialisation, a mutex), and the
// emergency pool for exception objects has a mutex. Through them the static link would
// bring in the whole POSIX thread library, some 27 KB of the stub for a program that runs
// one thread and creates none. A program that starts a thread links the library's
// pthread_create, whose object also defines these: the link then fails with "multiple
// definition", and this file goes.
//
// Keys have no destructors here: a thread's values are freed with the process, as the
// stub's only thread ends with it.
#include <errno.h>
#include <pthread.h>

#include "platform/win32/win32_windows.h"

namespace {

// A mutex is a slim reader/writer lock in the mutex's own pointer-sized storage, which
// starts as SRWLOCK_INIT (0). A mutex initialised statically holds
// PTHREAD_MUTEX_INITIALIZER (-1) until its first use.
SRWLOCK* LockOf(pthread_mutex_t* m) {
  InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(m), nullptr,
                                    reinterpret_cast<void*>(PTHREAD_MUTEX_INITIALIZER));
  return reinterpret_cast<SRWLOCK*>(m);
}

}  // namespace

extern "C" {

int pthread_once(pthread_once_t* once, void (*init)(void)) {
  // 0: not run yet (PTHREAD_ONCE_INIT), 1: running in another thread, 2: done.
  if (InterlockedCompareExchange(once, 1, 0) == 0) {
    init();
    InterlockedExchange(once, 2);
  }
  while (InterlockedCompareExchange(once, 2, 2) != 2) SwitchToThread();
  return 0;
}

int pthread_key_create(pthread_key_t* key, void (*)(void*)) {
  const DWORD index = TlsAlloc();
  if (index == TLS_OUT_OF_INDEXES) return EAGAIN;
  *key = index;
  return 0;
}

void* pthread_getspecific(pthread_key_t key) {
  // The caller's last error survives: TlsGetValue sets it to 0.
  const DWORD error = GetLastError();
  void* value = TlsGetValue(key);
  SetLastError(error);
  return value;
}

int pthread_setspecific(pthread_key_t key, const void* value) {
  return TlsSetValue(key, const_cast<void*>(value)) ? 0 : EINVAL;
}

int pthread_mutex_init(pthread_mutex_t* m, const pthread_mutexattr_t*) {
  *m = 0;
  return 0;
}

int pthread_mutex_destroy(pthread_mutex_t*) { return 0; }

int pthread_mutex_lock(pthread_mutex_t* m) {
  AcquireSRWLockExclusive(LockOf(m));
  return 0;
}

int pthread_mutex_unlock(pthread_mutex_t* m) {
  ReleaseSRWLockExclusive(LockOf(m));
  return 0;
}

}  // extern "C"
