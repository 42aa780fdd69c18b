// The one exception type for internal faults: a broken invariant or a poisoned lock.
// Ordinary failures are values (BadNodeId, DecodeError, std::optional); only a fault
// that ordinary input cannot reach is thrown, and the Python surface turns it into the
// module's BaseException-derived fault.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws InternalFault carrying `message`.
[[noreturn]] void internal_fault(const std::string& message);
[[noreturn]] void internal_fault(const char* message);

// Throws InternalFault with `message` unless `condition` holds. The throw is out of line,
// so that the check costs its caller a test and a branch.
inline void fault_unless(bool condition, const char* message) {
    if (!condition) [[unlikely]]
        internal_fault(message);
}

}  // namespace corvane
