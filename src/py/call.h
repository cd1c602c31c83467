// The one shape of a method of a locked class (see lock.h): every argument converted before the
// lock is taken, so that a refused argument changes nothing; one step of the wire object under
// the object's lock; the step's answer made into a Python object once the lock is released, so
// that nothing which can run Python code runs under it. References the step lets go of go into
// a HandleBin declared before the lock, which drops them after the unlock.
//
// A class names how to reach its wire object once, and each method is then one line:
//
//   Locked<h2::Connection> conn_of(PyObject* self) { auto& b = box(self); return {b.lock, b.conn};
//   }
//
//   constexpr std::array<const char*, 2> kReleaseNames{"sid", "n"};
//   constexpr ArgParser kRelease("release_capacity", kReleaseNames, 2, 2);
//   uint32_t release(h2::Connection& c, uint32_t sid, uint32_t n, HandleBin& bin) { ... }
//
//   {"release_capacity", as_method<locked_call<conn_of, release, new_u32,
//                                              Params<kRelease, arg_u31, arg_u32>>>(), kFastCall}
//
// Methods whose work does not fit one step (several locks, a result that needs the lock again,
// an argument checked against the object's state) keep their own code.
#pragma once

#include "src/py/args.h"
#include "src/py/handle.h"
#include "src/py/lock.h"
#include "src/py/ref.h"
#include "src/py/types.h"
#include "wire/common/handle.h"

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace quillet::py {

// A Python object's wire object and the lock that guards it.
template <class T>
struct Locked {
  ObjectLock& lock;
  T& target;
};

// The value a converter fills: `bool convert(PyObject* obj, const char* name, T* out)`.
template <auto kConvert>
struct ConvertedBy;
template <class T, bool (*kConvert)(PyObject*, const char*, T*)>
struct ConvertedBy<kConvert> {
  using type = T;
};

// The parameters of a METH_FASTCALL | METH_KEYWORDS method: named (and counted) by `kParser`,
// each converted in order by its converter. A parameter that was not given (an optional one)
// reaches its converter as nullptr.
template <const ArgParser& kParser, auto... kConverters>
struct Params {
  static constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
  using Values = std::tuple<typename ConvertedBy<kConverters>::type...>;

  static bool convert(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Values& values) {
    PyObject* objs[sizeof...(kConverters)] = {};
    if (!kParser.parse(args, nargs, kwnames, objs)) return false;
    return convert_each(objs, values, std::index_sequence_for<decltype(kConverters)...>{});
  }

 private:
  template <size_t... I>
  static bool convert_each(PyObject** objs, Values& values, std::index_sequence<I...>) {
    return (kConverters(objs[I], kParser.name(int(I)), &std::get<I>(values)) && ...);
  }
};

// A step that is a member function of the wire object.
template <auto kMember>
constexpr auto member =
    [](auto& target,
       auto&&... args) -> decltype((target.*kMember)(std::forward<decltype(args)>(args)...)) {
  return (target.*kMember)(std::forward<decltype(args)>(args)...);
};

// The results of the common answers.
constexpr auto none = [] { return new_none(); };
constexpr auto boolean = [](bool value) { return new_bool(value); };
constexpr auto object = [](Handle handle) { return handle_to_object(std::move(handle)); };

namespace call_detail {

// The step, called with the converted values (each used once, so moved) and with the bin when
// it takes one.
template <auto kStep, class T, class Values>
decltype(auto) run(T& target, Values& values, HandleBin& bin) {
  return std::apply(
      [&](auto&... v) -> decltype(auto) {
        if constexpr (std::is_invocable_v<decltype(kStep), T&, decltype(std::move(v))...,
                                          HandleBin&>) {
          return kStep(target, std::move(v)..., bin);
        } else {
          return kStep(target, std::move(v)...);
        }
      },
      values);
}

template <auto kAccess, auto kStep, auto kBuild, class Values>
PyObject* body(PyObject* self, Values& values) {
  auto locked = kAccess(self);
  using Answer = decltype(run<kStep>(locked.target, values, std::declval<HandleBin&>()));
  HandleBin bin;  // before the guard: emptied after the unlock
  if constexpr (std::is_void_v<Answer>) {
    {
      Guard guard(locked.lock);
      run<kStep>(locked.target, values, bin);
    }
    return kBuild();
  } else {
    std::remove_cvref_t<Answer> answer = [&] {
      Guard guard(locked.lock);
      return run<kStep>(locked.target, values, bin);
    }();
    return kBuild(std::move(answer));
  }
}

}  // namespace call_detail

// The method: `kAccess(self)` gives the Locked wire object; `kStep(target, values...)` (with a
// trailing `HandleBin&` when it takes one) runs under the lock; `kBuild(answer)` (`kBuild()`
// for a step that answers nothing) makes the result after. Its flags are `P::kFlags`.
template <auto kAccess, auto kStep, auto kBuild, class P>
PyObject* locked_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  typename P::Values values;
  if (!P::convert(args, nargs, kwnames, values)) return nullptr;
  return call_detail::body<kAccess, kStep, kBuild>(self, values);
}

// The same for a method of no parameters (METH_NOARGS).
template <auto kAccess, auto kStep, auto kBuild>
PyObject* locked_noargs(PyObject* self, PyObject*) {
  std::tuple<> none;
  return call_detail::body<kAccess, kStep, kBuild>(self, none);
}

// The same for a read-only property.
template <auto kAccess, auto kStep, auto kBuild>
PyObject* locked_get(PyObject* self, void*) {
  std::tuple<> none;
  return call_detail::body<kAccess, kStep, kBuild>(self, none);
}

// Method-table entries over one class's wire object, reached through `kAccess` (functions,
// since an entry point is not a constant expression).
template <auto kAccess>
struct EntriesOf {
  // A member of no argument, its answer made by `kBuild`.
  template <auto kStep, auto kBuild>
  static PyCFunction step() {
    return as_method<locked_noargs<kAccess, member<kStep>, kBuild>>();
  }
  // A step of the parameters `P` (a member function, or a function of the target).
  template <auto kStep, auto kBuild, class P>
  static PyCFunction call() {
    return as_method<locked_call<kAccess, kStep, kBuild, P>>();
  }
  // A read-only property.
  template <auto kRead, auto kBuild = boolean>
  static getter property() {
    return as_getter<locked_get<kAccess, member<kRead>, kBuild>>();
  }
};

}  // namespace quillet::py
