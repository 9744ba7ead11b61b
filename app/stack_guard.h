// The stack protector's canary and failure routine in the tool. The compiler
// puts the canary between a function's local buffers and its return address
// and compares it before the function returns: a changed canary means the
// stack was overrun, and the process ends at once with
// STATUS_STACK_BUFFER_OVERRUN, as a Windows program ends on a failed stack
// check (no handler runs, nothing is unwound, nothing is shown).
//
// The canary is seeded by the entry point, from the time, the process and
// thread, the tick count and the performance counter. The compiler's own
// protector runtime would seed it through the CryptoAPI, which loads a
// provider DLL during start-up, and by bare name on Windows that cannot
// restrict the DLL search.
#pragma once

// Gives the canary its secret value. Called first thing in the entry point,
// before any function that checks the canary runs.
extern "C" void SeedStackGuard(void);
