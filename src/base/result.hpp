// A value, or why there is none: the one way the daemon's own steps fail.
// Callers of a step that can be refused get one thing back and cannot read a
// value that was never made. Why is a text worded for a status line, an
// errno, or what a read found (ReadFailure). std::optional stays only where
// nothing is an ordinary answer, not a failure: a disk no one else uses, a
// line that is not a mount.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

// The value of a step that has nothing to give back but its success.
struct Done {};

// Why a step failed: a finished text for a status line, or what a lower step
// knows (an errno, a kind of refusal) for its caller to put into words.
template <typename Why = std::string>
struct Refusal {
    Why why;
};

template <typename T = Done, typename Why = std::string>
class Result {
public:
    // Implicit, so a step returns its value or its refusal as it is.
    // cppcheck-suppress noExplicitConstructor
    Result(T value) : value_(std::move(value)) {}
    // cppcheck-suppress [noExplicitConstructor, passedByValue]
    Result(Refusal<Why> refusal) : why_(std::move(refusal.why)) {}

    explicit operator bool() const { return value_.has_value(); }
    // Reading the value of a refusal is a fault in the caller, never
    // something a key or a file can bring about: it stops the process rather
    // than going on with a value nobody made.
    T& operator*() { return checked(); }
    const T& operator*() const { return const_cast<Result*>(this)->checked(); }
    T* operator->() { return &checked(); }
    const T* operator->() const { return &**this; }
    // Only after a failure.
    const Why& why() const { return why_; }
    // The value, or fallback where the caller has a safe answer for any
    // failure.
    T valueOr(T fallback) const { return value_ ? *value_ : std::move(fallback); }

private:
    T& checked() {
        if (!value_) {
            std::abort();
        }
        return *value_;
    }

    std::optional<T> value_;
    Why why_{};
};

// A refusal worded for a status line.
inline Refusal<> refuse(std::string reason) { return Refusal<>{std::move(reason)}; }

// A system call's failure, as errno says it just after the call: the steps
// below the status lines give the errno back, and their callers put it into
// words.
inline Refusal<int> lastError() { return Refusal<int>{errno}; }
