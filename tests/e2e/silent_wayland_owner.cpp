// Takes the Wayland clipboard through data-control and never writes what it is asked for (it keeps
// each descriptor open), as a hung program would. Prints "owned" once the selection is its own and
// "request" for each request it leaves unanswered, until it is killed.
#include <wayland-client.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/protocols/wlr-data-control-unstable-v1-client.h"

namespace {

struct State {
    wl_seat* seat = nullptr;
    zwlr_data_control_manager_v1* manager = nullptr;
    std::vector<int> heldDescriptors;
};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t /*version*/) {
    auto& state = *static_cast<State*>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && state.seat == nullptr) {
        state.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0) {
        state.manager = static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
    }
}

void onGlobalRemove(void* /*data*/, wl_registry* /*registry*/, uint32_t /*name*/) {}

void onSend(void* data, zwlr_data_control_source_v1* /*source*/, const char* /*type*/, int32_t fd) {
    static_cast<State*>(data)->heldDescriptors.push_back(fd);
    std::puts("request");
    std::fflush(stdout);
}

void onCancelled(void* /*data*/, zwlr_data_control_source_v1* /*source*/) {}

}  // namespace

int main() {
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) {
        std::fputs("cannot connect to the compositor\n", stderr);
        return 1;
    }
    State state;
    const wl_registry_listener registryListener{&onGlobal, &onGlobalRemove};
    wl_registry_add_listener(wl_display_get_registry(display), &registryListener, &state);
    wl_display_roundtrip(display);
    if (state.seat == nullptr || state.manager == nullptr) {
        std::fputs("the compositor offers no data-control\n", stderr);
        return 1;
    }
    zwlr_data_control_device_v1* device =
        zwlr_data_control_manager_v1_get_data_device(state.manager, state.seat);
    zwlr_data_control_source_v1* source = zwlr_data_control_manager_v1_create_data_source(state.manager);
    const zwlr_data_control_source_v1_listener sourceListener{&onSend, &onCancelled};
    zwlr_data_control_source_v1_add_listener(source, &sourceListener, &state);
    zwlr_data_control_source_v1_offer(source, "text/plain;charset=utf-8");
    zwlr_data_control_device_v1_set_selection(device, source);
    wl_display_roundtrip(display);
    std::puts("owned");
    std::fflush(stdout);
    while (wl_display_dispatch(display) >= 0) {
    }
    return 0;
}
