// A debug check that a call runs on the main thread.
//
// TEVRA_ASSERT_MAIN_THREAD() at the top of a function documented "main
// thread" checks, in builds with TEVRA_THREAD_CHECKS defined, that the caller
// is on the installed dispatch's main thread (Dispatch::isMainThread). CMake
// defines it in Debug builds and, in any build, with -DTEVRA_THREAD_CHECKS=ON;
// otherwise the macro is empty and costs nothing.
//
// Fails: a call from another thread writes one line naming the function and
// the calling thread to the system log (and to standard error, as the log may
// only record it), then aborts. Without an installed platform or dispatch
// the check passes.
// Example: Renderer::update() called on a worker thread logs
//   "Main-thread check failed: void tevra::Renderer::update() called on
//   thread 4242 (worker)" and aborts.
// Threads: any thread may check.
#pragma once

namespace tevra {

// The check itself, in every build; the macro below is the way to use it.
void assertMainThread(const char* function);

}  // namespace tevra

#if defined(TEVRA_THREAD_CHECKS)
#define TEVRA_ASSERT_MAIN_THREAD() ::tevra::assertMainThread(__PRETTY_FUNCTION__)
#else
#define TEVRA_ASSERT_MAIN_THREAD() static_cast<void>(0)
#endif
