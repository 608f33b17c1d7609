#pragma once
// A signal that real-time code can emit. libsigc++ 2 allocates a list node on
// every emission (it marks the end of the slot list with a placeholder);
// emit_rt walks the connected slots in place instead and allocates nothing.
// Connecting, disconnecting and plain emission work as on the base signal.
#include <kvo/sigcompat.h>

namespace Quillomat {

template <class Signal>
class RtSignal : public Signal {
public:
    template <class... Args>
    void emit_rt(Args&&... args) const
    {
        sigc::internal::signal_impl* impl = this->impl_;
        if (!impl || impl->slots_.empty()) {
            return;
        }
        // Keeps slots disconnected from inside a handler alive until we are done.
        sigc::internal::signal_exec exec(impl);
        for (auto it = impl->slots_.begin(); it != impl->slots_.end(); ++it) {
            if (it->empty() || it->blocked()) {
                continue;
            }
            static_cast<const typename Signal::slot_type&>(*it)(args...);
        }
    }
};

} // namespace Quillomat
