// The one place where errors that reach the event loop are shown.
#pragma once

#include <exception>
#include <utility>

// The silent abort shows nothing; any other error a box with its message.
void HandleException(const std::exception &error);
void HandleUnknownException();

// Runs an event handler so that what it raises is shown and goes no further: the
// toolkit's own frames between the handler and the event loop must not be unwound.
template <typename F>
void Guarded(F &&handler)
{
    try {
        std::forward<F>(handler)();
    } catch (const std::exception &error) {
        HandleException(error);
    } catch (...) {
        HandleUnknownException();
    }
}
