#pragma once

// Clang's thread-safety attributes: with -Wthread-safety the compiler proves that
// state marked GUARDED_BY is touched only with its lock held. Other compilers see
// nothing.
#if defined(__clang__)
#define VKT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VKT_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VKT_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VKT_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VKT_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VKT_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) VKT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) VKT_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) VKT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) VKT_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) VKT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) VKT_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VKT_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) VKT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VKT_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VKT_THREAD_ANNOTATION(no_thread_safety_analysis)
