// A value, or why there is none. Callers of a step that can be refused get one
// thing back and cannot read a value that was never made.
#pragma once

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
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    // Only after a failure.
    const Why& why() const { return why_; }

private:
    std::optional<T> value_;
    Why why_{};
};

// A refusal worded for a status line.
inline Refusal<> refuse(std::string reason) { return Refusal<>{std::move(reason)}; }
