#pragma once

#include <windows.h>

namespace tarlowen::testing_support {

// True when the test runs under Wine rather than on Windows: Wine's ntdll exports its version. A
// test accepts Wine's outcome beside Windows' only where this is true, so on Windows the strict
// expectation holds.
inline bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace tarlowen::testing_support
