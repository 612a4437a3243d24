/* alnforge_attr.h: the attributes that the public headers put on their declarations. Each
 * one is empty where the compiler lacks it, so the headers stay plain C99 and C++.
 *
 *  ALNFORGE_RESULT_USED   before a function whose result reports failure (or hands over
 *                         memory): a caller that drops the result gets a warning. A caller
 *                         that must build without it may define it, empty, first.
 *  ALNFORGE_PRINTF(f, a)  after a printf-style function: argument f is the format and a the
 *                         first argument it formats; the compiler checks the pair.
 */
#ifndef ALNFORGE_ATTR_H
#define ALNFORGE_ATTR_H

#ifndef ALNFORGE_RESULT_USED
#if defined(__cplusplus) && __cplusplus >= 201703L
#define ALNFORGE_RESULT_USED [[nodiscard]]
#elif defined(__GNUC__)
#define ALNFORGE_RESULT_USED __attribute__((warn_unused_result))
#else
#define ALNFORGE_RESULT_USED
#endif
#endif

#ifndef ALNFORGE_PRINTF
#if defined(__GNUC__)
#define ALNFORGE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ALNFORGE_PRINTF(fmt, args)
#endif
#endif

#endif
