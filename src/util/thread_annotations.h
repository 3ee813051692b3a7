#pragma once

// Clang's thread-safety attributes, checked by -Wthread-safety in the clang build and
// expanding to nothing under GCC. Mutexes are vela::Mutex (util/mutex.h), whose lock
// and unlock carry the capability, so members marked GUARDED_BY(mu_) are proved to be
// touched only with mu_ held.

#if defined(__clang__)
#define VELA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELA_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VELA_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VELA_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VELA_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VELA_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VELA_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VELA_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) VELA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VELA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VELA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VELA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) VELA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) VELA_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) VELA_THREAD_ANNOTATION(lock_returned(x))
// Only where the analysis cannot follow, with a comment saying why.
#define NO_THREAD_SAFETY_ANALYSIS VELA_THREAD_ANNOTATION(no_thread_safety_analysis)
