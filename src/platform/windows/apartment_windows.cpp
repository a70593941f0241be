// The apartment count on Windows: each CoInitialize enters the system's single-threaded apartment
// and each CoUninitialize leaves it, and the count the bridge checks follows along, so a component
// is created only where the system would let it be.
#include <objbase.h>

#include <vector>

#include "platform/apartment.hpp"

namespace tarlowen {
namespace {

// One entry per initialisation still held: whether the system's call succeeded and so must be
// balanced by its own uninitialisation. A thread already in the multithreaded apartment keeps it
// (the call fails with RPC_E_CHANGED_MODE); components work there too, so it still counts.
thread_local std::vector<bool> t_entered;

}  // namespace

void CoInitialize() {
    const HRESULT result = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    t_entered.push_back(SUCCEEDED(result));
}

void CoUninitialize() {
    if (t_entered.empty()) {
        return;
    }
    const bool entered = t_entered.back();
    t_entered.pop_back();
    if (entered) {
        ::CoUninitialize();
    }
}

int apartmentCount() {
    return static_cast<int>(t_entered.size());
}

}  // namespace tarlowen
