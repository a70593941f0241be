#include "platform/apartment.hpp"

namespace tarlowen {
namespace {

thread_local int t_apartmentCount = 0;

}  // namespace

void CoInitialize() { ++t_apartmentCount; }

void CoUninitialize() {
    if (t_apartmentCount > 0) {
        --t_apartmentCount;
    }
}

int apartmentCount() { return t_apartmentCount; }

}  // namespace tarlowen
