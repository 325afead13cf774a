// Runs an action when a scope is left, whichever way it is left: to end a
// connection or close a handle that has no owner object of its own. The
// action must not throw.
#pragma once

#include <utility>

namespace kestrane {

template <typename Action> class ScopeExit {
public:
    explicit ScopeExit(Action action) : action_(std::move(action)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() { action_(); }

private:
    Action action_;
};

}  // namespace kestrane
