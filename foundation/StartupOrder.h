// The order of start-up initialisers across translation units, which C++ leaves open.
// Lower priorities run first; exit handlers registered by them run in reverse, after those of
// every ordinary static object. GCC and Clang honour init_priority on PE and ELF alike.
#pragma once

/// The four string pools, constructed pool 1 to pool 4 in one translation unit.
#define STARTUP_ORDER_STRING_POOLS __attribute__((init_priority(1000)))

/// Initialisers that may rely on the string pools (the registry root).
#define STARTUP_ORDER_AFTER_STRING_POOLS __attribute__((init_priority(1001)))
