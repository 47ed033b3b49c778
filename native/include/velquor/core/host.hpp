// The host policy of the numerics: the few answers only an embedding can give.
//
// Every core under velquor/core is plain C++: it includes no interpreter header,
// never builds an exception and never takes a lock.  What depends on where the
// code runs comes from a `Host` type, a template parameter of each core, of
// which the core makes one instance per native call (a host may find, once,
// what its answers need -- the interpreter's host finds the calling thread's
// exception indicator).  Every host provides, all `noexcept` and callable
// without any lock held:
//
//   bool error_pending() const;             did the last call leave an error pending?
//   void traceback(const Site& where) const;  record `where` on the pending error
//   void raise(Error kind, const char* message) const;  report a failure as an error
//
// and a core asks for more where it needs it (the thermal solve its root
// finder, the table engine its domain error); each core lists its extras.
//
// The protocol every core follows: after each call that may fail through the
// host (a callback, another operation, the root finder), ask error_pending().
// A pending error wins over whatever came back: record the current function on
// it and return the failure value.  Only then is a status or value used.
//
// NoHost is the host of code that runs outside any interpreter (benchmark
// floors, the native tests): nothing is ever pending and nothing is recorded,
// so a failure is told by its status (or value) alone.
#pragma once

namespace vq::core {

/// Where a native frame is recorded: a dotted function name for the
/// traceback, and the source position of the core that records it.
struct Site {
    const char* qualname;
    const char* file;
    int line;
};

/// The site of the calling line, named `qualname`.
#define VQ_SITE(qualname) (::vq::core::Site{(qualname), __FILE__, __LINE__})

/// The kinds of error a core raises (the interpreter's exception types).
enum class Error {
    kZeroDivision,  ///< a zero denominator: "float division"
    kRuntime,       ///< a broken invariant of the caller (e.g. a record missing)
};

/// The message of a zero denominator.
inline constexpr const char* kFloatDivision = "float division";

/// Host of code that runs without an interpreter.
struct NoHost {
    static constexpr bool error_pending() noexcept { return false; }
    template <class Where>
    static constexpr void traceback(const Where&) noexcept {}
    static constexpr void raise(Error, const char*) noexcept {}
};

}  // namespace vq::core
