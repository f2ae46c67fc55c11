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

#endif /* KELVARA_EXPORT_H */
