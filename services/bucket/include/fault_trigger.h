// A test-only way to make tarvolt-bucket fault inside its allocator, so that
// tests and the reliability suite can show that the crash report and the
// supervisor's restart still work when the allocator's lock is held at the
// time of the fault.
//
// With TARVOLT_TEST_FAULT=allocator in the environment, `armFaultTrigger`
// starts a thread that waits for SIGUSR2; on it, that thread enters the
// allocator and raises SIGSEGV from inside it with the allocator's lock held
// (in sanitized builds a lock of the allocation hook stands in for it, and
// every later allocation of the process waits for that lock). Without the
// variable nothing happens.
//
// Thread-safety: call once from main before any other thread exists (the
// signal is blocked for every thread created afterwards).
#pragma once

// Arms the trigger when the environment asks for it; returns at once.
void armFaultTrigger();

// With TARVOLT_TEST_CRASH_AT=<step> in the environment, `crashPoint(step)`
// kills the process with SIGKILL when the step of that name is reached (as
// an OOM kill or a power cut would end it there), so that tests can show
// what each step leaves behind; "<step>@<n>" kills it the nth time the step
// is reached (a step of each bucket of a bulk deletion, say). Without the
// variable it does nothing. Any thread.
void crashPoint(const char* step);
