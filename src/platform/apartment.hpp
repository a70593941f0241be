#pragma once

namespace tarlowen {

// Stand-ins for the platform's apartment initialisation. Each thread keeps a count: CoInitialize
// raises it, CoUninitialize lowers it (never below zero). Components can be created only on a thread
// whose count is above zero, so an initialisation that is missing or released too early shows up as a
// failed creation, as it would on the platform. Callers ignore the results, so there are none.
void CoInitialize();
void CoUninitialize();

// The calling thread's count; for checks that every path releases what it took.
[[nodiscard]] int apartmentCount();

}  // namespace tarlowen
