#pragma once
// The signal and slot names the code base is written against, mapped onto
// libsigc++ 2.
#include <sigc++/sigc++.h>

#include <utility>

namespace SigC {

using Object = sigc::trackable;
using Connection = sigc::connection;

template <typename R> using Signal0 = sigc::signal0<R>;
template <typename R, typename A1> using Signal1 = sigc::signal1<R, A1>;
template <typename R, typename A1, typename A2> using Signal2 = sigc::signal2<R, A1, A2>;
template <typename R, typename A1, typename A2, typename A3>
using Signal3 = sigc::signal3<R, A1, A2, A3>;
template <typename R, typename A1, typename A2, typename A3, typename A4>
using Signal4 = sigc::signal4<R, A1, A2, A3, A4>;
template <typename R, typename A1, typename A2, typename A3, typename A4, typename A5>
using Signal5 = sigc::signal5<R, A1, A2, A3, A4, A5>;

// slot(object, &Class::method) and slot(&function).
template <typename... Args> auto slot(Args&&... args) -> decltype(sigc::mem_fun(std::forward<Args>(args)...)) {
    return sigc::mem_fun(std::forward<Args>(args)...);
}
template <typename F> auto slot(F* function) -> decltype(sigc::ptr_fun(function)) {
    return sigc::ptr_fun(function);
}

} // namespace SigC
