#pragma once
// A list of callbacks that an object notifies at points of its choosing.

#include <functional>
#include <list>

namespace px {

struct observable {
    std::list<std::function<void(observable*)>> observers;

    // Calls every observer in list order; an empty slot throws std::bad_function_call.
    void notify() {
        for (const auto& observer : observers) observer(this);
    }
};

}  // namespace px
