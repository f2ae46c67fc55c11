/*
 * Kelvara C interface: how its functions are declared. Included by every
 * header of the interface; include <kelvara.h> rather than this file.
 */
#ifndef KELVARA_EXPORT_H
#define KELVARA_EXPORT_H

/* Marks a function the shared library exports; everything else it hides. */
#if defined(__GNUC__) || defined(__clang__)
#define KELVARA_EXPORT __attribute__((visibility("default")))
#else
#define KELVARA_EXPORT
#endif

/* The functions of the boundary, the gate and the result texts never throw:
 * C++ callers see that in their type. */
#if defined(__cplusplus)
#define KELVARA_NOEXCEPT noexcept
#else
#define KELVARA_NOEXCEPT
#endif

/* Marks a function whose result decides whether a command may be applied:
 * a caller that ignores it gets a warning. Nothing where the compiler lacks
 * the attribute. */
#if defined(__GNUC__) || defined(__clang__)
#define KELVARA_MUST_USE __attribute__((warn_unused_result))
#else
#define KELVARA_MUST_USE
#endif

/* Marks the pointer parameters (by position) that must not be null. Off unless
 * the caller defines KELVARA_ASSUME_NONNULL before including <kelvara.h>:
 * every function promises -1 (or NULL) for a null pointer, and GCC's nonnull
 * lets the optimiser assume a marked argument non-null after the call and
 * delete the caller's own later NULL checks, which would break that promise
 * for callers who rely on it. A caller that never passes NULL may opt in to
 * have the compiler flag a null argument it can see (-Wnonnull). The library is
 * never built with it, so its own NULL checks stay. */
#if defined(KELVARA_ASSUME_NONNULL) && (defined(__GNUC__) || defined(__clang__))
#define KELVARA_NONNULL(...) __attribute__((nonnull(__VA_ARGS__)))
#else
#define KELVARA_NONNULL(...)
#endif

#endif /* KELVARA_EXPORT_H */
