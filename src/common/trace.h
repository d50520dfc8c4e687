// Static tracepoints (USDT). Each ZELK_PROBE(provider, name, args...) is a
// single no-op instruction plus an ELF note naming the probe and where its
// arguments live; a tracer that attaches turns the no-op into a trap. Where
// <sys/sdt.h> is not available the probes compile to nothing.
#ifndef ZELK_COMMON_TRACE_H
#define ZELK_COMMON_TRACE_H

#if defined(ZELK_HAVE_SDT) && ZELK_HAVE_SDT
#define SDT_USE_VARIADIC 1
#include <sys/sdt.h>
#define ZELK_PROBE(provider, name, ...) STAP_PROBEV(provider, name, __VA_ARGS__)
#else
#define ZELK_PROBE(provider, name, ...) ((void)0)
#endif

#endif
